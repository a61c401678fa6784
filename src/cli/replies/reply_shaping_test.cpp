#include "cli/replies/reply_shaping.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace replies {
namespace {

using cli::AgentKind;
using namespace std::chrono_literals;

const std::string PASTE_START = "\x1b[200~";
const std::string PASTE_END = "\x1b[201~";

TEST(ReplyShaping, TypesEachAgentItsOwnWay) {
  struct Case {
    AgentKind agent;
    bool bracketed_paste;  // the agent has the mode on
    std::string text;
    std::string typed;  // the first chunk; the second is always "\r"
  };
  const std::string non_ascii = "gr\xC3\xBC\xC3\x9F \xE2\x9C\x93";  // "grüß ✓"
  const Case cases[] = {
      // Claude: always a paste, whatever the mode.
      {AgentKind::Claude, false, "hello", PASTE_START + "hello" + PASTE_END},
      {AgentKind::Claude, true, "one\r\ntwo\n", PASTE_START + "one\ntwo\n" + PASTE_END},
      {AgentKind::Claude, false, "a\x1b[201~b", PASTE_START + "a[201~b" + PASTE_END},
      {AgentKind::Claude, false, non_ascii, PASTE_START + non_ascii + PASTE_END},
      // Codex: a paste while the mode is on, typed keys while it is off. Both: CR LF and a lone
      // CR become LF; control characters are dropped.
      {AgentKind::Codex, true, "hello", PASTE_START + "hello" + PASTE_END},
      {AgentKind::Codex, true, "one\r\ntwo\r\"q\" \x1b[201~",
       PASTE_START + "one\ntwo\n\"q\" [201~" + PASTE_END},
      {AgentKind::Codex, false, "hello", "hello"},
      {AgentKind::Codex, false, "one\r\ntwo\n", "one\ntwo\n"},
      {AgentKind::Codex, false, "a\rb\r", "a\nb\n"},
      {AgentKind::Codex, false, "a\r\r\nb", "a\n\nb"},
      {AgentKind::Codex, false, "a\n\rb", "a\n\nb"},
      {AgentKind::Codex, false, "\n\tx\x1b \n", "\n\tx \n"},
      {AgentKind::Codex, false, non_ascii, non_ascii},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(cli::agent_name(c.agent)) + " " + testing::PrintToString(c.text));
    const std::optional<relay::WriteBatch> batch = shape_reply(c.agent, c.text, c.bracketed_paste);
    ASSERT_TRUE(batch.has_value());
    EXPECT_EQ(batch->chunks, (std::vector<std::string>{c.typed, "\r"}));
    EXPECT_EQ(batch->pause, c.agent == AgentKind::Claude ? CLAUDE_ENTER_DELAY : CODEX_ENTER_DELAY);
  }
}

// Regression: a reply made only of control characters (BEL ESC ETX, or C1 controls) was typed as
// an empty paste or nothing, and its Enter submitted the user's unfinished draft.
TEST(ReplyShaping, AReplyThatCleaningLeavesEmptyTypesNothing) {
  for (const std::string& text :
       {std::string(""), std::string("\x07\x1b\x03"), std::string("\xC2\x80\xC2\x9B\xC2\x9F"),
        std::string("\x7f\x00", 2)}) {
    for (AgentKind agent : {AgentKind::Claude, AgentKind::Codex}) {
      for (bool paste : {false, true}) {
        EXPECT_FALSE(shape_reply(agent, text, paste).has_value()) << testing::PrintToString(text);
      }
    }
  }
}

TEST(ReplyShaping, TheEnterWaitsLongerAfterALongTextAndWithinABound) {
  EXPECT_EQ(enter_wait(CLAUDE_ENTER_DELAY, 0), CLAUDE_ENTER_DELAY);
  EXPECT_EQ(enter_wait(CLAUDE_ENTER_DELAY, PASTE_FREE_BYTES), CLAUDE_ENTER_DELAY);
  // 16 KiB at the slow pseudo-console's 96 bytes a millisecond takes about 170 ms to arrive: the
  // agent still sees the full delay between the text's end and the Enter.
  const std::size_t long_text = 16 * 1024;
  EXPECT_GE(enter_wait(CLAUDE_ENTER_DELAY, long_text), CLAUDE_ENTER_DELAY + 170ms);
  EXPECT_EQ(enter_wait(CODEX_ENTER_DELAY, 100 * 1024 * 1024), LONGEST_ENTER_WAIT);
  const std::optional<relay::WriteBatch> batch =
      shape_reply(AgentKind::Codex, std::string(long_text, 'x'), true, Console::Terminal);
  ASSERT_TRUE(batch.has_value());
  EXPECT_EQ(batch->pause, enter_wait(CODEX_ENTER_DELAY, long_text + 12));
  // Then it waits for the agent to go quiet: long enough for a console that redraws for every
  // key (a few milliseconds a key), and never without an end.
  EXPECT_EQ(batch->quiet, CODEX_QUIET);
  EXPECT_GE(batch->quiet_bound, 80s);
  EXPECT_EQ(quiet_bound(0), SHORTEST_QUIET_BOUND);
  EXPECT_EQ(quiet_bound(100 * 1024 * 1024), LONGEST_QUIET_WAIT);
}

// Regression: through Windows' pseudo-console claude.exe lost every whole KiB of a long reply (it
// takes any one read of over 800 characters for a paste of its own).
TEST(ReplyShaping, ALongClaudeReplyThroughAPseudoConsoleIsPastedInPieces) {
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += "line " + std::to_string(i) + ": gr\xC3\xBC\xC3\x9F \xE2\x9C\x93\n";
  text += std::string(900, 'x');  // pieces alike one after the other
  const std::optional<relay::WriteBatch> batch =
      shape_reply(AgentKind::Claude, text, true, Console::PseudoConsole);
  ASSERT_TRUE(batch.has_value());
  ASSERT_GT(batch->chunks.size(), 3u);
  EXPECT_EQ(batch->chunks.back(), "\r");
  EXPECT_EQ(batch->piece_bound, PIECE_BOUND);
  std::string joined;
  for (std::size_t i = 0; i + 1 < batch->chunks.size(); ++i) {
    const std::string& chunk = batch->chunks[i];
    ASSERT_EQ(chunk.rfind(PASTE_START, 0), 0u);
    ASSERT_EQ(chunk.substr(chunk.size() - PASTE_END.size()), PASTE_END);
    const std::string piece =
        chunk.substr(PASTE_START.size(), chunk.size() - PASTE_START.size() - PASTE_END.size());
    EXPECT_LE(piece.size(), CLAUDE_PIECE_BYTES);
    EXPECT_NE(static_cast<unsigned char>(piece[0]) & 0xC0, 0x80) << "a piece starts mid-character";
    if (i > 0) {
      EXPECT_NE(chunk, batch->chunks[i - 1]);
    }
    joined += piece;
  }
  EXPECT_EQ(joined, text);
  // A short reply, a terminal, and Codex keep the single paste.
  for (const auto& [agent, size, console] :
       {std::tuple{AgentKind::Claude, CLAUDE_PIECE_BYTES, Console::PseudoConsole},
        std::tuple{AgentKind::Claude, std::size_t{5000}, Console::Terminal},
        std::tuple{AgentKind::Codex, std::size_t{5000}, Console::PseudoConsole}}) {
    const std::optional<relay::WriteBatch> one =
        shape_reply(agent, std::string(size, 'y'), true, console);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->chunks.size(), 2u);
    EXPECT_EQ(one->piece_bound.count(), 0);
    // codex.exe handles even a paste key by key there, pausing its drawing meanwhile.
    if (agent == AgentKind::Codex) {
      EXPECT_EQ(one->quiet, CODEX_KEYS_QUIET);
    }
  }
  EXPECT_EQ(split_text(std::string(8, 'z'), 4), (std::vector<std::string>{"zzzz", "zzz", "z"}));
}

}  // namespace
}  // namespace replies
