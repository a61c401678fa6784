// The record reader as it stood when nlohmann's parser read every byte of the text: the fuzz
// targets hold the scanning reader to exactly its results.
#pragma once

#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>

#include "cli/companion/json.h"
#include "cli/companion/json_record.h"
#include "cli/companion/record_input.h"
#include "platform/os_string.h"

namespace companion::reference {

using record_input::RecordInput;
using record_input::RecordIterator;

// Keeps the asked-for top-level members and refuses what the launcher refuses: nesting of
// MAX_JSON_DEPTH or more and, with the rule, an asked-for member given twice.
class RecordReader {
 public:
  RecordReader(std::initializer_list<std::string_view> names, bool refuse_repeats)
      : names_(names), refuse_repeats_(refuse_repeats) {
    record_.fields.resize(names_.size());
  }

  Record take() { return std::move(record_); }

  bool null() {
    return scalar([] { return Json(nullptr); });
  }
  bool boolean(bool v) {
    return scalar([v] { return Json(v); });
  }
  bool number_integer(Json::number_integer_t v) {
    return scalar([v] { return Json(v); });
  }
  bool number_unsigned(Json::number_unsigned_t v) {
    return scalar([v] { return Json(v); });
  }
  bool number_float(Json::number_float_t v, const Json::string_t&) {
    return scalar([v] { return Json(v); });
  }
  bool string(Json::string_t& v) {
    return scalar([&v] { return Json(std::move(v)); });
  }
  bool binary(Json::binary_t&) { return false; }

  bool start_object(std::size_t) { return open(Record::Shape::Object, Json::object()); }
  bool start_array(std::size_t) { return open(Record::Shape::Array, Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& name) {
    if (depth_ != 1) return true;
    slot_.reset();
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (name != names_.begin()[i]) continue;
      if (refuse_repeats_ && seen(i)) return false;
      slot_ = i;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  bool seen(std::size_t i) const { return record_.fields[i].has_value(); }

  // A value directly inside the top-level array takes the place of its index.
  void next_element() {
    if (depth_ == 1 && record_.shape == Record::Shape::Array) {
      if (record_.elements < names_.size()) slot_ = record_.elements;
      ++record_.elements;
    }
  }

  void place(Json value) { record_.fields[*slot_] = std::move(value); }

  // A value is built only when a field takes it.
  template <class Make>
  bool scalar(Make make) {
    if (depth_ == 0) {
      record_.shape = Record::Shape::Other;
      return true;
    }
    next_element();
    if (depth_ == 1 && slot_) place(make());
    if (depth_ == 1) slot_.reset();
    return true;
  }

  bool open(Record::Shape shape, Json empty) {
    if (depth_ + 1 >= MAX_JSON_DEPTH) return false;
    if (depth_ == 0) record_.shape = shape;
    next_element();
    if (depth_ == 1 && slot_) place(std::move(empty));
    if (depth_ == 1) slot_.reset();
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    return true;
  }

  const std::initializer_list<std::string_view> names_;
  const bool refuse_repeats_;
  Record record_;
  int depth_ = 0;                    // arrays and objects open around the parser
  std::optional<std::size_t> slot_;  // the field the next top-level value fills, if any
};

inline std::optional<Record> read_record(std::string_view text,
                                         std::initializer_list<std::string_view> names,
                                         RecordRules rules) {
  if (!may_be_json_text(text)) return std::nullopt;
  if (!rules.replace_invalid_utf8 && !platform::is_valid_utf8(text)) return std::nullopt;
  RecordInput input(text, rules.replace_invalid_utf8);
  RecordReader reader(names, rules.refuse_repeats);
  bool ok = false;
  try {
    ok = Json::sax_parse(RecordIterator(&input), RecordIterator(), &reader,
                         Json::input_format_t::json, /*strict=*/true);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) return std::nullopt;
  return reader.take();
}

}  // namespace companion::reference
