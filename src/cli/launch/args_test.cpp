#include "cli/launch/args.h"

#include <gtest/gtest.h>

namespace launch {
namespace {

using platform::os_string;
using platform::OsString;

std::vector<OsString> words(std::initializer_list<const char*> list) {
  std::vector<OsString> out;
  for (const char* w : list) out.push_back(os_string(w));
  return out;
}

TEST(ParseArgs, OnlyTheExactAgentNamesLaunch) {
  struct Case {
    std::initializer_list<const char*> args;
    ParsedArgs::Kind kind;
  };
  const Case cases[] = {
      {{}, ParsedArgs::Kind::Invalid},
      {{"-h"}, ParsedArgs::Kind::Help},
      {{"--help"}, ParsedArgs::Kind::Help},
      {{"-h", "claude"}, ParsedArgs::Kind::Help},
      {{"Claude"}, ParsedArgs::Kind::Invalid},
      {{"claude.exe"}, ParsedArgs::Kind::Invalid},
      {{"--model", "x"}, ParsedArgs::Kind::Invalid},
      {{"codex"}, ParsedArgs::Kind::Launch},
      {{"claude", "--help"}, ParsedArgs::Kind::Launch},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_args(words(c.args)).kind, c.kind);
  }
}

TEST(ParseArgs, EverythingAfterTheAgentGoesToItUnchanged) {
  std::vector<OsString> args = words({"claude", "--help", "", "a b", "\"q\""});
  args.push_back(
      OsString(1, static_cast<platform::OsChar>(sizeof(platform::OsChar) == 1 ? 0xFF : 0xDC00)));
  const ParsedArgs parsed = parse_args(args);
  ASSERT_EQ(parsed.kind, ParsedArgs::Kind::Launch);
  EXPECT_EQ(parsed.agent, cli::AgentKind::Claude);
  EXPECT_EQ(parsed.agent_args, std::vector<OsString>(args.begin() + 1, args.end()));
}

TEST(RemoteCodex, OnlyAnExactRemoteArgumentOfCodexCounts) {
  EXPECT_TRUE(is_remote_codex(cli::AgentKind::Codex, words({"resume", "--remote"})));
  EXPECT_FALSE(is_remote_codex(cli::AgentKind::Claude, words({"--remote"})));
  EXPECT_FALSE(is_remote_codex(cli::AgentKind::Codex, words({"--remote=x", "--REMOTE"})));
  EXPECT_FALSE(is_remote_codex(cli::AgentKind::Codex, {}));
}

}  // namespace
}  // namespace launch
