#include "cli/launch/args.h"

#include <algorithm>

namespace launch {

ParsedArgs parse_args(std::vector<platform::OsString> args) {
  ParsedArgs parsed;
  if (args.empty()) return parsed;
  const platform::OsString& first = args.front();
  if (first == platform::os_string("-h") || first == platform::os_string("--help")) {
    parsed.kind = ParsedArgs::Kind::Help;
    return parsed;
  }
  for (const cli::AgentKind agent : {cli::AgentKind::Claude, cli::AgentKind::Codex}) {
    if (first == platform::os_string(cli::agent_name(agent))) {
      parsed.kind = ParsedArgs::Kind::Launch;
      parsed.agent = agent;
      parsed.agent_args.assign(std::make_move_iterator(args.begin() + 1),
                               std::make_move_iterator(args.end()));
      return parsed;
    }
  }
  return parsed;
}

bool is_remote_codex(cli::AgentKind agent, const std::vector<platform::OsString>& agent_args) {
  const platform::OsString remote = platform::os_string("--remote");
  return agent == cli::AgentKind::Codex &&
         std::find(agent_args.begin(), agent_args.end(), remote) != agent_args.end();
}

}  // namespace launch
