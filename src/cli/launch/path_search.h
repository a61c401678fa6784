// The rules for finding a program along PATH, kept apart from the file system so that both
// platforms' rules can be checked anywhere. Pure functions; any thread.
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/os_string.h"

namespace launch {

// PATHEXT when the variable is not set.
inline constexpr std::string_view DEFAULT_PATHEXT = ".COM;.EXE;.BAT;.CMD";

// Splits a Windows path list: elements are separated by ";", a double quote switches a quoted
// region (where ";" does not separate) on or off and belongs to no element, nothing is trimmed,
// and empty elements are kept (an empty list gives one empty element).
std::vector<platform::OsString> split_path_list(platform::OsStringView list);

// Tells whether a candidate path counts as the program (the file-system query).
using FileTest = std::function<bool(const platform::OsString&)>;

// Windows search for `name`: in each PATH directory, in order, every PATHEXT extension in order
// (leading dots removed, case kept, elements left empty skipped), then the bare name. `path`
// unset finds nothing without any query; `pathext` unset means DEFAULT_PATHEXT.
std::optional<platform::OsString> search_windows_path(
    std::string_view name, const std::optional<platform::OsString>& path,
    const std::optional<platform::OsString>& pathext, const FileTest& is_candidate);

// POSIX search for `name`: PATH split on ":", an empty element meaning the current directory
// (the bare name), no extensions. `path` unset finds nothing without any query.
std::optional<platform::OsString> search_posix_path(std::string_view name,
                                                    const std::optional<platform::OsString>& path,
                                                    const FileTest& is_candidate);

// True when the last component of a Windows path has the extension "bat" or "cmd" in any letter
// case. A component whose only "." is its first character has no extension.
bool is_batch_file(platform::OsStringView path);

}  // namespace launch
