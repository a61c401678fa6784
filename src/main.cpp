// talvane <claude|codex> [agent arguments]: reads the command line and hands over to the session,
// the start-up notices and the agent run.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/companion/session.h"
#include "cli/launch/agent_run.h"
#include "cli/launch/args.h"
#include "cli/launch/fatal.h"
#include "cli/launch/notices.h"
#include "platform/console.h"
#include "platform/os_string.h"

namespace {

int write_usage(std::FILE* stream, int status) {
  std::fwrite(launch::USAGE.data(), 1, launch::USAGE.size(), stream);
  return status;
}

int launcher_main(std::vector<platform::OsString> args) {
  launch::ParsedArgs parsed = launch::parse_args(std::move(args));
  switch (parsed.kind) {
    case launch::ParsedArgs::Kind::Help:
      return write_usage(stdout, 0);
    case launch::ParsedArgs::Kind::Invalid:
      return write_usage(stderr, 1);
    case launch::ParsedArgs::Kind::Launch:
      break;
  }

  companion::SharedSession session;
  companion::RegistrationStatus status = companion::RegistrationStatus::RemoteCodex;
  if (!launch::is_remote_codex(parsed.agent, parsed.agent_args)) {
    // Taken before the first registration, so that a signal or console event while the app is
    // slow to answer still withdraws it. The agent run installs it again and reports a failure.
    platform::set_control_hook(companion::deregister_global);
    (void)platform::install_console_handler();
    std::tie(session, status) = companion::create_session(parsed.agent);
  }
  launch::print_startup_notices(parsed.agent, status);
  return launch::run_agent(parsed.agent, std::move(parsed.agent_args), std::move(session));
}

// Ends the process without running static destructors: detached worker threads may still be
// using process-wide state, and nothing waits for them.
[[noreturn]] void finish(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
  launch::install_fatal_hook();
  platform::use_binary_standard_streams();
  std::vector<platform::OsString> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  finish(launch::run_main([&] { return launcher_main(std::move(args)); }));
}
