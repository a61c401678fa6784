#include "cli/launch/output_drain.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "cli/launch/fatal.h"

namespace launch {

bool drain_output(std::function<void()> close_terminal,
                  const std::shared_future<void>& output_ended, const relay::Screen& screen,
                  std::chrono::milliseconds idle_bound, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + limit;
  // Never joined: a close that does not return is left behind when the process ends.
  spawn_worker(std::move(close_terminal));
  std::uint64_t taken = screen.taken();
  for (;;) {
    const Clock::time_point until = std::min(Clock::now() + idle_bound, deadline);
    if (output_ended.wait_until(until) == std::future_status::ready) return true;
    const std::uint64_t now = screen.taken();
    if (now == taken || Clock::now() >= deadline) return false;
    taken = now;
  }
}

}  // namespace launch
