#include "platform/console_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform {
namespace {

const std::string REPLACEMENT = "\xEF\xBF\xBD";

std::string decode_reads(const std::vector<std::u16string>& reads) {
  KeyDecoder decoder;
  std::string out;
  for (const std::u16string& units : reads) decoder.decode(units, out);
  return out;
}

TEST(KeyDecoder, TurnsConsoleReadsIntoUtf8) {
  struct Case {
    const char* name;
    std::vector<std::u16string> reads;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {"ascii and control keys", {u"a\x03\x1b[A\r"}, "a\x03\x1b[A\r"},
      {"non-ASCII", {u"\u00e9\u20ac"}, "\xC3\xA9\xE2\x82\xAC"},
      {"pair in one read", {u"\xD83D\xDE00"}, "\xF0\x9F\x98\x80"},
      {"pair split across reads", {u"x\xD83D", u"\xDE00y"}, "x\xF0\x9F\x98\x80y"},
      // Regression: a typed Ctrl+Z used to be taken as end of input and cut the user off.
      {"Ctrl+Z alone", {u"\x1a"}, "\x1a"},
      {"Ctrl+Z last", {u"ab\x1a"}, "ab\x1a"},
      // Regression: an unpaired surrogate used to end the input pump for the rest of the run.
      {"lone low surrogate",
       {u"a\xDE00"
        "b"},
       "a" + REPLACEMENT + "b"},
      {"high surrogate then a plain unit", {u"\xD83D", u"b"}, REPLACEMENT + "b"},
      {"two high surrogates", {u"\xD83D\xD83D\xDE00"}, REPLACEMENT + "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_reads(c.reads), c.utf8) << c.name;
}

std::u16string encode_writes(const std::vector<std::string>& writes) {
  ScreenEncoder encoder;
  std::u16string out;
  for (const std::string& bytes : writes) encoder.encode(bytes, out);
  return out;
}

TEST(ScreenEncoder, JoinsCharactersSplitBetweenWritesAndReplacesWhatIsNotUtf8) {
  struct Case {
    const char* name;
    std::vector<std::string> writes;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {"plain", {"\x1b[1mok\r\n"}, u"\x1b[1mok\r\n"},
      {"split two-byte", {"caf\xC3", "\xA9!"}, u"caf\u00e9!"},
      {"split four-byte over three writes", {"\xF0\x9F", "\x98", "\x80"}, u"\xD83D\xDE00"},
      // Regression: bytes that are not UTF-8 used to end the output pump and freeze the screen.
      {"invalid byte",
       {"a\xFF"
        "b"},
       u"a\uFFFD"
       "b"},
      {"truncated then ASCII",
       {"\xE2\x82", "A"},
       u"\uFFFD"
       "A"},
      {"truncated then new lead", {"\xE2", "\xC3\xA9"}, u"\uFFFD\u00e9"},
      {"surrogate code point encoded", {"\xED\xA0\x80"}, u"\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(encode_writes(c.writes), c.text) << c.name;
}

TEST(ScreenEncoder, HandsBackHeldBytesUnconverted) {
  ScreenEncoder encoder;
  std::u16string out;
  encoder.encode("ok\xE2\x82", out);
  EXPECT_EQ(out, u"ok");
  EXPECT_EQ(encoder.take_held(), "\xE2\x82");
  EXPECT_EQ(encoder.take_held(), "");
}

}  // namespace
}  // namespace platform
