#include "cli/launch/agent_lookup.h"

#include <utility>

#include "cli/launch/path_search.h"
#include "platform/command_line.h"
#include "platform/process.h"

namespace launch {

using platform::OsString;

std::optional<OsString> find_agent(cli::AgentKind agent) {
  const std::optional<OsString> path = platform::get_env(platform::os_string("PATH"));
  if (platform::path_rules() == platform::PathRules::Windows) {
    std::optional<OsString> found =
        search_windows_path(cli::agent_name(agent), path,
                            platform::get_env(platform::os_string("PATHEXT")), platform::is_file);
    // Found through an empty PATH element (the current directory), it is a bare name, which
    // CreateProcessW would look for again elsewhere: start the file that was found.
    if (found) found = platform::absolute_path(*found);
    return found;
  }
  return search_posix_path(cli::agent_name(agent), path, platform::is_executable_file);
}

std::string_view agent_not_found_message(cli::AgentKind agent) {
  if (agent == cli::AgentKind::Claude) {
    return "Couldn't find claude on your PATH.\n"
           "Install Claude Code, or open a new terminal if you just installed it.\n";
  }
  return "Couldn't find codex on your PATH.\n"
         "Install Codex CLI, or open a new terminal if you just installed it.\n";
}

platform::Result<platform::AgentCommand> make_agent_command(
    const OsString& found_path, std::vector<OsString> agent_args,
    const std::optional<std::string>& session_token, platform::Environment env,
    platform::PathRules rules) {
  platform::AgentCommand command;
  const bool batch = rules == platform::PathRules::Windows && is_batch_file(found_path);
  command.kind =
      batch ? platform::AgentCommand::Kind::BatchFile : platform::AgentCommand::Kind::Program;
  command.program = found_path;
  command.args.push_back(found_path);
  for (OsString& arg : agent_args) command.args.push_back(std::move(arg));
  if (session_token) {
    env.set(platform::os_string(SESSION_TOKEN_VARIABLE), platform::os_string(*session_token));
  }
  command.env = std::move(env);
  if (batch) {
    // cmd.exe would run or mangle what it cannot be given safely: refuse before anything starts.
    platform::Result<OsString> line = platform::windows_command_line(command);
    if (!line) return line.error();
  }
  return command;
}

platform::Result<platform::AgentCommand> build_agent_command(
    const OsString& found_path, std::vector<OsString> agent_args,
    const companion::SharedSession& session) {
  std::optional<std::string> token;
  if (session) token = session->session_token;
  return make_agent_command(found_path, std::move(agent_args), token,
                            platform::default_agent_environment(), platform::path_rules());
}

}  // namespace launch
