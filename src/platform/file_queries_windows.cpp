#include <windows.h>

#include "platform/file_queries.h"
#include "platform/handle_windows.h"

namespace platform {
namespace {

bool is_directory_attribute(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Attributes without opening the file, for a file that another process holds without sharing.
// A link is not followed here; it is the best answer left.
bool is_file_by_attributes(const OsString& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  return !is_directory_attribute(data.dwFileAttributes);
}

}  // namespace

PathRules path_rules() { return PathRules::Windows; }

bool is_file(const OsString& path) {
  if (path.empty()) return false;
  // Opening the path (without asking for any access) follows links, unlike
  // GetFileAttributesW, which describes the link itself. BACKUP_SEMANTICS lets it open
  // directories, so that they can be told apart.
  const UniqueHandle file(CreateFileW(path.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    return GetLastError() == ERROR_SHARING_VIOLATION && is_file_by_attributes(path);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file.get(), &info) != 0;
  return known && !is_directory_attribute(info.dwFileAttributes);
}

bool is_executable_file(const OsString& path) { return is_file(path); }

OsString absolute_path(const OsString& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  OsString full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

}  // namespace platform
