// The record reader as it stood when nlohmann's parser read every byte of the text: the fuzz
// targets hold the scanning reader to exactly its results.
#pragma once

#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>

#include "cli/companion/json.h"
#include "cli/companion/json_record.h"
#include "platform/os_string.h"

namespace companion::reference {

inline constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
// nlohmann's parser ends the whole parse at a number that does not fit a double, so an ignored
// member holding 1e400 or a thousand digits would refuse the record. No record uses a number of
// more than five digits, or any exponent: longer digit runs are cut short before the parser sees
// them. The number stays valid or invalid as it was (the first digits, which decide that, pass),
// an integer keeps being too large for any use, and no number can overflow.
inline constexpr int MAX_DIGITS = 18;
inline constexpr int MAX_EXPONENT_DIGITS = 2;

// The text as the parser reads it: invalid UTF-8 replaced when the rules say so, and every
// run of digits outside strings cut to MAX_DIGITS (MAX_EXPONENT_DIGITS in an exponent).
class RecordInput {
 public:
  RecordInput(std::string_view text, bool replace_invalid_utf8)
      : text_(text), replace_invalid_utf8_(replace_invalid_utf8) {
    advance();
  }

  bool at_end() const { return !has_current_; }
  char current() const { return current_; }

  void advance() {
    while (next_byte(current_)) {
      if (keep(static_cast<unsigned char>(current_))) {
        has_current_ = true;
        return;
      }
    }
    has_current_ = false;
  }

 private:
  // The next byte of the text, with invalid UTF-8 replaced.
  bool next_byte(char& out) {
    if (pending_.empty() && pos_ < text_.size()) {
      const auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte < 0x80 || !replace_invalid_utf8_) {
        out = text_[pos_++];
        return true;
      }
      std::size_t bad = 0;
      const std::size_t length = platform::utf8_sequence_length(text_, pos_, &bad);
      pending_ = length > 0 ? text_.substr(pos_, length) : REPLACEMENT_CHARACTER;
      pos_ += length > 0 ? length : bad;
    }
    if (pending_.empty()) return false;
    out = pending_.front();
    pending_.remove_prefix(1);
    return true;
  }

  // Whether the byte reaches the parser. Strings are followed by their quotes and backslashes:
  // inside them, digits are text.
  bool keep(unsigned char c) {
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        in_string_ = false;
      }
      return true;
    }
    if (c >= '0' && c <= '9') {
      if (digits_ == 0) in_exponent_ = after_e_;
      after_e_ = false;
      ++digits_;
      return digits_ <= (in_exponent_ ? MAX_EXPONENT_DIGITS : MAX_DIGITS);
    }
    after_e_ = c == 'e' || c == 'E' || (after_e_ && (c == '+' || c == '-'));
    digits_ = 0;
    in_string_ = c == '"';
    return true;
  }

  std::string_view text_;
  const bool replace_invalid_utf8_;
  std::size_t pos_ = 0;
  std::string_view pending_;  // the rest of one character, or of its replacement
  char current_ = 0;
  bool has_current_ = false;
  bool in_string_ = false;
  bool escaped_ = false;
  bool after_e_ = false;  // an exponent's digits may come next
  bool in_exponent_ = false;
  int digits_ = 0;  // in the current run
};

// The input as nlohmann's iterator adapter takes it: it only compares with the end, reads and
// steps forward.
class RecordIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  RecordIterator() = default;
  explicit RecordIterator(RecordInput* input) : input_(input) {}

  char operator*() const { return input_->current(); }
  RecordIterator& operator++() {
    input_->advance();
    return *this;
  }
  // Only ever compared with the end iterator, which has no input.
  bool operator==(const RecordIterator& other) const { return ended() == other.ended(); }
  bool operator!=(const RecordIterator& other) const { return !(*this == other); }

 private:
  bool ended() const { return input_ == nullptr || input_->at_end(); }

  RecordInput* input_ = nullptr;
};

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
