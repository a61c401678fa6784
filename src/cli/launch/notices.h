// Start-up notices: why voice replies may not work in this run.
#pragma once

#include <string>

#include "cli/agent_kind.h"
#include "cli/companion/session.h"

namespace launch {

// The notices for this run, in order, concatenated; `in_windows_terminal` is whether WT_SESSION
// is set (even to an empty value).
std::string startup_notices(cli::AgentKind agent, companion::RegistrationStatus status,
                            bool in_windows_terminal);

// Writes startup_notices() for the current environment to standard error. Main thread.
void print_startup_notices(cli::AgentKind agent, companion::RegistrationStatus status);

}  // namespace launch
