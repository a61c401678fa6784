#include "cli/companion/json.h"

#include <gtest/gtest.h>

#include <string>

namespace companion {
namespace {

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonEncode, WritesMembersInByteOrderWhateverTheInsertionOrder) {
  Json body = Json::object();
  body["token"] = "t";
  body["pid"] = 42;
  body["agent"] = "codex";
  body["cwd"] = "/w";
  body["Zed"] = 1;  // upper case sorts before lower case
  EXPECT_EQ(encode_json(body), R"({"Zed":1,"agent":"codex","cwd":"/w","pid":42,"token":"t"})");
}

TEST(JsonEncode, EscapesOnlyQuoteBackslashAndControlCharacters) {
  const struct {
    std::string text;
    std::string encoded;
  } cases[] = {
      {R"(C:\work\app)", R"("C:\\work\\app")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1b\x1f", 4), R"("\u0000\u0001\u001b\u001f")"},
      {"a/b", R"("a/b")"},
      {"\x7f", "\"\x7f\""},
      {"Grüße ✓ 😀", "\"Grüße ✓ 😀\""},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_json(Json(c.text)), c.encoded) << c.text;
}

TEST(JsonEncode, IsCompactWithPlainIntegers) {
  Json body = Json::object();
  body["list"] = Json::array({1, 4294967295u});
  body["nested"] = Json::object({{"b", nullptr}, {"a", true}});
  EXPECT_EQ(encode_json(body), R"({"list":[1,4294967295],"nested":{"a":true,"b":null}})");
}

TEST(JsonParse, AcceptsExactlyOneValueWithWhitespaceAround) {
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {"{}", true},
      {" \t\r\n{\"a\":1} \t\r\n", true},
      {"{} {}", false},
      {"{}x", false},
      {"{}\f", false},  // form feed is not JSON whitespace
      {"1 2", false},
      {"", false},
      {"   ", false},
      {"{\"a\":1", false},
      {"{'a':1}", false},
      {"[1,]", false},
      {"\xEF\xBB\xBF{}", false},  // a byte-order mark is refused, not skipped
      {"\"\\ud800\"", false},     // a lone surrogate escape
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_json(c.text).has_value(), c.valid) << c.text;
  }
}

TEST(JsonParse, RefusesNestingOf128ArraysAndObjects) {
  EXPECT_TRUE(parse_json(nested_arrays(127)).has_value());
  EXPECT_FALSE(parse_json(nested_arrays(128)).has_value());
  EXPECT_FALSE(parse_json(nested_arrays(5000)).has_value());

  // Objects count like arrays.
  std::string mixed;
  for (int i = 0; i < 64; ++i) mixed += "{\"a\":[";
  mixed += "1";
  for (int i = 0; i < 64; ++i) mixed += "]}";
  EXPECT_FALSE(parse_json(mixed).has_value());  // 128 levels
  mixed = mixed.substr(6, mixed.size() - 8);    // one object and one array fewer
  EXPECT_TRUE(parse_json(mixed).has_value());
}

TEST(JsonParse, RepeatedMemberKeepsTheLastOccurrence) {
  const std::optional<Json> value = parse_json(R"({"a":1,"b":{"c":1,"c":2},"a":3})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["a"], 3);
  EXPECT_EQ((*value)["b"]["c"], 2);
}

TEST(JsonMember, FindsMembersOfObjectsOnly) {
  const Json object = *parse_json(R"({"handle":"h","n":2,"handle":"last"})");
  ASSERT_NE(member(object, "handle"), nullptr);
  EXPECT_EQ(*member(object, "handle"), "last");
  EXPECT_EQ(member(object, "missing"), nullptr);
  for (const char* text : {"null", R"([{"handle":"h"}])", R"("handle")", "7"}) {
    EXPECT_EQ(member(*parse_json(text), "handle"), nullptr) << text;
  }
}

}  // namespace
}  // namespace companion
