// The Windows build's talvane.exe run under Wine in a Linux pseudo-terminal of its own, as a user
// would run it in a terminal: the Wine process owns the terminal and Wine binds a console to it.
// The fake agent (fake_agent.exe) is on the Windows PATH as claude.exe and codex.exe.
//
// WineSuite is set up once for the whole program: one Wine prefix, and one Wine process kept
// running from the first test to the last (consoles started while no Wine process runs can
// hang). WineRun is the per-test fixture, as TalvaneRun is for the native program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/launcher_process.h"
#include "tests/support/temp_dir.h"

namespace testing_support {

// The Windows programs the suite drives, in WINDOWS_BUILD_DIR.
std::string windows_program(const char* name);

// "Z:\..." for a path of this machine, as Wine's programs see it.
std::string windows_path(const std::filesystem::path& path);

class WineSuite {
 public:
  // Why the suite cannot run here (no Wine, no Windows build), or "" when it can.
  static std::string missing();
  // Creates the prefix and starts the long-lived Wine process; false (with a reason) on failure.
  static bool set_up(std::string* reason);
  static void tear_down();
  // The environment every Wine program of the suite starts with.
  static std::map<std::string, std::string> environment();
  static const std::string& wine();
};

class WineRun : public ::testing::Test {
 protected:
  // Generous: Wine starts programs slowly on a loaded machine, and every wait ends as soon as
  // its condition holds.
  static constexpr std::chrono::milliseconds BOUND{30000};
  static constexpr char EXIT_KEY = '\x1d';  // Ctrl+]: makes the fake agent exit

  WineRun();

  std::string record(const char* name) const;
  std::string received() const;
  // Waits until the agent has received at least as many bytes, then expects exactly `bytes`.
  void expect_received(const std::string& bytes);

  // talvane.exe with these arguments (run through `console_tool around` when `around`); `env`
  // adds to or replaces the base environment (WINEPATH with the agent's directory first,
  // TALVANE_DATA_DIR, FAKE_AGENT_DIR, FAKE_AGENT_EXIT_ON; no WT_SESSION).
  LauncherProcess::Options options(std::vector<std::string> args = {"claude"},
                                   std::map<std::string, std::string> env = {},
                                   bool around = false) const;
  // Starts it and waits until the agent runs.
  std::unique_ptr<LauncherProcess> start(const LauncherProcess::Options& o);
  // Ends the fake agent with EXIT_KEY and expects talvane.exe to end with status 0.
  void end_agent(LauncherProcess& talvane);

  // Runs console_tool with these arguments in the suite's prefix; its exit status.
  int console_tool(const std::vector<std::string>& args) const;
  // Types `keys` into talvane.exe's console as key events.
  void type_as_keys(std::string_view keys) const;

  // The "[modes INPUT OUTPUT]" lines that console_tool wrote into talvane.exe's console.
  static std::vector<std::string> modes(const std::string& output);
  // The first and the last modes written (before and after talvane.exe ran) are the same.
  static void expect_modes_restored(const LauncherProcess& talvane);

  TempDir bin_, record_, data_, work_;
};

// The text of terminal output with escape sequences, CR and BEL taken out; a cursor move to the
// right stands for as many spaces.
std::string plain_text(std::string_view output);

}  // namespace testing_support
