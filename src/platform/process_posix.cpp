#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process.h"

namespace platform {

std::optional<OsString> get_env(const OsString& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return OsString(value);
}

std::optional<OsString> current_dir() {
  std::string buffer(256, '\0');
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(buffer.find('\0'));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace platform
