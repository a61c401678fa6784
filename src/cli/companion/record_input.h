// The bytes of a record's text as nlohmann's parser is given them. Used by the record reader for
// the members it keeps; nothing here is part of its interface. Any thread; no shared state.
#pragma once

#include <cstddef>
#include <iterator>
#include <string_view>

#include "platform/os_string.h"

namespace companion::record_input {

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

}  // namespace companion::record_input
