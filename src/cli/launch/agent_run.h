// Runs the agent inside a pseudo-terminal of the console's size and relays the console to it.
#pragma once

#include <vector>

#include "cli/agent_kind.h"
#include "cli/companion/session.h"
#include "platform/os_string.h"

namespace launch {

// Finds the agent, starts it, relays until it exits or the app asks for shutdown, tears down and
// returns the exit status (0 to 255): the agent's exit code's low 8 bits, 0 after a shutdown
// request, 1 when the run cannot start (after printing why on standard error).
// Main thread only.
int run_agent(cli::AgentKind agent, std::vector<platform::OsString> agent_args,
              companion::SharedSession session);

}  // namespace launch
