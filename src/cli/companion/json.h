// JSON as the launcher reads and writes it. nlohmann/json does the parsing; these wrappers add
// the rules it does not enforce: one value with only whitespace around it, no byte-order mark, no
// NUL byte, fewer than 128 nested arrays and objects. The launcher reads what the app writes with
// read_record (json_record.h); the stand-in app and the tests use parse_json.
// No function here throws.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace companion {

using Json = nlohmann::json;

// Arrays and objects nested this deep or deeper are refused.
inline constexpr int MAX_JSON_DEPTH = 128;

// False for text that is refused before parsing: a leading byte-order mark, or a NUL byte.
bool may_be_json_text(std::string_view text);

// Parses exactly one JSON value from valid UTF-8 text. A member name repeated in one object keeps
// its last occurrence. Nothing on any fault.
std::optional<Json> parse_json(std::string_view text);

// The member of an object, or nothing (not an object, or no such member).
const Json* member(const Json& value, std::string_view name);

// Compact text: no spaces, members in ascending byte order of their names, strings as UTF-8 with
// only '"', '\\' and control characters escaped ("\u00xx" in lower case for the unnamed ones).
std::string encode_json(const Json& value);

}  // namespace companion
