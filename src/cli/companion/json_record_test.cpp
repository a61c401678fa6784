#include "cli/companion/json_record.h"

#include <gtest/gtest.h>

#include <string>

namespace companion {
namespace {

using namespace std::string_view_literals;
using Shape = Record::Shape;

constexpr RecordRules FILE_RULES{.replace_invalid_utf8 = false, .refuse_repeats = true};
constexpr RecordRules ANSWER_RULES{.replace_invalid_utf8 = true, .refuse_repeats = false};

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The record's two fields "a" and "b" as compact JSON ("-" when absent), or "refused".
std::string read_ab(std::string_view text, RecordRules rules = FILE_RULES) {
  const std::optional<Record> record = read_record(text, {"a", "b"}, rules);
  if (!record) return "refused";
  std::string out = record->shape == Shape::Object ? "object"
                    : record->shape == Shape::Array
                        ? std::string("array").append(std::to_string(record->elements))
                        : "other";
  for (const std::optional<Json>& field : record->fields)
    out.append(" ").append(field ? field->dump() : "-");
  return out;
}

TEST(JsonRecord, KeepsOnlyTheAskedMembersUnderTheStrictRules) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"x":[1,{"a":2}],"b":"t","a":null})", R"(object null "t")"},
      {R"({"a":{"deep":[1,2,3]},"b":[4]})", "object {} []"},
      {R"(["s",true,3,4])", R"(array4 "s" true)"},
      {R"([])", "array0 - -"},
      {R"("a")", "other - -"},
      {R"({"a":1,"a":1})", "refused"},
      {R"({"x":1,"x":2,"b":{"a":1,"a":2}})", "object - {}"},  // repeats count at top level only
      {" \t\r\n{}\r\n", "object - -"},
      {"{} {}", "refused"},
      {"{}x", "refused"},
      {"\xEF\xBB\xBF{}", "refused"},
      {"{\"a\":\"\\ud800\"}", "refused"},
      {"{\"a\":\"\xC3\"}", "refused"},                        // invalid UTF-8 in a file
      {R"({"\u0061":1,"b\u0000":2,"\"a":3})", "object 1 -"},  // names compare as decoded
      {R"({"x":"\ud83d\ude00\/","b":"\udc00"})", "refused"},
      {nested_arrays(127), "array1 [] -"},
      {nested_arrays(128), "refused"},
      {std::string(5000, '[') + "{", "refused"},
  };
  for (const auto& [text, read] : cases) EXPECT_EQ(read_ab(text), read) << text;
  EXPECT_EQ(read_ab("{\"a\":1}\0{\"a\":2}"sv), "refused");
  EXPECT_EQ(read_ab("{\"a\":\"x\"}\0 trailing"sv, ANSWER_RULES), "refused");
}

TEST(JsonRecord, AnswersReplaceInvalidUtf8AndKeepTheLastRepeat) {
  EXPECT_EQ(read_ab("{\"a\":\"a\xFF"
                    "b\xC3\",\"a\":\"c\xE2\x82\"}",
                    ANSWER_RULES),
            "object \"c\xEF\xBF\xBD\" -");
  EXPECT_EQ(read_ab("{\"a\":\"\xF0\x9F\x98\x80\"}", ANSWER_RULES), "object \"\xF0\x9F\x98\x80\" -");
  EXPECT_EQ(read_ab("{\"\xFF\":1,\"a\":2}", ANSWER_RULES), "object 2 -");
}

// Regression: a number out of a double's range (1e400, or an integer of hundreds of digits) in a
// member that no record uses refused the whole record.
TEST(JsonRecord, NumbersOfAnySizeAreAcceptedWhereTheyAreIgnored) {
  const std::string digits400(400, '9');
  std::string digits100k(100'001, '0');
  digits100k.front() = '1';
  EXPECT_EQ(read_ab(R"({"pid":1e400,"a":51234})"), "object 51234 -");
  EXPECT_EQ(read_ab(R"({"pid":-1.5E+400,"a":2})"), "object 2 -");
  EXPECT_EQ(read_ab("{\"pid\":" + digits400 + ",\"a\":2}"), "object 2 -");
  EXPECT_EQ(read_ab("{\"id\":" + digits100k + ".5e-9999,\"a\":\"r\"}", ANSWER_RULES),
            "object \"r\" -");
  // Digits inside strings are text, whatever their number.
  EXPECT_EQ(read_ab("{\"a\":\"" + digits400 + "\"}"), "object \"" + digits400 + "\" -");
  // A large number where it is used is still no small integer; invalid numbers stay invalid.
  const std::optional<Record> huge =
      read_record(std::string("[").append(digits400).append("]"), {"a"}, FILE_RULES);
  ASSERT_TRUE(huge);
  EXPECT_FALSE(huge->fields[0]->is_number_unsigned() &&
               huge->fields[0]->get<std::uint64_t>() < 1'000'000);
  for (const char* invalid :
       {"[01]", "[1e]", "[1.]", "[-]", "[1e+]", "[00000000000000000000001]"}) {
    EXPECT_EQ(read_ab(invalid), "refused") << invalid;
  }
}

}  // namespace
}  // namespace companion
