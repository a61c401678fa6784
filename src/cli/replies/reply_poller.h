// The reply poller: the worker thread that long-polls the desktop app for voice replies, types
// each one into the agent through the write queue, acknowledges it, and passes on the app's
// request to end the session. It prints nothing and never registers by itself: after a failed
// poll it gives the registration up and the keeper thread registers anew.
#pragma once

#include <chrono>

#include "cli/companion/session.h"
#include "cli/relay/terminal_modes.h"
#include "cli/relay/write_queue.h"

namespace replies {

// No registration, or a failed poll: wait this long before the next cycle.
inline constexpr std::chrono::milliseconds POLLER_RETRY_DELAY{std::chrono::seconds(1)};
// An empty answer: the next poll starts no sooner than this after the previous one started.
inline constexpr std::chrono::milliseconds MIN_POLL_SPACING{std::chrono::seconds(1)};

// The thread's body; owns the three handles until it returns. It returns when `running` is false
// at the top of a cycle, after the app asked for shutdown (the session's shutdown_requested is
// then set), or when the queue is closed as it sends a reply. After a reply it polls again only
// once the writer is done with it, so at most one reply waits in the queue. A reply that is
// empty once cleaned counts as no reply: nothing is typed or acknowledged. `paste_mode` says
// whether the agent has bracketed paste on, which decides the form of a Codex reply.
// Nothing waits for it.
void run_reply_poller(cli::RunningFlag running, companion::SharedSession session,
                      relay::QueueSender queue, std::shared_ptr<const relay::PasteMode> paste_mode);

}  // namespace replies
