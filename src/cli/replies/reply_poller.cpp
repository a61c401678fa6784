#include "cli/replies/reply_poller.h"

#include <thread>

#include "cli/replies/pending.h"
#include "cli/replies/reply_shaping.h"
#include "platform/pty.h"

namespace replies {
namespace {

using Clock = std::chrono::steady_clock;

// A plain sleep: the flag is looked at only at the top of a cycle, and nothing waits for this
// thread to end, so waking early would only cost wake-ups while the app is away.
void pause_for(Clock::duration length) {
  if (length > Clock::duration::zero()) std::this_thread::sleep_for(length);
}

enum class CycleEnd { Again, Stop };

// Types one reply and acknowledges it with the snapshot it came from. Stop when the queue has
// closed (the writer has ended): the reply is then neither typed nor acknowledged.
//
// The next poll waits until the writer is done with this reply. An app that answers every poll
// at once could otherwise pile up replies in the queue without bound, and the user's keys would
// wait behind all of them; this way at most one reply is ever ahead of a key.
CycleEnd deliver(const cli::RunningFlag& running, relay::QueueSender& queue,
                 const companion::Registration& from, relay::WriteBatch&& reply) {
  if (!queue.send(std::move(reply))) return CycleEnd::Stop;
  // The outcome does not matter: the reply is typed either way.
  (void)acknowledge_delivery(from.base_url, from.capability_token, from.session_handle,
                             DELIVERY_ACK_TIMEOUT);
  // An agent that reads no input can hold the writer for ever: look at the flag meanwhile.
  while (!queue.wait_written(POLLER_RETRY_DELAY)) {
    if (!running->load()) return CycleEnd::Stop;
  }
  return CycleEnd::Again;
}

// One cycle of the loop, from the snapshot to the decision whether to go on.
CycleEnd poll_once(const cli::RunningFlag& running, companion::ManagedSession& session,
                   relay::QueueSender& queue, const relay::PasteMode& paste_mode) {
  const std::optional<companion::Registration> snapshot = companion::registration_snapshot(session);
  if (!snapshot) {
    pause_for(POLLER_RETRY_DELAY);
    return CycleEnd::Again;
  }
  const Clock::time_point started = Clock::now();
  const std::optional<PendingResponse> pending =
      fetch_pending(snapshot->base_url, snapshot->capability_token, snapshot->session_handle,
                    PENDING_POLL_TIMEOUT);
  if (!pending) {
    // Only this snapshot's registration is given up; a newer one stays.
    companion::forget_registration(session, snapshot->session_handle);
    pause_for(POLLER_RETRY_DELAY);
    return CycleEnd::Again;
  }
  if (pending->shutdown_requested) {
    // A reply that came with the request is dropped: neither typed nor acknowledged.
    session.shutdown_requested.exchange(true);
    platform::wake_exit_wait();  // the run loop sleeps until the agent exits or this
    return CycleEnd::Stop;
  }
  if (pending->reply) {
    // A reply of control characters only would type nothing but the Enter, which would submit
    // whatever the user has left unfinished in the agent's input.
    std::optional<relay::WriteBatch> batch =
        shape_reply(session.agent, *pending->reply, paste_mode.on());
    if (batch) return deliver(running, queue, *snapshot, std::move(*batch));
  }
  // Nothing to deliver: an app that answers at once is asked at most once per MIN_POLL_SPACING,
  // one that held the poll is asked again at once.
  pause_for(started + MIN_POLL_SPACING - Clock::now());
  return CycleEnd::Again;
}

}  // namespace

void run_reply_poller(cli::RunningFlag running, companion::SharedSession session,
                      relay::QueueSender queue,
                      std::shared_ptr<const relay::PasteMode> paste_mode) {
  while (running->load()) {
    if (poll_once(running, *session, queue, *paste_mode) == CycleEnd::Stop) return;
  }
}

}  // namespace replies
