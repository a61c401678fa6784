#include <windows.h>

#include <algorithm>

#include "platform/files.h"
#include "platform/handle_windows.h"

namespace platform {
namespace {

constexpr DWORD READ_CHUNK = 4096;

}  // namespace

Result<std::string> read_whole_file(const OsString& path, std::size_t max_bytes) {
  // The app may rewrite or delete the file at any moment, so every kind of sharing is allowed.
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, which is what we want.
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return last_os_error();
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return Error("not a regular file");

  // Read until the end rather than trusting the size: the file may be rewritten meanwhile.
  // One byte beyond the limit is enough to know it is too long.
  std::string content;
  for (;;) {
    const std::size_t old_size = content.size();
    const DWORD want =
        static_cast<DWORD>(std::min<std::size_t>(READ_CHUNK, max_bytes + 1 - old_size));
    content.resize(old_size + want);
    DWORD got = 0;
    if (!ReadFile(file.get(), content.data() + old_size, want, &got, nullptr)) {
      return last_os_error();
    }
    content.resize(old_size + got);
    if (got == 0) break;
    if (content.size() > max_bytes) return Error("file too long");
  }
  return content;
}

OsString join_path(const OsString& dir, std::string_view name) {
  OsString joined = dir;
  if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/') joined.push_back(L'\\');
  for (const char c : name) joined.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return joined;
}

}  // namespace platform
