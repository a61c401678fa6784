// A fresh, empty directory under the system's temporary directory, removed with its content at
// the end of the test, and small helpers to write files into it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/os_string.h"

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  platform::OsString os_path() const { return path_.native(); }

  // Writes `content` as the whole file `name` in this directory (replacing it).
  void write(std::string_view name, std::string_view content) const;
  void remove(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace testing_support
