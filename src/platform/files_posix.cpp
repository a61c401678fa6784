#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/fd_posix.h"
#include "platform/files.h"

namespace platform {
namespace {

constexpr std::size_t READ_CHUNK = 4096;

}  // namespace

Result<std::string> read_whole_file(const OsString& path, std::size_t max_bytes) {
  int fd;
  do {
    // Non-blocking so that a FIFO in the file's place cannot hold the open; regular files
    // ignore the flag.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_os_error();
  UniqueFd file(fd);

  struct stat info {};
  if (fstat(file.get(), &info) != 0) return last_os_error();
  if (!S_ISREG(info.st_mode)) return Error("not a regular file");

  // Read until the end rather than trusting the size: the file may be rewritten meanwhile.
  // One byte beyond the limit is enough to know it is too long.
  std::string content;
  for (;;) {
    const std::size_t old_size = content.size();
    const std::size_t want = std::min(READ_CHUNK, max_bytes + 1 - old_size);
    content.resize(old_size + want);
    const ssize_t n = read(file.get(), content.data() + old_size, want);
    if (n < 0) {
      if (errno == EINTR) {
        content.resize(old_size);
        continue;
      }
      return last_os_error();
    }
    content.resize(old_size + static_cast<std::size_t>(n));
    if (n == 0) break;
    if (content.size() > max_bytes) return Error("file too long");
  }
  return content;
}

OsString join_path(const OsString& dir, std::string_view name) {
  OsString joined = dir;
  if (!joined.empty() && joined.back() != '/') joined.push_back('/');
  joined.append(name);
  return joined;
}

}  // namespace platform
