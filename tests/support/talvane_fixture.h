// A fixture for end-to-end runs of the real talvane with the fake agent on PATH as "claude" and
// "codex", each run in a terminal of its own (LauncherProcess). It owns four fresh directories:
// the PATH directory, the agent's record directory, the app's data directory (TALVANE_DATA_DIR,
// also HOME) and the working directory. The fake agent exits on END_KEY. POSIX only.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/launcher_process.h"
#include "tests/support/temp_dir.h"

namespace testing_support {

class TalvaneFixture : public ::testing::Test {
 public:
  // How long a test waits for anything that should happen at once.
  static constexpr std::chrono::milliseconds BOUND{15000};
  static constexpr char END_KEY = '\x1d';  // Ctrl+]: makes the fake agent exit

 protected:
  TalvaneFixture();

  // Where the fake agent is linked as `name` ("claude" or "codex").
  std::string agent_path(const std::string& name = "claude") const;
  // A file the fake agent records into (argv, env, ready, ...).
  std::string record(const char* name) const;

  // talvane with `args`, the fixture's environment and then `env` on top of it.
  LauncherProcess::Options options(std::vector<std::string> args = {"claude"},
                                   const std::map<std::string, std::string>& env = {}) const;

  // Starts talvane and waits until the agent runs (by then the relay mode is on).
  std::unique_ptr<LauncherProcess> start(const LauncherProcess::Options& o);

  // Ends the fake agent with END_KEY and expects talvane to end with its status 0.
  void end_agent(LauncherProcess& talvane);

  static void expect_attributes_equal(const termios& a, const termios& b);

  TempDir bin_, record_, data_, work_;
};

}  // namespace testing_support
