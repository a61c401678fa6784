#include "cli/companion/json_record.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <iterator>
#include <string>

#include "cli/companion/record_input.h"
#include "platform/os_string.h"

namespace companion {
namespace {

using record_input::RecordInput;
using record_input::RecordIterator;

// Whether the byte at text[i] starts a string's plain run: not a quote, backslash, control
// character or non-ASCII byte.
constexpr std::array<bool, 256> PLAIN_STRING_BYTES = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Checks JSON text in place under the parser's rules, without copying or allocating: strings
// (escapes, control characters, UTF-8), numbers, literals, nesting and whitespace.
class Scanner {
 public:
  Scanner(std::string_view text, bool replace_invalid_utf8)
      : text_(text), replace_invalid_utf8_(replace_invalid_utf8) {}

  std::size_t pos() const { return pos_; }
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }

  void skip_whitespace() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  // Takes `c` after any whitespace.
  bool expect(char c) {
    skip_whitespace();
    if (peek() != c) return false;
    ++pos_;
    return true;
  }

  // A string at the current position. *plain tells whether it reads as its bytes stand: no
  // escape, no replaced byte.
  bool string(bool* plain) {
    *plain = true;
    if (peek() != '"') return false;
    ++pos_;
    const std::size_t size = text_.size();
    while (true) {
      while (pos_ < size && PLAIN_STRING_BYTES[static_cast<unsigned char>(text_[pos_])]) ++pos_;
      if (pos_ >= size) return false;
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        *plain = false;
        if (!escape()) return false;
        continue;
      }
      if (!utf8_sequence()) return false;
      if (replaced_) *plain = false;
    }
  }

  // One value of any kind, with `open` arrays and objects around it.
  bool value(int open) {
    // The kind of each array or object opened here, innermost last.
    std::array<char, MAX_JSON_DEPTH> kinds{};
    int opened = 0;
    enum class Next { Value, Key, After };
    Next next = Next::Value;
    while (true) {
      if (next == Next::After && opened == 0) return true;
      skip_whitespace();
      if (at_end()) return false;
      if (next == Next::Key) {
        bool plain = false;
        if (!string(&plain) || !expect(':')) return false;
        next = Next::Value;
        continue;
      }
      const char c = text_[pos_];
      if (next == Next::After) {
        ++pos_;
        const char kind = kinds[static_cast<std::size_t>(opened - 1)];
        if (c == ',') {
          next = kind == '{' ? Next::Key : Next::Value;
        } else if ((c == ']' && kind == '[') || (c == '}' && kind == '{')) {
          --opened;
        } else {
          return false;
        }
        continue;
      }
      if (c == '[' || c == '{') {
        if (open + opened + 1 >= MAX_JSON_DEPTH) return false;
        kinds[static_cast<std::size_t>(opened++)] = c;
        ++pos_;
        skip_whitespace();
        if (peek() == (c == '[' ? ']' : '}')) {
          ++pos_;
          --opened;
          next = Next::After;
        } else {
          next = c == '[' ? Next::Value : Next::Key;
        }
        continue;
      }
      if (!scalar()) return false;
      next = Next::After;
    }
  }

 private:
  bool scalar() {
    switch (peek()) {
      case '"': {
        bool plain = false;
        return string(&plain);
      }
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool digit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }

  bool digits() {
    if (!digit()) return false;
    while (digit()) ++pos_;
    return true;
  }

  // The longest number at the current position; what follows it is the caller's to judge.
  bool number() {
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.') {
      ++pos_;
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digits()) return false;
    }
    return true;
  }

  // Four hex digits after "\u".
  int code_unit() {
    if (text_.size() - pos_ < 4) return -1;
    int unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hex_digit(text_[pos_++]);
      if (d < 0) return -1;
      unit = unit * 16 + d;
    }
    return unit;
  }

  // An escape at the backslash: a high surrogate must be followed by an escaped low one, and a
  // low one must not stand alone.
  bool escape() {
    ++pos_;
    if (at_end()) return false;
    switch (text_[pos_++]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    const int unit = code_unit();
    if (unit < 0) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit < 0xD800 || unit > 0xDBFF) return true;
    if (text_.substr(pos_, 2) != "\\u") return false;
    pos_ += 2;
    const int low = code_unit();
    return low >= 0xDC00 && low <= 0xDFFF;
  }

  // A non-ASCII character in a string. An answer's invalid sequence reads as U+FFFD.
  bool utf8_sequence() {
    replaced_ = false;
    if (replace_invalid_utf8_) {
      std::size_t bad = 0;
      const std::size_t length = platform::utf8_sequence_length(text_, pos_, &bad);
      if (length == 0) {
        replaced_ = true;
        pos_ += bad;
        return true;
      }
      pos_ += length;
      return true;
    }
    std::size_t bad = 0;
    const std::size_t length = platform::utf8_sequence_length(text_, pos_, &bad);
    pos_ += length;
    return length > 0;
  }

  std::string_view text_;
  const bool replace_invalid_utf8_;
  std::size_t pos_ = 0;
  bool replaced_ = false;  // the last non-ASCII character read as U+FFFD
};

// Reads the asked-for top-level members through the parser and checks everything else with the
// scanner, so that only the members in use are ever copied or converted.
class RecordReader {
 public:
  RecordReader(std::string_view text, std::initializer_list<std::string_view> names,
               RecordRules rules)
      : text_(text), scanner_(text, rules.replace_invalid_utf8), names_(names), rules_(rules) {
    record_.fields.resize(names_.size());
    record_.names.assign(names_.begin(), names_.end());
    for (const std::string_view name : names_) longest_name_ = std::max(longest_name_, name.size());
  }

  std::optional<Record> read() {
    scanner_.skip_whitespace();
    bool ok = false;
    switch (scanner_.peek()) {
      case '{':
        record_.shape = Record::Shape::Object;
        ok = object();
        break;
      case '[':
        record_.shape = Record::Shape::Array;
        ok = array();
        break;
      default:
        ok = scanner_.value(0);
    }
    scanner_.skip_whitespace();
    if (!ok || !scanner_.at_end()) return std::nullopt;
    return std::move(record_);
  }

 private:
  bool object() {
    scanner_.expect('{');
    scanner_.skip_whitespace();
    if (scanner_.peek() == '}') return scanner_.expect('}');
    while (true) {
      scanner_.skip_whitespace();
      const std::size_t start = scanner_.pos();
      bool plain = false;
      if (!scanner_.string(&plain)) return false;
      std::optional<std::size_t> slot;
      if (!match(text_.substr(start, scanner_.pos() - start), plain, &slot)) return false;
      if (!scanner_.expect(':') || !member(slot)) return false;
      scanner_.skip_whitespace();
      if (scanner_.peek() == '}') return scanner_.expect('}');
      if (!scanner_.expect(',')) return false;
    }
  }

  bool array() {
    scanner_.expect('[');
    scanner_.skip_whitespace();
    if (scanner_.peek() == ']') return scanner_.expect(']');
    while (true) {
      std::optional<std::size_t> slot;
      if (record_.elements < names_.size()) slot = record_.elements;
      ++record_.elements;
      if (!member(slot)) return false;
      scanner_.skip_whitespace();
      if (scanner_.peek() == ']') return scanner_.expect(']');
      if (!scanner_.expect(',')) return false;
    }
  }

  // The field that a top-level member name fills, if any. False when the rules refuse it.
  bool match(std::string_view quoted, bool plain, std::optional<std::size_t>* slot) {
    // Each decoded byte takes at most six bytes of text ("\u0070"): a longer name fits no field.
    if (quoted.size() > 6 * longest_name_ + 2) return true;
    std::string decoded;
    std::string_view name = quoted.substr(1, quoted.size() - 2);
    if (!plain) {
      const std::optional<Json> parsed = parse_scalar(quoted);
      if (!parsed || !parsed->is_string()) return false;
      decoded = parsed->get<std::string>();
      name = decoded;
    }
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (name != names_.begin()[i]) continue;
      if (rules_.refuse_repeats && record_.fields[i].has_value()) return false;
      *slot = i;
    }
    return true;
  }

  // A value at top level: kept through the parser when it fills a field, else only checked.
  // No record uses an array or object, which is kept as an empty one of its type.
  bool member(std::optional<std::size_t> slot) {
    scanner_.skip_whitespace();
    const std::size_t start = scanner_.pos();
    const char first = scanner_.peek();
    if (!scanner_.value(1)) return false;
    if (!slot) return true;
    std::optional<Json>& field = record_.fields[*slot];
    if (first == '{') {
      field = Json::object();
    } else if (first == '[') {
      field = Json::array();
    } else {
      field = parse_scalar(text_.substr(start, scanner_.pos() - start));
      if (!field) return false;
    }
    return true;
  }

  // A scalar the scanner has checked, as the parser reads it.
  std::optional<Json> parse_scalar(std::string_view text) const {
    RecordInput input(text, rules_.replace_invalid_utf8);
    Json value = Json::parse(RecordIterator(&input), RecordIterator(), nullptr,
                             /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  }

  std::string_view text_;
  Scanner scanner_;
  const std::initializer_list<std::string_view> names_;
  const RecordRules rules_;
  std::size_t longest_name_ = 0;
  Record record_;
};

}  // namespace

std::size_t Record::place_of(std::string_view name) const {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

std::optional<Json>& Record::member(std::string_view name) { return fields[place_of(name)]; }

const std::optional<Json>& Record::member(std::string_view name) const {
  return fields[place_of(name)];
}

std::optional<Record> read_record(std::string_view text,
                                  std::initializer_list<std::string_view> names,
                                  RecordRules rules) {
  if (!may_be_json_text(text)) return std::nullopt;
  if (!rules.replace_invalid_utf8 && !platform::is_valid_utf8(text)) return std::nullopt;
  try {
    return RecordReader(text, names, rules).read();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace companion
