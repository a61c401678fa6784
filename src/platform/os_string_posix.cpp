#include "platform/os_string.h"

namespace platform {

OsString os_string(std::string_view ascii) { return OsString(ascii); }

std::optional<std::string> to_utf8(OsStringView s) {
  if (!is_valid_utf8(s)) return std::nullopt;
  return std::string(s);
}

std::string to_utf8_lossy(OsStringView s) { return utf8_lossy(s); }

OsString from_utf8(std::string_view utf8) { return utf8_lossy(utf8); }

}  // namespace platform
