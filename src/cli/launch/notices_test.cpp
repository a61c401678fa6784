#include "cli/launch/notices.h"

#include <gtest/gtest.h>

#include <string>

namespace launch {
namespace {

using cli::AgentKind;
using companion::RegistrationStatus;

const std::string TERMINAL_CLAUDE =
    "Voice replies are tested in Windows Terminal only.\n"
    "They may still work here. Claude works exactly as usual.\n";
const std::string TERMINAL_CODEX =
    "Voice replies are tested in Windows Terminal only.\n"
    "They may still work here. Codex works exactly as usual.\n";

TEST(StartupNotices, TextsPerTerminalAndStatus) {
  const struct {
    AgentKind agent;
    RegistrationStatus status;
    bool in_windows_terminal;
    std::string expected;
  } cases[] = {
      {AgentKind::Claude, RegistrationStatus::Registered, true, ""},
      {AgentKind::Claude, RegistrationStatus::NotRegistered, true, ""},
      {AgentKind::Claude, RegistrationStatus::Registered, false, TERMINAL_CLAUDE},
      {AgentKind::Codex, RegistrationStatus::NotRegistered, false, TERMINAL_CODEX},
      {AgentKind::Codex, RegistrationStatus::NotConnected, true,
       "Codex is not connected, so voice replies are off.\n"
       "Connect it in Talvane under Experimental.\n"
       "Codex works exactly as usual.\n"},
      {AgentKind::Claude, RegistrationStatus::NotConnected, false,
       TERMINAL_CLAUDE + "Claude is not connected, so voice replies are off.\n"
                         "Connect it in Talvane under Experimental.\n"
                         "Claude works exactly as usual.\n"},
      {AgentKind::Codex, RegistrationStatus::AppTooOld, true,
       "Codex voice replies need a newer Talvane version.\n"
       "Codex works exactly as usual.\n"},
      {AgentKind::Codex, RegistrationStatus::RemoteCodex, false,
       TERMINAL_CODEX + "Voice replies are off for remote Codex sessions.\n"
                        "Codex works exactly as usual.\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(startup_notices(c.agent, c.status, c.in_windows_terminal), c.expected)
        << static_cast<int>(c.status) << " " << c.in_windows_terminal;
  }
}

}  // namespace
}  // namespace launch
