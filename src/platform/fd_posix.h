// POSIX descriptors for the platform layer's own use: one owner each, closed on destruction.
#pragma once

#include <string_view>
#include <utility>

#include "platform/error.h"

namespace platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset();

 private:
  int fd_ = -1;
};

// Marks the descriptor close-on-exec; false (errno set) on failure.
bool set_cloexec(int fd);

// Opens a pipe with both ends close-on-exec: fds[0] reads, fds[1] writes. False (errno set) on
// failure, with nothing left open.
bool cloexec_pipe(int fds[2]);

// Writes every byte, repeating interrupted and partial writes; a write that takes no byte fails.
[[nodiscard]] Result<void> write_all(int fd, std::string_view bytes);

}  // namespace platform
