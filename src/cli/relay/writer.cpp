#include "cli/relay/writer.h"

#include <algorithm>
#include <thread>

namespace relay {
namespace {

using Clock = OutputActivity::Clock;

// Sleeps until the agent's output has been quiet for `quiet`, or until `deadline`. Each sleep
// ends when the quiet would be complete were nothing drawn meanwhile; output drawn in between
// moves that point on.
void wait_for_quiet(const OutputActivity& activity, Clock::duration quiet,
                    Clock::time_point deadline) {
  for (;;) {
    const Clock::time_point quiet_at = activity.last() + quiet;
    const Clock::time_point now = Clock::now();
    if (quiet_at <= now || now >= deadline) return;
    std::this_thread::sleep_until(std::min(quiet_at, deadline));
  }
}

// False when a write failed and the writer must stop.
bool write_batch(const WriteBatch& batch, platform::ByteSink& input,
                 const OutputActivity* activity) {
  for (std::size_t i = 0; i < batch.chunks.size(); ++i) {
    if (i > 0 && batch.pause.count() > 0) std::this_thread::sleep_for(batch.pause);
    if (i > 0 && batch.quiet.count() > 0 && activity != nullptr) {
      const auto quiet = std::chrono::duration_cast<Clock::duration>(batch.quiet);
      const auto bound = std::chrono::duration_cast<Clock::duration>(batch.quiet_bound);
      wait_for_quiet(*activity, quiet, Clock::now() + bound);
    }
    if (!input.write_all(batch.chunks[i])) return false;
    // A failed flush loses nothing that a later write could recover; it is not a reason to stop.
    (void)input.flush();
  }
  return true;
}

}  // namespace

void writer(QueueReceiver receiver, std::unique_ptr<platform::ByteSink> terminal_input,
            std::shared_ptr<const OutputActivity> activity) {
  while (std::optional<WriteBatch> batch = receiver.receive()) {
    if (!write_batch(*batch, *terminal_input, activity.get())) break;
  }
  // Release the receiver first: producers must learn at once that nothing is written any more.
  receiver.release();
  terminal_input.reset();
}

}  // namespace relay
