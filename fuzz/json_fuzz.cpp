// Fuzzes the strict JSON readers. Whatever parse_json accepts must be one value that re-encodes
// and reads back to the same value, never nested too deep, and never a text that starts with a
// byte-order mark or holds invalid UTF-8. The record reader must agree with it: on valid UTF-8 it
// accepts the same texts, except where it alone takes a number too large for a double, and it
// finds the same top-level members. It also gives exactly what the parser-only reader it replaced
// gives, under every rule and for names the text is likely to hold.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/companion/json.h"
#include "cli/companion/json_record.h"
#include "platform/os_string.h"
#include "record_reference.h"

namespace {

int depth(const companion::Json& value) {
  int deepest = 0;
  if (value.is_structured()) {
    for (const auto& item : value) deepest = std::max(deepest, depth(item));
    return deepest + 1;
  }
  return 0;
}

bool has_long_digit_run(std::string_view text) {
  int run = 0;
  for (const char c : text) {
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run > 2) return true;
  }
  return false;
}

// A field of the record holds what the tree holds, numbers aside (a long one is cut short), and
// arrays and objects only as their type.
bool same_field(const std::optional<companion::Json>& field, const companion::Json* value) {
  if (!field || value == nullptr) return !field && value == nullptr;
  if (value->is_number()) return field->is_number();
  if (value->is_structured()) return field->type() == value->type() && field->empty();
  return *field == *value;
}

bool same_record(const std::optional<companion::Record>& a,
                 const std::optional<companion::Record>& b) {
  if (!a || !b) return !a && !b;
  if (a->shape != b->shape || a->elements != b->elements) return false;
  for (std::size_t i = 0; i < a->fields.size(); ++i) {
    const auto& x = a->fields[i];
    const auto& y = b->fields[i];
    if (x.has_value() != y.has_value()) return false;
    if (x && (x->type() != y->type() || x->dump() != y->dump())) return false;
  }
  return true;
}

// Both readers under every rule, asking for names found in fuzzed texts and in the records.
void compare_with_reference(std::string_view text) {
  for (const bool replace : {false, true}) {
    for (const bool refuse : {false, true}) {
      const companion::RecordRules rules{replace, refuse};
      if (!same_record(companion::read_record(text, {"a", "b", "port", ""}, rules),
                       companion::reference::read_record(text, {"a", "b", "port", ""}, rules)) ||
          !same_record(companion::read_record(text, {}, rules),
                       companion::reference::read_record(text, {}, rules))) {
        std::abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  compare_with_reference(text);
  const auto value = companion::parse_json(text);
  if (value) {
    if (!platform::is_valid_utf8(text) || text.substr(0, 3) == "\xEF\xBB\xBF") std::abort();
    if (depth(*value) >= companion::MAX_JSON_DEPTH) std::abort();
    const auto again = companion::parse_json(companion::encode_json(*value));
    if (!again || *again != *value) std::abort();
  }
  for (const bool answer : {false, true}) {
    const auto record = companion::read_record(text, {"port", "a"}, {answer, false});
    if (!platform::is_valid_utf8(text)) {
      if (record && !answer) std::abort();
      continue;
    }
    if (!record) {
      if (value) std::abort();
      continue;
    }
    if (!value) {
      if (!has_long_digit_run(text)) std::abort();
      continue;
    }
    const bool object = value->is_object();
    if (object != (record->shape == companion::Record::Shape::Object)) std::abort();
    if (value->is_array() && record->elements != value->size()) std::abort();
    if (object && (!same_field(record->fields[0], companion::member(*value, "port")) ||
                   !same_field(record->fields[1], companion::member(*value, "a")))) {
      std::abort();
    }
  }
  return 0;
}
