// A fixture for tests of the real talvane in a terminal of its own: temporary directories for the
// agent's PATH, its records, the app's data directory and the working directory, with the fake
// agent on that PATH as both "claude" and "codex". POSIX only (it drives LauncherProcess).
//
//   class MyTest : public testing_support::TalvaneRun {};
//   TEST_F(MyTest, Something) {
//     auto talvane = start(options({"claude"}));
//     talvane->type("hi");
//     expect_received("hi");
//   }
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

class TalvaneRun : public ::testing::Test {
 protected:
  // Generous: a loaded machine may be slow, and every wait ends as soon as its condition holds.
  static constexpr std::chrono::milliseconds BOUND{15000};
  static constexpr char EXIT_KEY = '\x1d';  // Ctrl+]: makes the fake agent exit

  TalvaneRun();

  // The fake agent's path on the agent PATH under the name `agent` ("claude" or "codex").
  std::string agent_path(const std::string& agent = "claude") const;
  // A file the fake agent records into (see tests/fake_agent/fake_agent.cpp).
  std::string record(const char* name) const;
  const TempDir& data_dir() const { return data_; }

  // talvane with these arguments; `env` is added to (or replaces entries of) the base
  // environment: PATH, HOME, TALVANE_DATA_DIR, FAKE_AGENT_DIR and FAKE_AGENT_EXIT_ON.
  LauncherProcess::Options options(std::vector<std::string> args = {"claude"},
                                   std::map<std::string, std::string> env = {}) const;

  // Starts talvane and waits until the agent runs (by then the relay mode is on).
  std::unique_ptr<LauncherProcess> start(const LauncherProcess::Options& o);

  // Ends the fake agent with EXIT_KEY and expects talvane to end with its status 0.
  void end_agent(LauncherProcess& talvane);

  // Waits until the agent has received at least as many bytes as `bytes`, then expects exactly
  // `bytes` in all.
  void expect_received(const std::string& bytes);
  // Everything the agent has received so far.
  std::string received() const;

  static void expect_attributes_equal(const termios& a, const termios& b);

  TempDir bin_, record_, data_, work_;
};

}  // namespace testing_support
