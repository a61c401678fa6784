// This process: its environment variables, its current directory and its id.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/os_string.h"

namespace platform {

// The variable's value; nothing when it is not set (an empty value is set).
std::optional<OsString> get_env(const OsString& name);

// The current directory, or nothing when it cannot be determined.
std::optional<OsString> current_dir();

// This process's id.
std::uint32_t process_id();

}  // namespace platform
