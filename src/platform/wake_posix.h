// The main thread's wake-up while it waits for the agent: a pipe that any thread writes a byte
// into (the reply poller on a shutdown request, the signal thread on SIGCHLD), watched by the
// wait for the agent's exit. Internal to the POSIX platform files.
#pragma once

namespace platform {

// The read end, made on first use; -1 when no pipe could be made. Any thread.
int exit_wait_wake_fd();

// Empties the pipe after a wake-up. Main thread.
void drain_exit_wait_wake();

// The signal thread announces that it turns SIGCHLD into wake-ups; until then a wait without a
// process descriptor cannot rely on being woken by the agent's exit.
void note_child_exit_wakes();
bool child_exit_wakes();

}  // namespace platform
