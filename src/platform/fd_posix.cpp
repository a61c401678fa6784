#include "platform/fd_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix_features.h"

namespace platform {

void UniqueFd::reset() {
  // close() is not repeated on EINTR: the descriptor is gone either way on Linux and the BSDs.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool set_cloexec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool cloexec_pipe(int fds[2]) {
#if TALVANE_LINUX_CALLS
  return pipe2(fds, O_CLOEXEC) == 0;
#else
  // Marked after creation: a fork in another thread in between could inherit the ends, but the
  // only child talvane starts closes every descriptor above standard error before its exec.
  if (pipe(fds) != 0) return false;
  if (set_cloexec(fds[0]) && set_cloexec(fds[1])) return true;
  const int saved = errno;
  ::close(fds[0]);
  ::close(fds[1]);
  errno = saved;
  return false;
#endif
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return Error("the write took no bytes");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace platform
