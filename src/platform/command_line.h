// Windows command lines: how each argument is written so that the started program's argument
// parser (the Microsoft C runtime's rules) gives it back unchanged. Pure text functions; the
// narrow forms exist so that the rules can be checked on every platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/os_string.h"

namespace platform {

// The platform's standard quoting of one argument: enclosed in double quotes when it is empty or
// holds a space, tab, line feed, vertical tab or double quote; a double quote inside is written
// \"; backslashes are doubled where they come before a double quote or the closing quote.
std::wstring quote_windows_argument(std::wstring_view arg);
std::string quote_windows_argument(std::string_view arg);

// The arguments quoted as above and joined by single spaces.
std::wstring join_windows_arguments(const std::vector<std::wstring>& args);
std::string join_windows_arguments(const std::vector<std::string>& args);

// The command line that runs the batch file `path` with `args` through cmd.exe so that every
// argument reaches the batch file's %* as one argument the program behind it parses back
// unchanged, with cmd.exe's special characters and "%" neutralised:
//   cmd.exe /D /E:ON /S /V:OFF /C ""<path>" <arg> <arg>…"
// An error when a path or an argument cannot be passed that way (a line break or a NUL in an
// argument; a double quote in the path or a path that ends in a backslash).
Result<std::wstring> batch_command_line(std::wstring_view path,
                                        const std::vector<std::wstring>& args);
Result<std::string> batch_command_line(std::string_view path, const std::vector<std::string>& args);

// The CreateProcessW command line for `command`: for a batch file the safe form above, with
// args[1…] as the batch file's arguments; for a program its args in the standard quoting.
Result<OsString> windows_command_line(const AgentCommand& command);

}  // namespace platform
