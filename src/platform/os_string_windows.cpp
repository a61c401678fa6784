#include <windows.h>

#include "platform/os_string.h"

namespace platform {
namespace {

// UTF-16 to UTF-8. With strict, an unpaired surrogate gives nothing; otherwise it becomes U+FFFD.
std::optional<std::string> narrow(OsStringView s, bool strict) {
  if (s.empty()) return std::string();
  const DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
  const int n = WideCharToMultiByte(CP_UTF8, flags, s.data(), static_cast<int>(s.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, flags, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

OsString os_string(std::string_view ascii) { return OsString(ascii.begin(), ascii.end()); }

std::optional<std::string> to_utf8(OsStringView s) { return narrow(s, true); }

std::string to_utf8_lossy(OsStringView s) { return narrow(s, false).value_or(std::string()); }

OsString from_utf8(std::string_view utf8) {
  const std::string valid = utf8_lossy(utf8);
  if (valid.empty()) return OsString();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, valid.data(), static_cast<int>(valid.size()), nullptr, 0);
  OsString out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, valid.data(), static_cast<int>(valid.size()), out.data(), n);
  }
  return out;
}

}  // namespace platform
