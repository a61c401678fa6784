// Reading small files whole, and joining a directory with a file name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/os_string.h"

namespace platform {

// The whole content of the file at `path`, as bytes. The file is opened for reading only and
// allows others to read, write and delete it meanwhile (Windows; POSIX never locks). A missing
// file, a directory, a read error, or content longer than `max_bytes` gives an Error.
// Any thread.
[[nodiscard]] Result<std::string> read_whole_file(const OsString& path, std::size_t max_bytes);

// `dir` joined with the relative file name `name` (ASCII) with the system's separator; no
// separator is added when `dir` already ends with one.
OsString join_path(const OsString& dir, std::string_view name);

}  // namespace platform
