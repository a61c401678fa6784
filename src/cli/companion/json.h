// JSON as the launcher reads and writes it. nlohmann/json does the parsing; these wrappers add
// the rules it does not enforce: one value with only whitespace around it, no byte-order mark,
// fewer than 128 nested arrays and objects, and (for records) no field given twice.
// No function here throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace companion {

using Json = nlohmann::json;

// Arrays and objects nested this deep or deeper are refused.
inline constexpr int MAX_JSON_DEPTH = 128;

// Parses exactly one JSON value from valid UTF-8 text. A member name repeated in one object keeps
// its last occurrence. Nothing on any fault.
std::optional<Json> parse_json(std::string_view text);

// Like parse_json, for a record with the field `field`: when the top-level value is an object
// that holds `field` more than once, the text is refused. Other repeated names, and repeats
// inside nested values, keep their last occurrence as in parse_json.
std::optional<Json> parse_record(std::string_view text, std::string_view field);

// An answer body: invalid UTF-8 is replaced by U+FFFD first, then parsed (last duplicate wins).
std::optional<Json> parse_answer(std::string_view body);

// The member of an object, or nothing (not an object, or no such member).
const Json* member(const Json& value, std::string_view name);

// Compact text: no spaces, members in ascending byte order of their names, strings as UTF-8 with
// only '"', '\\' and control characters escaped ("\u00xx" in lower case for the unnamed ones).
std::string encode_json(const Json& value);

}  // namespace companion
