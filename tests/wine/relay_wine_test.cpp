// talvane.exe under Wine with the fake agent in its pseudo-console: output, keys, exit codes,
// the command line and working directory, batch agents, the console's modes, and teardown.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/launcher_process.h"
#include "tests/support/run_program.h"
#include "tests/wine/wine_run.h"

namespace {

using testing_support::eventually;
using testing_support::LauncherProcess;
using testing_support::plain_text;
using testing_support::read_file;
using testing_support::windows_path;
using namespace std::string_literals;

class RelayUnderWine : public testing_support::WineRun {};

TEST_F(RelayUnderWine, OutputReachesTheTerminalUpToTheLastWriteBeforeExit) {
  constexpr std::size_t PATTERN_BYTES = 64 * 300;
  auto talvane =
      start(options({"claude"}, {{"FAKE_AGENT_PRINT", "<agent> caf\xC3\xA9 \xE2\x82\xAC\r\n"},
                                 {"FAKE_AGENT_PRINT_BYTES", std::to_string(PATTERN_BYTES)},
                                 {"FAKE_AGENT_EXIT_AT_ONCE", "1"}}));
  ASSERT_EQ(talvane->wait_exit(BOUND), 0) << talvane->output();
  // The pattern's last line: bytes PATTERN_BYTES - 64 .. - 3, then its line end.
  std::string last;
  for (std::size_t n = PATTERN_BYTES - 64; n < PATTERN_BYTES - 2; ++n) {
    last += static_cast<char>('a' + n % 26);
  }
  const std::string text = plain_text(talvane->output());
  EXPECT_NE(text.find("<agent> caf\xC3\xA9 \xE2\x82\xAC"), std::string::npos) << text;
  EXPECT_NE(text.find(last), std::string::npos) << text;
}

TEST_F(RelayUnderWine, KeysReachTheAgentUnchanged) {
  auto talvane = start(options());
  std::string paste;
  for (int i = 0; i < 6000; ++i) paste += static_cast<char>('a' + i % 26);
  const std::string typed = "hi \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\r" + paste;
  talvane->type(typed);
  expect_received(typed);
  // Ctrl+Z and Ctrl+\ would be signals on the outer terminal: typed as the console's key events.
  type_as_keys("\x1a\x1c");
  expect_received(typed + "\x1a\x1c");
  end_agent(*talvane);
}

TEST_F(RelayUnderWine, TheAgentsExitCodeIsTalvanesLowByte) {
  // Regression: an exit code of 259 (STILL_ACTIVE, what Windows reports for a process still
  // running) was taken for a running agent, and the run never ended.
  for (const int code : {0, 3, 255, 256, 259}) {
    auto talvane = start(options({"claude"}, {{"FAKE_AGENT_EXIT_AT_ONCE", "1"},
                                              {"FAKE_AGENT_EXIT_CODE", std::to_string(code)}}));
    EXPECT_EQ(talvane->wait_exit(BOUND), code & 0xFF) << code << ": " << talvane->output();
  }
}

TEST_F(RelayUnderWine, ArgumentsAndWorkingDirectoryReachTheAgent) {
  const std::vector<std::string> args = {"--model", "two words",     "",  "\xC3\xBC",
                                         "a\"b",    "back\\slash\\", "-h"};
  std::vector<std::string> all{"claude"};
  all.insert(all.end(), args.begin(), args.end());
  auto talvane = start(options(all));
  std::string expected = windows_path(bin_.path() / "claude.exe") + '\0';
  for (const std::string& arg : args) expected += arg + '\0';
  EXPECT_EQ(read_file(record("argv")), expected);
  EXPECT_EQ(read_file(record("cwd")), windows_path(work_.path()));
  end_agent(*talvane);
}

// A batch agent in a directory whose name has a space, as npm installs claude.cmd.
class BatchAgentUnderWine : public RelayUnderWine {
 protected:
  BatchAgentUnderWine() {
    std::filesystem::create_directory(tools_);
    std::filesystem::copy_file(testing_support::windows_program("fake_agent.exe"),
                               tools_ / "agent.exe");
    const std::string batch = "@\"" + windows_path(tools_ / "agent.exe") + "\" %*\r\n";
    std::ofstream(tools_ / "claude.cmd", std::ios::binary) << batch;
  }

  LauncherProcess::Options batch_options(const std::vector<std::string>& args,
                                         bool around = false) const {
    std::vector<std::string> all{"claude"};
    all.insert(all.end(), args.begin(), args.end());
    return options(all, {{"WINEPATH", windows_path(tools_)}}, around);
  }

  const std::filesystem::path tools_ = bin_.path() / "my tools";
};

TEST_F(BatchAgentUnderWine, ArgumentsPassThroughCmdUnchanged) {
  // A percent sign is kept by a substring expansion that Wine's cmd.exe lacks: the smoke script
  // and the unit tests of the quoting cover it.
  const std::vector<std::string> args = {"two words", "\"quoted\"", "say \"hi\"", "a&b",
                                         "a|b",       "a^b",        "<in>",       "x > y"};
  auto talvane = start(batch_options(args));
  const std::string argv = read_file(record("argv")).value_or("");
  std::string expected;
  for (const std::string& arg : args) expected += arg + '\0';
  const std::size_t first = argv.find('\0');
  ASSERT_NE(first, std::string::npos) << argv;
  EXPECT_EQ(argv.substr(first + 1), expected);
  end_agent(*talvane);
}

// The machine's stored PATH in the suite's prefix, which the agent's PATH begins with, with
// `first` put ahead of it while this lives.
class MachinePathAhead {
 public:
  explicit MachinePathAhead(const std::string& first) {
    const std::string out = reg({"query", KEY, "/v", "PATH"}).out;
    const std::size_t type = out.find(TYPE);
    if (type == std::string::npos) return;
    const std::size_t from = out.find_first_not_of(' ', type + TYPE.size());
    const std::size_t to = out.find_first_of("\r\n", from);
    if (from == std::string::npos || to == std::string::npos) return;
    saved_ = out.substr(from, to - from);
    set_ =
        reg({"add", KEY, "/v", "PATH", "/t", TYPE, "/d", first + ";" + saved_, "/f"}).status == 0;
  }
  ~MachinePathAhead() {
    if (set_) reg({"add", KEY, "/v", "PATH", "/t", TYPE, "/d", saved_, "/f"});
  }
  bool set() const { return set_; }

 private:
  static testing_support::ProgramResult reg(std::vector<std::string> args) {
    args.insert(args.begin(), "reg");
    return testing_support::run_program(testing_support::WineSuite::wine(), args,
                                        testing_support::WineSuite::environment());
  }
  inline static const std::string KEY =
      R"(HKLM\System\CurrentControlSet\Control\Session Manager\Environment)";
  inline static const std::string TYPE = "REG_EXPAND_SZ";
  std::string saved_;
  bool set_ = false;
};

TEST_F(BatchAgentUnderWine, TheBatchFileRunsInTheSystemsCmdNotOneOnPath) {
  // Regression: cmd.exe was looked for along the agent's PATH before the system directory, so a
  // cmd.exe in a folder ahead of System32 on PATH ran instead of the system's.
  std::filesystem::copy_file(testing_support::windows_program("fake_agent.exe"),
                             tools_ / "cmd.exe");
  const MachinePathAhead ahead(windows_path(tools_));
  ASSERT_TRUE(ahead.set());
  auto talvane = start(batch_options({"x"}));
  const std::string argv = read_file(record("argv")).value_or("");
  EXPECT_EQ(argv.substr(0, argv.find('\0')), windows_path(tools_ / "agent.exe"));
  end_agent(*talvane);
}

TEST_F(BatchAgentUnderWine, ALineFeedInAnArgumentIsRefusedBeforeTheAgentStarts) {
  LauncherProcess talvane(batch_options({"two\nlines"}, /*around=*/true));
  EXPECT_EQ(talvane.wait_exit(BOUND), 1) << talvane.output();
  EXPECT_NE(plain_text(talvane.output()).find("talvane: "), std::string::npos) << talvane.output();
  EXPECT_FALSE(std::filesystem::exists(record("ready")));
  expect_modes_restored(talvane);
}

TEST_F(RelayUnderWine, TheConsoleModesAreRestoredWhenTheAgentExitsAndOnAnInterrupt) {
  // Regression: the output mode was left as found, without virtual-terminal processing, and was
  // not among the modes restored.
  {
    auto talvane = start(options({"claude"}, {}, /*around=*/true));
    // For the run: keys as terminal sequences, escape sequences interpreted, no automatic
    // line break at the right edge.
    EXPECT_EQ(console_tool({"modes", "talvane.exe"}), 0);
    ASSERT_TRUE(eventually([&] { return modes(talvane->output()).size() == 2; }, BOUND));
    unsigned long input = 0, output = 0;
    ASSERT_EQ(std::sscanf(modes(talvane->output())[1].c_str(), "[modes %lx %lx]", &input, &output),
              2);
    EXPECT_EQ(input & 0x200, 0x200u);  // ENABLE_VIRTUAL_TERMINAL_INPUT
    EXPECT_EQ(output & 0xC, 0xCu);     // ..._PROCESSING, DISABLE_NEWLINE_AUTO_RETURN
    end_agent(*talvane);
    expect_modes_restored(*talvane);
  }
  // Ctrl+C on the outer terminal is a signal to Wine's processes, which Wine turns into a
  // console control event.
  auto talvane = start(options({"claude"}, {}, /*around=*/true));
  talvane->type("\x03");
  EXPECT_TRUE(talvane->wait_exit(BOUND).has_value()) << talvane->output();
  expect_modes_restored(*talvane);
}

TEST_F(RelayUnderWine, AnAgentFoundThroughAnEmptyPathElementIsTheFileFound) {
  // Regression: an agent found through an empty PATH element (the current directory) came back
  // as a bare name, which spawning looked for again along PATH and in System32, and failed.
  std::filesystem::copy_file(testing_support::windows_program("fake_agent.exe"),
                             work_.path() / "claude.exe");
  const testing_support::TempDir empty;
  auto talvane = start(options({"claude"}, {{"WINEPATH", windows_path(empty.path()) + ";"}}));
  const std::string argv = read_file(record("argv")).value_or("");
  EXPECT_EQ(argv.substr(0, argv.find('\0')), windows_path(work_.path() / "claude.exe"));
  end_agent(*talvane);
}

TEST_F(RelayUnderWine, AResizeLeavesTheRunWorking) {
  // Wine does not implement resizing a pseudo-console: the call fails and the relay goes on.
  auto talvane = start(options());
  talvane->resize(100, 30);
  talvane->type("after");
  expect_received("after");
  end_agent(*talvane);
}

// A process of this machine (under Wine every Windows process is one) whose command line holds
// `first` and `second`, in the session `session` (any session: -1).
std::optional<pid_t> find_process(pid_t session, const std::string& first,
                                  const std::string& second) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
    if (pid <= 0 || (session != -1 && getsid(pid) != session)) continue;
    const std::string command = read_file(entry.path() / "cmdline").value_or("");
    if (command.find(first) != std::string::npos && command.find(second) != std::string::npos) {
      return pid;
    }
  }
  return std::nullopt;
}

// The pseudo-console's host, "conhost.exe --headless", in talvane.exe's session.
std::optional<pid_t> pseudo_console_host(pid_t session) {
  return find_process(session, "conhost.exe", "--headless");
}

TEST_F(RelayUnderWine, TeardownDoesNotHangOnceTheOutputHasEnded) {
  auto talvane = start(options());
  const std::optional<pid_t> host = pseudo_console_host(talvane->pid());
  ASSERT_TRUE(host.has_value());
  // The output ends at once; the agent, its console gone, ends after it.
  kill(*host, SIGKILL);
  EXPECT_TRUE(talvane->wait_exit(BOUND).has_value()) << talvane->output();
}

TEST_F(RelayUnderWine, TeardownDoesNotHangWhenTheAgentExitsWhileWriting) {
  auto talvane = start(
      options({"claude"}, {{"FAKE_AGENT_FLOOD", "4000000"}, {"FAKE_AGENT_EXIT_AT_ONCE", "1"}}));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0) << talvane->output().size();
}

TEST_F(RelayUnderWine, TheRunEndsWhenClosingThePseudoConsoleWaitsForEver) {
  // Regression: the pseudo-console was closed on the main thread before any bound began, and its
  // close waits for the console host (on Windows before 11 24H2, for the last output to be read,
  // which a console holding a selection never does): the run never ended.
  auto talvane = start(options());
  const std::optional<pid_t> host = pseudo_console_host(talvane->pid());
  // In a session of its own: found by its path, which is this test's alone.
  const std::string path = windows_path(bin_.path() / "claude.exe");
  const std::optional<pid_t> agent = find_process(-1, path, path);
  ASSERT_TRUE(host.has_value() && agent.has_value());
  kill(*host, SIGSTOP);  // the close now waits for ever
  kill(*agent, SIGKILL);
  EXPECT_TRUE(talvane->wait_exit(BOUND).has_value()) << talvane->output();
  kill(*host, SIGKILL);
}

}  // namespace
