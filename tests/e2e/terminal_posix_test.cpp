// The real talvane against a terminal and a process state that an earlier program or the user's
// shell left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <string>

#include "tests/support/launcher_process.h"
#include "tests/support/talvane_run.h"

namespace {

using testing_support::eventually;
using testing_support::LauncherProcess;
using testing_support::read_file;

class TerminalEndToEnd : public testing_support::TalvaneRun {
 protected:
  // The process's state letter from /proc ('T' stopped, 'Z' zombie), or 0 once it is gone.
  static char process_state(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
    const std::size_t end = stat.rfind(") ");
    return end == std::string::npos ? 0 : stat[end + 2];
  }

  static bool raw(const termios& t) { return (t.c_lflag & (ICANON | ECHO | ISIG)) == 0; }
};

// Regression: after a stop (kill -TSTP) and fg talvane stayed in the terminal mode the shell had
// restored: keys echoed locally and waited for Enter, and Ctrl+C killed talvane and the agent.
TEST_F(TerminalEndToEnd, AStopPutsTheTerminalBackAndTheContinuationTakesTheRelayModeAgain) {
  LauncherProcess::Options o = options();
  o.job_control = true;
  auto talvane = start(o);
  const pid_t job = talvane->foreground_group();
  ASSERT_GT(job, 0);
  kill(job, SIGTSTP);
  EXPECT_TRUE(eventually([&] { return process_state(job) == 'T'; }, BOUND));
  expect_attributes_equal(talvane->terminal_attributes(), talvane->initial_attributes());
  talvane->resize(100, 30);  // while stopped
  kill(job, SIGCONT);
  EXPECT_TRUE(eventually([&] { return raw(talvane->terminal_attributes()); }, BOUND));
  EXPECT_TRUE(eventually([&] { return read_file(record("size")) == "80 24\n100 30\n"; }, BOUND))
      << read_file(record("size")).value_or("");
  talvane->type("\x03");
  expect_received("\x03");
  end_agent(*talvane);
}

// Regression: a terminal left non-blocking made EAGAIN end both pumps: most of the output was
// lost, no key reached the agent, and the run hung.
TEST_F(TerminalEndToEnd, ATerminalLeftNonBlockingRelaysEverythingAndIsLeftAsFound) {
  LauncherProcess::Options o = options({"claude"}, {{"FAKE_AGENT_PRINT_BYTES", "200000"}});
  o.nonblocking = true;
  auto talvane = start(o);
  talvane->type("keys");
  expect_received("keys");
  std::string tail;
  for (std::size_t i = 199000; i < 200000; ++i) {
    tail += i % 64 == 62 ? '\r' : i % 64 == 63 ? '\n' : static_cast<char>('a' + i % 26);
  }
  EXPECT_TRUE(talvane->wait_for_output(tail, BOUND));
  end_agent(*talvane);
  EXPECT_TRUE(talvane->terminal_nonblocking());
}

// Regression: with SIGCHLD ignored by the parent the agent was reaped unseen, and every run ended
// with "failed to query the agent's exit: No child processes" and status 1.
TEST_F(TerminalEndToEnd, AnIgnoredChildSignalDoesNotHideTheAgentsExit) {
  LauncherProcess::Options o = options({"claude"}, {{"FAKE_AGENT_EXIT_CODE", "3"}});
  o.ignored_signals = {SIGCHLD};
  auto talvane = start(o);
  talvane->type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane->wait_exit(BOUND), 3) << talvane->output();
}

// Regression: with SIGHUP ignored (nohup, trap '' HUP) a closed terminal left talvane and the
// agent running until the agent ended on its own.
TEST_F(TerminalEndToEnd, AClosedTerminalEndsTheRunAndTheAgentEvenWithHangUpsIgnored) {
  LauncherProcess::Options o = options();
  o.ignored_signals = {SIGHUP};
  auto talvane = start(o);
  const pid_t agent = std::stoi(read_file(record("pid")).value_or("0"));
  ASSERT_GT(agent, 0);
  talvane->hang_up();
  EXPECT_TRUE(talvane->wait_exit(BOUND).has_value());
  EXPECT_TRUE(
      eventually([&] { return process_state(agent) == 0 || process_state(agent) == 'Z'; }, BOUND));
}

// Regression: modes the agent switched on (bracketed paste, focus and mouse reports, the kitty
// keyboard, the alternate screen, a hidden cursor) stayed on in the user's terminal when the
// agent was killed or left running, and the shell then received their reports as garbage.
TEST_F(TerminalEndToEnd, ModesTheAgentLeftOnAreSwitchedOffWhenTalvaneEnds) {
  const std::string on =
      "\x1b[?1049h\x1b[?2004h\x1b[?1004h\x1b[?1000;1006h\x1b[>1u\x1b[?2031h\x1b[?25l";
  auto talvane = start(options(
      {"claude"}, {{"FAKE_AGENT_PRINT", on}, {"FAKE_AGENT_SIGNAL", std::to_string(SIGKILL)}}));
  EXPECT_EQ(talvane->wait_exit(BOUND), 128 + SIGKILL);
  const std::string output = talvane->output();
  const std::size_t turned_on = output.find(on);
  ASSERT_NE(turned_on, std::string::npos) << output;
  // Each switched off by its own reset; the keyboard entry pushed on the alternate screen is
  // popped there, before the screen is left by the mode that entered it.
  const std::string off =
      "\x1b[?2004l\x1b[?1004l\x1b[?1000l\x1b[?1006l\x1b[?2031l\x1b[<1u\x1b[?1049l\x1b[?25h";
  EXPECT_EQ(output.substr(turned_on + on.size()), off) << output;
}

}  // namespace
