#include "cli/launch/notices.h"

#include <cstdio>
#include <string>

#include "platform/process.h"

namespace launch {
namespace {

std::string with_name(const char* text, std::string_view name) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '{' && p[1] == '}') {
      out.append(name);
      ++p;
    } else {
      out.push_back(*p);
    }
  }
  return out;
}

}  // namespace

std::string startup_notices(cli::AgentKind agent, companion::RegistrationStatus status,
                            bool in_windows_terminal) {
  using companion::RegistrationStatus;
  const std::string_view name = cli::display_name(agent);
  std::string notices;
  if (!in_windows_terminal) {
    notices += with_name(
        "Voice replies are tested in Windows Terminal only.\n"
        "They may still work here. {} works exactly as usual.\n",
        name);
  }
  switch (status) {
    case RegistrationStatus::NotConnected:
      notices += with_name(
          "{} is not connected, so voice replies are off.\n"
          "Connect it in Talvane under Experimental.\n"
          "{} works exactly as usual.\n",
          name);
      break;
    case RegistrationStatus::AppTooOld:
      notices += with_name(
          "{} voice replies need a newer Talvane version.\n"
          "{} works exactly as usual.\n",
          name);
      break;
    case RegistrationStatus::RemoteCodex:
      notices +=
          "Voice replies are off for remote Codex sessions.\n"
          "Codex works exactly as usual.\n";
      break;
    case RegistrationStatus::NotRegistered:
    case RegistrationStatus::Registered:
      break;
  }
  return notices;
}

void print_startup_notices(cli::AgentKind agent, companion::RegistrationStatus status) {
  const bool in_windows_terminal = platform::get_env(platform::os_string("WT_SESSION")).has_value();
  const std::string notices = startup_notices(agent, status, in_windows_terminal);
  if (notices.empty()) return;
  std::fwrite(notices.data(), 1, notices.size(), stderr);
  std::fflush(stderr);
}

}  // namespace launch
