// The records the launcher reads from the desktop app (discovery files, register and pending
// answers), read with nlohmann/json's SAX interface: only the top-level members a record uses are
// kept, and everything else is checked as JSON and discarded as it is read. A hostile answer of
// 10 MiB therefore costs its text and little more, never a tree of millions of values.
// No function here throws; any thread.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/companion/json.h"

namespace companion {

// What a record reader found of the top-level value: its shape and the members it asked for.
// Nothing else of the text is kept.
struct Record {
  enum class Shape { Object, Array, Other };
  Shape shape = Shape::Other;
  // An object: the value of each asked-for member, in the order asked, or nothing when absent.
  // An array: its first elements, in the same places. An array or object found there is kept
  // only as an empty one of its type, since no record uses one.
  std::vector<std::optional<Json>> fields;
  std::vector<std::string> names;  // the asked-for members, in the order asked
  std::size_t elements = 0;        // the length of a top-level array

  // The value found for the asked-for member `name` (in an array, its element's place).
  // REQUIRES: `name` was asked for.
  std::optional<Json>& member(std::string_view name);
  const std::optional<Json>& member(std::string_view name) const;

 private:
  std::size_t place_of(std::string_view name) const;
};

struct RecordRules {
  // Answers: each invalid UTF-8 sequence reads as U+FFFD. Files: invalid UTF-8 refuses the text.
  bool replace_invalid_utf8 = false;
  // An asked-for member given twice at top level refuses the text; otherwise the last counts.
  bool refuse_repeats = false;
};

// Reads exactly one JSON value under the rules of parse_json, keeping only the top-level members
// `names`. Everything else is checked as it is read and discarded at once, so memory stays small
// whatever the text holds, and numbers too large for any record (a thousand digits, 1e400) are
// accepted where they are ignored. Nothing on any fault.
std::optional<Record> read_record(std::string_view text,
                                  std::initializer_list<std::string_view> names, RecordRules rules);

}  // namespace companion
