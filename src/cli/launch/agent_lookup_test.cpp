#include "cli/launch/agent_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace launch {
namespace {

using platform::AgentCommand;
using platform::Environment;
using platform::NameCase;
using platform::OsString;
using platform::PathRules;

OsString s(std::string_view text) { return platform::os_string(text); }

std::vector<OsString> list(std::initializer_list<std::string_view> items) {
  std::vector<OsString> out;
  for (std::string_view i : items) out.push_back(s(i));
  return out;
}

const std::string TOKEN(64, 'a');

class AgentCommandTest : public ::testing::Test {
 protected:
  AgentCommandTest() : windows_env_(NameCase::Insensitive), posix_env_(NameCase::Sensitive) {
    windows_env_.set(s("Path"), s("C:\\bin"));
    posix_env_.set(s("PATH"), s("/bin"));
  }
  Environment windows_env_;
  Environment posix_env_;
};

TEST_F(AgentCommandTest, BatchFileStartsThroughCmdWithItsSwitches) {
  auto command = make_agent_command(s("C:\\npm\\claude.CMD"), list({"--model", "opus", ""}),
                                    std::nullopt, windows_env_, PathRules::Windows);
  ASSERT_TRUE(command.ok()) << command.error().display();
  EXPECT_EQ(command.value().kind, AgentCommand::Kind::BatchFile);
  EXPECT_EQ(command.value().program, s("C:\\npm\\claude.CMD"));
  EXPECT_EQ(command.value().args, list({"C:\\npm\\claude.CMD", "--model", "opus", ""}));
}

TEST_F(AgentCommandTest, ExecutableIsItsOwnFirstArgument) {
  auto command = make_agent_command(s("C:\\bin\\claude.exe"), list({"say \"hi\"", ""}),
                                    std::nullopt, windows_env_, PathRules::Windows);
  ASSERT_TRUE(command.ok());
  EXPECT_EQ(command.value().kind, AgentCommand::Kind::Program);
  EXPECT_EQ(command.value().program, s("C:\\bin\\claude.exe"));
  EXPECT_EQ(command.value().args, list({"C:\\bin\\claude.exe", "say \"hi\"", ""}));
}

TEST_F(AgentCommandTest, PosixHasNoBatchFiles) {
  auto command = make_agent_command(s("/opt/codex.cmd"), list({"resume"}), std::nullopt, posix_env_,
                                    PathRules::Posix);
  ASSERT_TRUE(command.ok());
  EXPECT_EQ(command.value().kind, AgentCommand::Kind::Program);
  EXPECT_EQ(command.value().args, list({"/opt/codex.cmd", "resume"}));
}

TEST_F(AgentCommandTest, SessionTokenReplacesAnyCaseOfTheNameOnWindows) {
  windows_env_.set(s("talvane_session_token"), s("stale"));
  auto command =
      make_agent_command(s("C:\\bin\\claude.exe"), {}, TOKEN, windows_env_, PathRules::Windows);
  ASSERT_TRUE(command.ok());
  const Environment& env = command.value().env;
  EXPECT_EQ(env.entries().size(), 2u);
  EXPECT_EQ(env.entries()[1].name, s("TALVANE_SESSION_TOKEN"));
  EXPECT_EQ(env.entries()[1].value, s(TOKEN));
  EXPECT_EQ(*env.find(s("PATH")), s("C:\\bin"));
}

TEST_F(AgentCommandTest, SessionTokenNameIsExactOnPosix) {
  posix_env_.set(s("talvane_session_token"), s("other"));
  auto command = make_agent_command(s("/bin/claude"), {}, TOKEN, posix_env_, PathRules::Posix);
  ASSERT_TRUE(command.ok());
  const Environment& env = command.value().env;
  EXPECT_EQ(*env.find(s("talvane_session_token")), s("other"));
  EXPECT_EQ(*env.find(s("TALVANE_SESSION_TOKEN")), s(TOKEN));
}

TEST_F(AgentCommandTest, WithoutSessionAnInheritedTokenPassesThrough) {
  posix_env_.set(s("TALVANE_SESSION_TOKEN"), s("inherited"));
  auto command =
      make_agent_command(s("/bin/codex"), {}, std::nullopt, posix_env_, PathRules::Posix);
  ASSERT_TRUE(command.ok());
  EXPECT_EQ(*command.value().env.find(s("TALVANE_SESSION_TOKEN")), s("inherited"));
  EXPECT_EQ(command.value().env.entries().size(), 2u);
}

TEST_F(AgentCommandTest, BatchArgumentWithLineBreakEndsTheRunBeforeAnythingStarts) {
  // cmd.exe ends a command at a line break: the rest of the argument would run as a command.
  auto command = make_agent_command(s("C:\\npm\\codex.cmd"), list({"ok", "x\n& calc"}),
                                    std::nullopt, windows_env_, PathRules::Windows);
  ASSERT_FALSE(command.ok());
  EXPECT_EQ(command.error().display(),
            "agent argument 2 cannot be passed to a batch file: it contains a line break");
  // The same argument is fine for an executable, which gets it as it stands.
  EXPECT_TRUE(make_agent_command(s("C:\\bin\\codex.exe"), list({"x\n& calc"}), std::nullopt,
                                 windows_env_, PathRules::Windows)
                  .ok());
}

TEST(AgentNotFound, MessagesAreExact) {
  EXPECT_EQ(agent_not_found_message(cli::AgentKind::Claude),
            "Couldn't find claude on your PATH.\n"
            "Install Claude Code, or open a new terminal if you just installed it.\n");
  EXPECT_EQ(agent_not_found_message(cli::AgentKind::Codex),
            "Couldn't find codex on your PATH.\n"
            "Install Codex CLI, or open a new terminal if you just installed it.\n");
}

}  // namespace
}  // namespace launch
