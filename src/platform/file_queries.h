// File-system queries for finding programs.
#pragma once

#include <cstdint>

#include "platform/os_string.h"

namespace platform {

// How this platform finds a program along PATH: Windows lists (";", PATHEXT, batch files
// through cmd.exe) or POSIX lists (":", the execute permission).
enum class PathRules : std::uint8_t { Windows, Posix };

PathRules path_rules();

// True when `path` names an existing file that is not a directory, links followed. A path that
// cannot be queried gives false. Any thread.
bool is_file(const OsString& path);

// True when `path` names a file this process may start: on POSIX a regular file (links
// followed) with execute permission for us; on Windows the same as is_file. Any thread.
bool is_executable_file(const OsString& path);

// `path` made absolute against the current directory; `path` itself when that fails. Any thread.
OsString absolute_path(const OsString& path);

}  // namespace platform
