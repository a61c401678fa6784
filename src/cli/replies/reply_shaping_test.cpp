#include "cli/replies/reply_shaping.h"

#include <gtest/gtest.h>

namespace replies {
namespace {

using cli::AgentKind;
using namespace std::chrono_literals;

TEST(ReplyShaping, TypesEachAgentItsOwnWay) {
  struct Case {
    AgentKind agent;
    std::string text;
    std::vector<std::string> chunks;
  };
  const std::string paste_start = "\x1b[200~";
  const std::string paste_end = "\x1b[201~";
  const std::string non_ascii = "gr\xC3\xBC\xC3\x9F \xE2\x9C\x93";  // "grüß ✓"
  const Case cases[] = {
      {AgentKind::Claude, "hello", {paste_start + "hello" + paste_end, "\r"}},
      {AgentKind::Codex, "hello", {"hello", "\r"}},
      // Both: CR LF and lone CR become LF; control characters are dropped.
      {AgentKind::Claude, "one\r\ntwo\n", {paste_start + "one\ntwo\n" + paste_end, "\r"}},
      {AgentKind::Claude, "a\x1b[201~b", {paste_start + "a[201~b" + paste_end, "\r"}},
      {AgentKind::Codex, "one\r\ntwo\n", {"one\ntwo\n", "\r"}},
      {AgentKind::Codex, "\r\n", {"\n", "\r"}},
      {AgentKind::Codex, "a\rb\r", {"a\nb\n", "\r"}},
      {AgentKind::Codex, "a\r\r\nb", {"a\n\nb", "\r"}},
      {AgentKind::Codex, "a\n\rb", {"a\n\nb", "\r"}},
      {AgentKind::Codex, "\n\tx\x1b \n", {"\n\tx \n", "\r"}},
      {AgentKind::Codex, non_ascii, {non_ascii, "\r"}},
      {AgentKind::Claude, non_ascii, {paste_start + non_ascii + paste_end, "\r"}},
      // Empty texts (the poller never passes one).
      {AgentKind::Claude, "", {paste_start + paste_end, "\r"}},
      {AgentKind::Codex, "", {"", "\r"}},
  };
  for (const Case& c : cases) {
    const relay::WriteBatch batch = shape_reply(c.agent, c.text);
    EXPECT_EQ(batch.chunks, c.chunks) << cli::agent_name(c.agent) << " " << testing::PrintToString(c.text);
    EXPECT_EQ(batch.pause, c.agent == AgentKind::Claude ? CLAUDE_ENTER_DELAY : 250ms);
  }
  EXPECT_EQ(shape_reply(AgentKind::Claude, "hello").chunks.at(0).size(), 17u);
}

}  // namespace
}  // namespace replies
