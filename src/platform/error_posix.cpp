#include <cerrno>
#include <cstring>
#include <string>

#include "platform/error.h"

namespace platform {
namespace {

// strerror_r comes in two shapes (XSI returns int, GNU returns the text); take either.
[[maybe_unused]] std::string message_from(int result, const char* buffer) {
  return result == 0 ? buffer : std::string();
}
[[maybe_unused]] std::string message_from(const char* text, const char*) {
  return text ? text : std::string();
}

}  // namespace

Error os_error(unsigned long code) {
  char buffer[256] = {};
  std::string text =
      message_from(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  if (text.empty()) text = "Unknown error";
  return Error(text + " (os error " + std::to_string(code) + ")");
}

Error last_os_error() { return os_error(static_cast<unsigned long>(errno)); }

}  // namespace platform
