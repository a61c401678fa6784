#include "cli/relay/terminal_modes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relay {
namespace {

// Regression: the end of every run wrote a fixed 106-byte reset, also after an agent that had
// left nothing on; it cleared kitty keyboard entries it never pushed, left a ?47h or ?1047h
// screen with ?1049l, and still left the alternate screen after RIS.
TEST(TerminalModes, ResetsExactlyWhatTheOutputLeftOnAcrossAnySplit) {
  struct Case {
    std::string output;
    std::string reset;
    bool bracketed_paste = false;
  };
  const std::vector<Case> cases = {
      {"text \x1b[1;31mred\x1b[0m \x1b[2J\x1b[H", ""},
      {"\x1b[?2004h", "\x1b[?2004l", true},
      {"\x1b[?2004h\x1b[?2004l", ""},
      {"\x1b[?1049;2004h", "\x1b[?2004l\x1b[?1049l", true},
      {"\x1b[?2031h\x1b[?1000;1006h\x1b[?1004h", "\x1b[?1004l\x1b[?1000l\x1b[?1006l\x1b[?2031l"},
      {"\x1b[?1h\x1b[?2026h\x1b[?9h\x1b[?9l", "\x1b[?1l\x1b[?2026l"},
      // Modes that are on by default, or change nothing the shell would notice, are left alone.
      {"\x1b[?7l\x1b[?7h\x1b[?12h\x1b[?6h", ""},
      // The alternate screen is left with the mode that entered it.
      {"\x1b[?47h", "\x1b[?47l"},
      {"\x1b[?1047h\x1b[?1049h", "\x1b[?1047l"},
      {"\x1b[?1049h\x1b[?47l", ""},
      // Kitty keyboard entries, per screen: the alternate screen's go before it is left.
      {"\x1b[>1u\x1b[>3u\x1b[<u", "\x1b[<1u"},
      {"\x1b[>1u\x1b[?1049h\x1b[>5u\x1b[>5u", "\x1b[<2u\x1b[?1049l\x1b[<1u"},
      {"\x1b[>1u\x1b[?1049h\x1b[<u\x1b[?1049l", "\x1b[<1u"},
      {"\x1b[<5u\x1b[>1u", "\x1b[<1u"},  // entries it did not push are not its to pop
      {"\x1b[>1u\x1b[>1u\x1b[<0u\x1b[<3u", ""},
      {"\x1b[?1u\x1b[=5;1u\x1b[u", ""},  // a query, a change of the shell's flags, a cursor restore
      {"\x1b[>4;2m", "\x1b[>4m"},
      {"\x1b[>4;2m\x1b[>4;0m", ""},
      {"\x1b[?25l", "\x1b[?25h"},
      {"\x1b[?25l\x1b[?25h", ""},
      // RIS returns the terminal to its defaults.
      {"\x1b[?1049h\x1b[?2004h\x1b[>1u\x1b[?25l\x1b[>4;1m\x1b"
       "c",
       ""},
      {"\x1b"
       "c\x1b[?2004h",
       "\x1b[?2004l", true},
      {"\x1b(c\x1b[?2004h", "\x1b[?2004l", true},  // a charset designation, not RIS
      // Strings, cut, cancelled, malformed and hostile sequences.
      {"\x1b]0;\x1b[?2004h\x07", "\x1b[?2004l", true},  // an escape ends the string
      {"\x1b]0;title\x07\x1bP+q\x1b\\\x1b[?2004h", "\x1b[?2004l", true},
      {"\x1b[?2004\x1b[?25h", ""},
      {"\x1b[?2004\x18h", ""},
      {"\x1b[?2004\nh", "\x1b[?2004l", true},  // a line feed inside is done and passed over
      {"\x1b[?20:04h\x1b[?2004$h\x1b[1049h\x1b[0?2004h", ""},
      {"\x1b[?99999999999999999999h\x1b[?10490h\x1b[>99999999999u\x1b[<99999999999u", ""},
      {"\x1b[?" + std::string(400, '3') + ";1004h", "\x1b[?1004l"},
      {"\x1b[?" +
           [] {
             std::string many;
             for (int i = 0; i < 200; ++i) many += "3;";
             return many;
           }() +
           "2004h",
       "\x1b[?2004l", true},
      {"\x1b[?2004h\xe2\x80\x9c\x9b?2004l", "\x1b[?2004l", true},  // no 8-bit CSI in UTF-8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.output));
    for (std::size_t split = 0; split <= c.output.size(); ++split) {
      TerminalModes modes;
      modes.feed(std::string_view(c.output).substr(0, split));
      modes.feed(std::string_view(c.output).substr(split));
      ASSERT_EQ(modes.reset(), c.reset) << "split at " << split;
      ASSERT_EQ(modes.bracketed_paste(), c.bracketed_paste) << "split at " << split;
    }
    TerminalModes bytewise;
    for (char byte : c.output) bytewise.feed(std::string_view(&byte, 1));
    EXPECT_EQ(bytewise.reset(), c.reset);
  }
}

}  // namespace
}  // namespace relay
