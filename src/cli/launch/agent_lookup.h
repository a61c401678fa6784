// Finding the agent's executable on PATH and building the command that the pseudo-terminal
// starts. Main thread (they read the process environment); the results are plain values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/agent_kind.h"
#include "cli/companion/session.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file_queries.h"
#include "platform/os_string.h"

namespace launch {

// The variable through which the agent learns the session's token.
inline constexpr std::string_view SESSION_TOKEN_VARIABLE = "TALVANE_SESSION_TOKEN";

// The path of the agent's executable found along PATH (with PATHEXT on Windows), or nothing.
// Reads PATH and PATHEXT and queries the file system; nothing else.
std::optional<platform::OsString> find_agent(cli::AgentKind agent);

// What the run prints on standard error, as it stands, when find_agent finds nothing.
std::string_view agent_not_found_message(cli::AgentKind agent);

// The command that starts `found_path` with `agent_args`, in the default agent environment,
// with TALVANE_SESSION_TOKEN set to the session's token when there is a session. An error when
// a batch file cannot be given these arguments safely; then nothing may be started.
platform::Result<platform::AgentCommand> build_agent_command(
    const platform::OsString& found_path, std::vector<platform::OsString> agent_args,
    const companion::SharedSession& session);

// build_agent_command with its inputs explicit: the session's token (if any), the environment to
// start from and the platform's rules.
platform::Result<platform::AgentCommand> make_agent_command(
    const platform::OsString& found_path, std::vector<platform::OsString> agent_args,
    const std::optional<std::string>& session_token, platform::Environment env,
    platform::PathRules rules);

}  // namespace launch
