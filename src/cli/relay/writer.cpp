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

// How often the writer looks whether the agent has drawn yet: the output thread notes its writes
// without waking anybody.
constexpr std::chrono::milliseconds DRAW_POLL{2};

// Sleeps until the agent has drawn after `written` and then been quiet for `quiet`, or until
// `deadline`.
void wait_for_reaction(const OutputActivity& activity, Clock::time_point written,
                       Clock::duration quiet, Clock::time_point deadline) {
  while (activity.last() <= written) {
    if (Clock::now() >= deadline) return;
    std::this_thread::sleep_for(DRAW_POLL);
  }
  wait_for_quiet(activity, quiet, deadline);
}

Clock::duration as_clock(std::chrono::nanoseconds d) {
  return std::chrono::duration_cast<Clock::duration>(d);
}

// Waits before a chunk after the first, the one before it having been written at `written`. A
// piece waits until the agent has drawn since the one before. The last chunk, the Enter, waits for
// the pause and then for quiet output; after pieces, for a draw since the last one as well.
void wait_before(const WriteBatch& batch, bool last, Clock::time_point written,
                 const OutputActivity* activity) {
  const bool pieces = batch.piece_bound.count() > 0;
  if (last && batch.pause.count() > 0) std::this_thread::sleep_for(batch.pause);
  if (activity == nullptr) return;
  const Clock::duration quiet = as_clock(batch.quiet);
  if (!last) {
    if (pieces) wait_for_reaction(*activity, written, quiet, written + as_clock(batch.piece_bound));
    return;
  }
  if (quiet.count() == 0) return;
  const Clock::time_point deadline = Clock::now() + as_clock(batch.quiet_bound);
  if (pieces) {
    wait_for_reaction(*activity, written, quiet, deadline);
  } else {
    wait_for_quiet(*activity, quiet, deadline);
  }
}

// False when a write failed and the writer must stop.
bool write_batch(const WriteBatch& batch, platform::ByteSink& input,
                 const OutputActivity* activity) {
  Clock::time_point written;
  for (std::size_t i = 0; i < batch.chunks.size(); ++i) {
    if (i > 0) wait_before(batch, i + 1 == batch.chunks.size(), written, activity);
    if (!input.write_all(batch.chunks[i])) return false;
    // A failed flush loses nothing that a later write could recover; it is not a reason to stop.
    (void)input.flush();
    written = Clock::now();
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
