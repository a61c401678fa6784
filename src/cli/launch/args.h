// The command line: talvane <claude|codex> [agent arguments], or -h / --help first.
#pragma once

#include <string_view>
#include <vector>

#include "cli/agent_kind.h"
#include "platform/os_string.h"

namespace launch {

inline constexpr std::string_view USAGE =
    "Usage: talvane <claude|codex> [agent arguments]\n"
    "\n"
    "Starts Claude Code or Codex so Talvane can send voice replies\n"
    "after a turn ends.\n"
    "All arguments are passed to the selected coding agent unchanged.\n"
    "\n"
    "Examples:\n"
    "  talvane claude --model opus\n"
    "  talvane codex --model gpt-5.6\n"
    "  talvane codex resume --last\n";

struct ParsedArgs {
  enum class Kind { Help, Invalid, Launch };
  Kind kind = Kind::Invalid;
  cli::AgentKind agent = cli::AgentKind::Claude;  // for Launch
  std::vector<platform::OsString> agent_args;     // for Launch: everything after the agent's name
};

// Looks only at the first argument, compared in full, byte for byte. No side effects.
ParsedArgs parse_args(std::vector<platform::OsString> args);

// A Codex run with "--remote" among its arguments (exactly those bytes) has voice replies off.
bool is_remote_codex(cli::AgentKind agent, const std::vector<platform::OsString>& agent_args);

}  // namespace launch
