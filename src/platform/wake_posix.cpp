#include "platform/wake_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

#include "platform/fd_posix.h"
#include "platform/pty.h"

namespace platform {
namespace {

std::atomic<bool> CHILD_EXIT_WAKES{false};

struct WakePipe {
  int read_end = -1;
  int write_end = -1;

  WakePipe() {
    int fds[2];
    if (pipe(fds) < 0) return;
    // Both ends non-blocking: a full pipe already holds a wake-up, and draining must not wait.
    for (int fd : fds) {
      if (!set_cloexec(fd) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
      }
    }
    read_end = fds[0];
    write_end = fds[1];
  }
};

// Made on first use and never closed: the process ends with it.
const WakePipe& wake_pipe() {
  static const WakePipe pipe;
  return pipe;
}

}  // namespace

int exit_wait_wake_fd() { return wake_pipe().read_end; }

void drain_exit_wait_wake() {
  char bytes[64];
  while (::read(wake_pipe().read_end, bytes, sizeof bytes) > 0) {
  }
}

void wake_exit_wait() {
  const int fd = wake_pipe().write_end;
  if (fd < 0) return;
  const char byte = 1;
  ssize_t ignored = ::write(fd, &byte, 1);
  (void)ignored;
}

void note_child_exit_wakes() { CHILD_EXIT_WAKES = true; }
bool child_exit_wakes() { return CHILD_EXIT_WAKES.load(); }

}  // namespace platform
