#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/pty.h"
#include "tests/support/launcher_process.h"
#include "tests/support/temp_dir.h"

namespace platform {
namespace {

using std::chrono::milliseconds;
using testing_support::eventually;
using testing_support::read_file;
using testing_support::TempDir;

constexpr milliseconds BOUND{10000};

// Runs the fake agent directly in a pair of our pseudo-terminal layer.
class PtyTest : public ::testing::Test {
 protected:
  AgentCommand command(std::vector<std::pair<std::string, std::string>> extra_env = {}) {
    AgentCommand c;
    c.program = FAKE_AGENT_EXE;
    c.args = {c.program};
    c.env = Environment(NameCase::Sensitive);
    c.env.set("FAKE_AGENT_DIR", dir_.path().string());
    for (auto& [name, value] : extra_env) c.env.set(name, value);
    return c;
  }

  // Opens a pair, starts the command, and keeps the master's two ends.
  void start(AgentCommand c, ConsoleSize size = {80, 24}) {
    Result<PtyPair> pair = open_pty(size);
    ASSERT_TRUE(pair) << pair.error().display();
    master_.emplace(std::move(pair.value().master));
    Result<AgentProcess> agent = spawn_agent(std::move(pair.value().child), std::move(c));
    ASSERT_TRUE(agent) << agent.error().display();
    agent_.emplace(std::move(agent).value());
    Result<std::unique_ptr<ByteSource>> reader = master_->clone_reader();
    ASSERT_TRUE(reader);
    reader_ = std::move(reader).value();
    Result<std::unique_ptr<ByteSink>> writer = master_->take_writer();
    ASSERT_TRUE(writer);
    writer_ = std::move(writer).value();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(file("ready")); }, BOUND));
  }

  std::string file(const char* name) const { return dir_.path().string() + "/" + name; }

  std::optional<std::uint32_t> wait_exit() {
    std::optional<std::uint32_t> code;
    eventually(
        [&] {
          Result<std::optional<std::uint32_t>> now = agent_->wait_exit(milliseconds(50));
          EXPECT_TRUE(now);
          code = now ? now.value() : std::nullopt;
          return code.has_value();
        },
        BOUND);
    return code;
  }

  // Everything the agent writes, until its output ends.
  std::string read_all_output() {
    std::string all;
    char buffer[4096];
    for (;;) {
      Result<std::size_t> n = reader_->read(buffer);
      if (!n || n.value() == 0) return all;
      all.append(buffer, n.value());
    }
  }

  TempDir dir_;
  std::optional<PtyMaster> master_;
  std::optional<AgentProcess> agent_;
  std::unique_ptr<ByteSource> reader_;
  std::unique_ptr<ByteSink> writer_;
};

TEST_F(PtyTest, AgentGetsItsArgumentsEnvironmentDirectoryAndSize) {
  AgentCommand c = command({{"SOME_NAME", "a value with spaces"}});
  c.args.push_back("--flag");
  c.args.push_back("");
  c.args.push_back("two words \"quoted\"");
  start(std::move(c), ConsoleSize{132, 43});
  using namespace std::string_literals;
  EXPECT_EQ(read_file(file("argv")),
            std::string(FAKE_AGENT_EXE) + "\0--flag\0\0two words \"quoted\"\0"s);
  const std::string env = read_file(file("env")).value_or("");
  EXPECT_NE(env.find("\0SOME_NAME=a value with spaces\0"s), std::string::npos);
  EXPECT_EQ(env.find("PATH="), std::string::npos) << "only the command's environment";
  EXPECT_EQ(read_file(file("cwd")), std::filesystem::current_path().string());
  EXPECT_EQ(read_file(file("size")), "132 43\n");
}

TEST_F(PtyTest, RelaysInputAndOutputBothWays) {
  start(command({{"FAKE_AGENT_ECHO", "1"},
                 {"FAKE_AGENT_EXIT_ON", "4"},
                 {"FAKE_AGENT_PRINT", "hello \x1b[1m\xC3\xA9\r\n"}}));
  const std::string keys = "\x03\x1a\xE2\x82\xAC\x1b[A";
  ASSERT_TRUE(writer_->write_all(keys));
  ASSERT_TRUE(writer_->flush());
  ASSERT_TRUE(writer_->write_all("\x04"));
  EXPECT_EQ(read_all_output(), "hello \x1b[1m\xC3\xA9\r\n" + keys + "\x04");
  EXPECT_EQ(read_file(file("input")), keys + "\x04");
  EXPECT_EQ(wait_exit(), 0u);
}

TEST_F(PtyTest, OutputEndsOnceTheAgentHasExited) {
  start(command({{"FAKE_AGENT_PRINT_BYTES", "100000"}, {"FAKE_AGENT_EXIT_ON", "113"}}));
  ASSERT_TRUE(writer_->write_all("q"));
  const std::string output = read_all_output();
  EXPECT_EQ(output.size(), 100000u);
  EXPECT_EQ(output.substr(0, 3), "abc");
}

TEST_F(PtyTest, ResizeReachesTheAgent) {
  start(command());
  ASSERT_TRUE(master_->resize(ConsoleSize{100, 31}));
  EXPECT_TRUE(eventually([&] { return read_file(file("size")) == "80 24\n100 31\n"; }, BOUND))
      << read_file(file("size")).value_or("");
}

TEST_F(PtyTest, ExitCodesComeBackAsTheSystemReportsThem) {
  struct Case {
    const char* code;
    std::uint32_t expected;
  };
  for (const Case& c : {Case{"0", 0}, Case{"3", 3}, Case{"256", 0}, Case{"258", 2}}) {
    TempDir dir;
    AgentCommand cmd = command({{"FAKE_AGENT_EXIT_CODE", c.code}, {"FAKE_AGENT_EXIT_ON", "113"}});
    cmd.env.set("FAKE_AGENT_DIR", dir.path().string());
    Result<PtyPair> pair = open_pty({80, 24});
    ASSERT_TRUE(pair);
    Result<AgentProcess> agent = spawn_agent(std::move(pair.value().child), std::move(cmd));
    ASSERT_TRUE(agent);
    Result<std::unique_ptr<ByteSink>> input = pair.value().master.take_writer();
    ASSERT_TRUE(input);
    ASSERT_TRUE(input.value()->write_all("q"));
    std::optional<std::uint32_t> code;
    EXPECT_TRUE(eventually(
        [&] {
          Result<std::optional<std::uint32_t>> now = agent.value().wait_exit(milliseconds(50));
          code = now ? now.value() : std::nullopt;
          return code.has_value();
        },
        BOUND));
    EXPECT_EQ(code, c.expected) << c.code;
  }
}

TEST_F(PtyTest, AnAgentKilledBySignalExitsWith128PlusTheSignal) {
  start(command({{"FAKE_AGENT_SIGNAL", std::to_string(SIGTERM)}}));
  EXPECT_EQ(wait_exit(), 128u + SIGTERM);
  // The answer stays once the agent has been reaped.
  Result<std::optional<std::uint32_t>> again = agent_->exit_code();
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), 128u + SIGTERM);
}

TEST_F(PtyTest, ExitIsSeenAtOnceRatherThanAfterTheWholeBound) {
  start(command({{"FAKE_AGENT_EXIT_ON", "113"}}));
  Result<std::optional<std::uint32_t>> running = agent_->exit_code();
  ASSERT_TRUE(running);
  EXPECT_FALSE(running.value().has_value());
  ASSERT_TRUE(writer_->write_all("q"));
  const auto began = std::chrono::steady_clock::now();
  Result<std::optional<std::uint32_t>> code = agent_->wait_exit(BOUND);
  // A wake-up left by an earlier test of this process ends one wait early.
  if (code && !code.value()) code = agent_->wait_exit(BOUND);
  // Far below the bound on any machine, yet far above what the exit itself takes.
  EXPECT_LT(std::chrono::steady_clock::now() - began, BOUND / 2);
  ASSERT_TRUE(code);
  EXPECT_EQ(code.value(), 0u);
}

// Regression: the run loop slept its whole bound after the app asked the session to end.
TEST_F(PtyTest, AWakeUpEndsTheWaitWhileTheAgentRuns) {
  start(command());
  const auto began = std::chrono::steady_clock::now();
  std::thread waker([] { wake_exit_wait(); });
  Result<std::optional<std::uint32_t>> code = agent_->wait_exit(BOUND);
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - began, BOUND / 2);
  ASSERT_TRUE(code);
  EXPECT_FALSE(code.value().has_value());
}

TEST_F(PtyTest, AProgramThatCannotBeExecutedIsASpawnFailure) {
  const std::string not_executable = file("claude");
  { std::ofstream(not_executable) << "not a program"; }
  for (const std::string& program : {not_executable, file("missing")}) {
    Result<PtyPair> pair = open_pty({80, 24});
    ASSERT_TRUE(pair);
    AgentCommand c;
    c.program = program;
    c.args = {program};
    Result<AgentProcess> agent = spawn_agent(std::move(pair.value().child), std::move(c));
    ASSERT_FALSE(agent) << program;
    EXPECT_EQ(agent.error().message(), "failed to start " + program);
    EXPECT_NE(agent.error().display().find("(os error "), std::string::npos)
        << agent.error().display();
  }
}

TEST_F(PtyTest, TheAgentInheritsNoDescriptorOfTheLauncher) {
  // A descriptor opened without close-on-exec, as a library might leave one.
  const int stray = dup(STDERR_FILENO);
  ASSERT_GE(stray, 0);
  start(command());
  close(stray);
  EXPECT_EQ(read_file(file("fds")), "0\n1\n2\n");
}

}  // namespace
}  // namespace platform
