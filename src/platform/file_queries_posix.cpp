#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_queries.h"

namespace platform {

PathRules path_rules() { return PathRules::Posix; }

bool is_file(const OsString& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool is_executable_file(const OsString& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // access() asks with the real ids, as a shell's search does.
  return ::access(path.c_str(), X_OK) == 0;
}

OsString absolute_path(const OsString& path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return OsString(cwd) + "/" + path;
}

}  // namespace platform
