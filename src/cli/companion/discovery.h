// The desktop app's data directory and its discovery files: the port file of each agent and the
// capability token file. The files are read anew at every call and never cached, written,
// created or locked; a missing or malformed file is never reported. Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/agent_kind.h"
#include "platform/os_string.h"

namespace companion {

// The port used whenever the agent's port file gives no valid port.
inline constexpr std::uint16_t DEFAULT_PORT = 38420;

// A valid discovery file holds a few dozen bytes; anything longer than this is refused unread
// rather than loaded whole.
inline constexpr std::size_t MAX_DISCOVERY_FILE_BYTES = 1024 * 1024;

inline constexpr std::string_view CLAUDE_PORT_FILE = "claude-hud-port.json";
inline constexpr std::string_view CODEX_PORT_FILE = "codex-hud-port.json";
inline constexpr std::string_view TOKEN_FILE = "managed-session-token.json";

// TALVANE_DATA_DIR when set and not empty (taken as it stands), else LOCALAPPDATA joined with
// "Talvane" when set and not empty, else nothing.
std::optional<platform::OsString> resolve_data_dir();

// The same rule over given values of the two variables.
std::optional<platform::OsString> data_dir_from(const std::optional<platform::OsString>& talvane,
                                                const std::optional<platform::OsString>& local);

// The port named by the agent's port file in `data_dir`; DEFAULT_PORT when the file is missing
// or invalid or names no usable port. Never 0.
std::uint16_t read_port(cli::AgentKind agent, const platform::OsString& data_dir);

// The capability token from the token file in `data_dir`, exactly as decoded; nothing when the
// file is missing or invalid or the token is empty.
std::optional<std::string> read_capability_token(const platform::OsString& data_dir);

// The rules of the two readers over a file's bytes.
std::uint16_t port_from_file_content(std::string_view content);
std::optional<std::string> token_from_file_content(std::string_view content);

}  // namespace companion
