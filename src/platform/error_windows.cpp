#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/error.h"
#include "platform/os_string.h"

namespace platform {

Error os_error(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = to_utf8_lossy(OsStringView(buffer, length));
  if (buffer != nullptr) LocalFree(buffer);
  // The system's text ends with a line break; trim trailing white space.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  if (text.empty()) text = "Unknown error";
  // The code as an HRESULT of the Win32 facility, as the system shows it.
  const unsigned long hresult = code == 0 ? 0 : ((code & 0xFFFF) | 0x80070000UL);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", hresult);
  return Error(text + " (" + hex + ")");
}

Error last_os_error() { return os_error(GetLastError()); }

}  // namespace platform
