// The two coding agents the launcher can start.
#pragma once

#include <cstdint>
#include <string_view>

namespace cli {

enum class AgentKind : std::uint8_t { Claude = 0, Codex = 1 };

// Selector on the command line and base name of the executable: "claude", "codex".
constexpr std::string_view agent_name(AgentKind kind) {
  return kind == AgentKind::Claude ? "claude" : "codex";
}

// Name used in messages: "Claude", "Codex".
constexpr std::string_view display_name(AgentKind kind) {
  return kind == AgentKind::Claude ? "Claude" : "Codex";
}

}  // namespace cli
