#include <windows.h>

#include "platform/process.h"

namespace platform {

std::optional<OsString> get_env(const OsString& name) {
  SetLastError(ERROR_SUCCESS);
  DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (size == 0) {
    // An empty value is set; a missing one reports ERROR_ENVVAR_NOT_FOUND.
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return OsString();
  }
  for (;;) {
    OsString value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(name.c_str(), value.data(), size);
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return OsString();
    }
    if (n < size) {
      value.resize(n);
      return value;
    }
    size = n;  // the value grew between the two calls
  }
}

std::optional<OsString> current_dir() {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return std::nullopt;
  OsString dir(size, L'\0');
  const DWORD n = GetCurrentDirectoryW(size, dir.data());
  if (n == 0 || n >= size) return std::nullopt;
  dir.resize(n);
  return dir;
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

}  // namespace platform
