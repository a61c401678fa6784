#include "cli/relay/input_units.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relay {
namespace {

// Regression: input was passed on read by read with no idea of its units, so a voice reply could
// land between two reads of one paste, escape sequence or character.
TEST(InputUnits, TellsWhereEachReadLeavesTheUnitsOfInput) {
  struct Read {
    std::string bytes;
    std::size_t boundary;  // the longest prefix that ends outside every unit
    bool inside;
  };
  struct Case {
    const char* name;
    std::vector<Read> reads;
  };
  const std::vector<Case> cases = {
      {"plain keys", {{"ab\r\x03", 4, false}}},
      {"arrow split after ESC", {{"\x1b", 0, true}, {"[A", 2, false}}},
      {"arrow split after the bracket", {{"x\x1b[", 1, true}, {"A", 1, false}}},
      {"SGR mouse report split", {{"\x1b[<0;12", 0, true}, {";5M", 3, false}}},
      {"X10 mouse report split", {{"\x1b[M ", 0, true}, {"!!k", 3, false}}},
      {"SS3 key split", {{"\x1bO", 0, true}, {"P", 1, false}}},
      {"Alt with a key", {{"\x1bx", 2, false}}},
      {"Alt with a character split", {{"\x1b\xc3", 0, true}, {"\xa9", 1, false}}},
      {"two-byte character split", {{"\xc3", 0, true}, {"\xa9", 1, false}}},
      {"four-byte character split twice",
       {{"a\xf0\x9f", 1, true}, {"\x98", 0, true}, {"\x80", 1, false}}},
      {"a character cut short by a key", {{"\xe2\x82", 0, true}, {"a", 1, false}}},
      {"terminal answer split", {{"\x1b]11;rgb:0/0/0\x1b", 0, true}, {"\\", 1, false}}},
      {"Alt+] then Enter", {{"\x1b]ls\r", 5, false}}},
      {"paste over three reads",
       {{"\x1b[200~ab", 0, true}, {"c\rd", 0, true}, {"\x1b[201~", 6, false}}},
      {"paste start split", {{"\x1b[20", 0, true}, {"0~x", 0, true}, {"\x1b[201~", 6, false}}},
      {"paste end split", {{"\x1b[200~x\x1b[20", 0, true}, {"1~", 2, false}}},
      {"paste end split after ESC", {{"\x1b[200~x\x1b", 0, true}, {"[201~", 5, false}}},
      {"sequences inside a paste", {{"\x1b[200~\x1b[A\x1b\x1b[201", 0, true}, {"~", 1, false}}},
      {"keys then a paste", {{"ab\x1b[200~cd", 2, true}}},
      {"paste end then keys", {{"\x1b[200~x", 0, true}, {"y\x1b[201~z\x1b[", 8, true}}},
      {"a lone end marker is a sequence", {{"\x1b[201~a", 7, false}}},
  };
  for (const Case& c : cases) {
    InputUnits units;
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      const Read& read = c.reads[i];
      EXPECT_EQ(units.feed(read.bytes), read.boundary) << c.name << ", read " << i;
      EXPECT_EQ(units.inside(), read.inside) << c.name << ", read " << i;
    }
  }
}

}  // namespace
}  // namespace relay
