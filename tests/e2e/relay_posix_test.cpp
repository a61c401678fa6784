// The real talvane in a terminal of its own, with the fake agent on PATH as "claude".
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/launcher_process.h"
#include "tests/support/talvane_run.h"

namespace {

using testing_support::eventually;
using testing_support::LauncherProcess;
using testing_support::read_file;
using namespace std::string_literals;

class RelayEndToEnd : public testing_support::TalvaneRun {};

TEST_F(RelayEndToEnd, ArgumentsAndWorkingDirectoryReachTheAgentUnchanged) {
  auto talvane = start(options({"claude", "--model", "two words", "", "\xC3\xBC", "-h"}));
  EXPECT_EQ(read_file(record("argv")), agent_path() + "\0--model\0two words\0\0\xC3\xBC\0-h\0"s);
  EXPECT_EQ(read_file(record("cwd")), std::filesystem::canonical(work_.path().string()).string());
  talvane->type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
}

TEST_F(RelayEndToEnd, KeystrokesArriveUnchangedAndInOrder) {
  auto talvane = start(options());
  std::string paste;
  for (int i = 0; i < 10000; ++i) paste += static_cast<char>('a' + i % 26);
  paste += "\xE2\x82\xAC\xF0\x9F\x98\x80";  // a paste may end inside no character
  const std::vector<std::string> typed = {"\x03", "\x1a", "\xC3\xA9", "\x1b[A",
                                          paste,  "\r",   "\x1a"};
  std::string all;
  for (const std::string& keys : typed) {
    talvane->type(keys);
    all += keys;
  }
  expect_received(all);
  talvane->type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
}

TEST_F(RelayEndToEnd, OutputArrivesUnchanged) {
  const std::string shown = "plain\n\x1b[1;31mred\x1b[0m\r\n\xC3\xA9\xE2\x82\xAC\x1b]0;title\x07";
  auto talvane = start(options({"claude"}, {{"FAKE_AGENT_PRINT", shown},
                                            {"FAKE_AGENT_PRINT_BYTES", "50000"},
                                            {"FAKE_AGENT_ECHO", "1"}}));
  ASSERT_TRUE(talvane->wait_for_output(shown, BOUND)) << talvane->output();
  talvane->type("zz\x1d");
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
  // The last output before the agent's exit (its echo) is shown before talvane ends.
  const std::string output = talvane->output();
  std::string pattern;
  for (std::size_t i = 0; i < 50000; ++i) {
    pattern += i % 64 == 62 ? '\r' : i % 64 == 63 ? '\n' : static_cast<char>('a' + i % 26);
  }
  // After the notice, exactly that and nothing more. Regression: every run ended with a mode
  // reset that the agent, which switched no mode on, never wrote.
  const std::size_t first = output.find(shown);
  ASSERT_NE(first, std::string::npos) << output;
  EXPECT_EQ(output.substr(first), shown + pattern + "zz\x1d");
}

TEST_F(RelayEndToEnd, OutputThatKeepsMovingAfterTheAgentsExitIsPassedOnToItsEnd) {
  // Regression: the wait for an exited agent's last output was bounded in total time (half a
  // second), so output still moving then, as to a slow terminal, was cut.
  std::filesystem::remove(agent_path());
  {
    std::ofstream(agent_path())
        << "#!/bin/sh\n"
           ": > \"$FAKE_AGENT_DIR/ready\"\n"
           "trap '' HUP\n"  // the writer outlives the terminal's hang-up at the agent's exit
           "( for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do\n"
           "    printf 'line %s\\n' $i; sleep 0.1; done\n"
           "  printf 'last line\\n' ) &\n";
  }
  chmod(agent_path().c_str(), 0755);
  auto talvane = start(options({"claude"}, {{"PATH", bin_.path().string() + ":/usr/bin:/bin"}}));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
  EXPECT_TRUE(talvane->wait_for_output("line 20\r\nlast line\r\n", BOUND)) << talvane->output();
}

TEST_F(RelayEndToEnd, TheAgentsExitCodeComesBack) {
  struct Case {
    std::map<std::string, std::string> env;
    int status;
  };
  const std::vector<Case> cases = {
      {{{"FAKE_AGENT_EXIT_CODE", "3"}}, 3},
      {{{"FAKE_AGENT_EXIT_CODE", "256"}}, 0},
      {{{"FAKE_AGENT_EXIT_CODE", "258"}}, 2},
      {{{"FAKE_AGENT_SIGNAL", std::to_string(SIGTERM)}}, 128 + SIGTERM},
      {{{"FAKE_AGENT_EXIT_AT_ONCE", "1"}, {"FAKE_AGENT_EXIT_CODE", "5"}}, 5},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(record("ready"));
    auto talvane = start(options({"claude"}, c.env));
    // Harmless when the agent has already gone: the keys land in talvane's terminal.
    talvane->type(std::string(1, EXIT_KEY));
    EXPECT_EQ(talvane->wait_exit(BOUND), c.status) << talvane->output();
    expect_attributes_equal(talvane->terminal_attributes(), talvane->initial_attributes());
  }
}

TEST_F(RelayEndToEnd, AResizeReachesTheAgent) {
  LauncherProcess::Options o = options();
  o.columns = 90;
  o.rows = 30;
  auto talvane = start(o);
  EXPECT_EQ(read_file(record("size")), "90 30\n");
  talvane->resize(120, 40);
  EXPECT_TRUE(eventually([&] { return read_file(record("size")) == "90 30\n120 40\n"; }, BOUND))
      << read_file(record("size")).value_or("");
  talvane->type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
}

TEST_F(RelayEndToEnd, TheTerminalIsRawDuringTheRunAndRestoredAfterIt) {
  auto talvane = start(options());
  const termios during = talvane->terminal_attributes();
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(during.c_oflag & OPOST, 0u);
  talvane->type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
  expect_attributes_equal(talvane->terminal_attributes(), talvane->initial_attributes());
}

TEST_F(RelayEndToEnd, AnAgentThatCannotBeStartedIsReportedAndTheTerminalRestored) {
  std::filesystem::remove(agent_path());
  {
    std::ofstream(agent_path()) << "\x7f"
                                   "ELF but not really";
  }
  chmod(agent_path().c_str(), 0755);
  LauncherProcess talvane(options());
  ASSERT_TRUE(talvane.started());
  EXPECT_EQ(talvane.wait_exit(BOUND), 1);
  EXPECT_TRUE(talvane.wait_for_output(
      "talvane: failed to start " + agent_path() + ": Exec format error (os error 8)\r\n", BOUND))
      << talvane.output();
  expect_attributes_equal(talvane.terminal_attributes(), talvane.initial_attributes());
}

TEST_F(RelayEndToEnd, ASignalFromOutsideRestoresTheTerminalAndEndsTalvaneByThatSignal) {
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) {
    std::filesystem::remove(record("ready"));
    auto talvane = start(options());
    talvane->send_signal(sig);
    EXPECT_EQ(talvane->wait_exit(BOUND), 128 + sig) << sig << "\n" << talvane->output();
    expect_attributes_equal(talvane->terminal_attributes(), talvane->initial_attributes());
  }
}

TEST_F(RelayEndToEnd, StandardStreamsThatAreNotATerminalStopTheRunBeforeTheAgent) {
  for (bool stdin_null : {false, true}) {
    LauncherProcess::Options o = options();
    o.stdin_from_null = stdin_null;
    o.stdout_to_null = !stdin_null;
    LauncherProcess talvane(o);
    ASSERT_TRUE(talvane.started());
    EXPECT_EQ(talvane.wait_exit(BOUND), 1);
    EXPECT_TRUE(
        talvane.wait_for_output("talvane: Inappropriate ioctl for device (os error 25)\r\n", BOUND))
        << talvane.output();
    EXPECT_FALSE(std::filesystem::exists(record("ready")));
    expect_attributes_equal(talvane.terminal_attributes(), talvane.initial_attributes());
  }
}

}  // namespace
