// Placeholder until the agent command's own header lands: the shape the pseudo-terminal needs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/os_string.h"

namespace platform {

struct AgentCommand {
  OsString program;
  std::vector<OsString> args;  // args[0] is the program itself
  std::vector<std::pair<OsString, OsString>> environment;
};

#ifdef _WIN32
Result<std::wstring> windows_command_line(const AgentCommand& command);
std::wstring windows_environment_block(const AgentCommand& command);
#endif

}  // namespace platform
