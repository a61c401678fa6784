#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define TALVANE_HAVE_GETENTROPY 1
#endif

#include "platform/random.h"

namespace platform {
namespace {

// getentropy hands out at most this many bytes per call.
constexpr std::size_t ENTROPY_CALL_LIMIT = 256;

bool fill_from_getentropy([[maybe_unused]] std::uint8_t* out, [[maybe_unused]] std::size_t size) {
#ifdef TALVANE_HAVE_GETENTROPY
  while (size > 0) {
    const std::size_t n = std::min(size, ENTROPY_CALL_LIMIT);
    if (getentropy(out, n) != 0) return false;
    out += n;
    size -= n;
  }
  return true;
#else
  return false;
#endif
}

// For kernels without getrandom (getentropy then fails with ENOSYS).
Result<void> fill_from_urandom(std::uint8_t* out, std::size_t size) {
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_os_error().context("cannot open /dev/urandom");
  while (size > 0) {
    const ssize_t n = read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const Error error = n < 0 ? last_os_error() : Error("unexpected end of /dev/urandom");
      close(fd);
      return error.context("cannot read /dev/urandom");
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  close(fd);
  return {};
}

}  // namespace

Result<void> fill_random(std::uint8_t* out, std::size_t size) {
  if (fill_from_getentropy(out, size)) return {};
  return fill_from_urandom(out, size);
}

}  // namespace platform
