// What the POSIX console files share: the signal thread (signals_posix.cpp) and the terminal's
// modes (console_posix.cpp). Internal to the platform layer.
#pragma once

#include "platform/error.h"

namespace platform {

// Blocks the signals the launcher takes in every thread started from now on and starts the
// thread that takes them with sigwait. Main thread, once, before any worker thread starts.
[[nodiscard]] Result<void> set_up_signals();

// Ends the process as the signal's default action would, after restoring the terminal and
// running the control hook. The first caller does it; a later one waits for the end. Any
// ordinary thread, never signal context.
[[noreturn]] void end_by_signal(int sig);

// True when the signal thread takes this job-control stop signal (it was not ignored when the
// launcher started).
bool takes_stop_signal(int sig);

// Makes the resize watcher look at the window now.
void wake_resize_watcher();

// Around a job-control stop, on the signal thread: puts the saved mode back before the stop;
// after it, takes the relay mode again where the run is in the foreground, and wakes whoever
// waits for the continuation.
void leave_relay_mode_for_stop();
void resume_relay_mode();

}  // namespace platform
