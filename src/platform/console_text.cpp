#include "platform/console_text.h"

#include <utility>

#include "platform/os_string.h"

namespace platform {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_utf16(char32_t c, std::u16string& out) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

}  // namespace

void KeyDecoder::decode(std::u16string_view units, std::string& out) {
  for (char16_t unit : units) {
    if (held_ != 0) {
      const char32_t high = held_;
      held_ = 0;
      if (is_low_surrogate(unit)) {
        append_utf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), out);
        continue;
      }
      append_utf8(REPLACEMENT, out);
    }
    if (is_high_surrogate(unit)) {
      held_ = unit;
    } else if (is_low_surrogate(unit)) {
      append_utf8(REPLACEMENT, out);
    } else {
      append_utf8(unit, out);
    }
  }
}

void ScreenEncoder::encode(std::string_view bytes, std::u16string& out) {
  // Complete the held character first, from the front of the new bytes.
  while (!held_.empty() && !bytes.empty()) {
    held_ += bytes.front();
    bytes.remove_prefix(1);
    const Utf8Step step = decode_utf8(held_, 0);
    if (step.kind == Utf8Step::INCOMPLETE) continue;
    if (step.kind == Utf8Step::CHARACTER) {
      append_utf16(step.value, out);
      held_.clear();
    } else {
      // The held bytes were no character: one U+FFFD for their valid prefix, then what follows
      // it (at most three bytes) is decoded afresh in front of the new bytes.
      append_utf16(REPLACEMENT, out);
      std::string rest = held_.substr(step.length);
      held_.clear();
      rest.append(bytes);
      encode(rest, out);
      return;
    }
  }
  while (!bytes.empty()) {
    const Utf8Step step = decode_utf8(bytes, 0);
    if (step.kind == Utf8Step::INCOMPLETE) {
      held_.assign(bytes.substr(0, step.length));
      return;
    }
    append_utf16(step.kind == Utf8Step::CHARACTER ? step.value : REPLACEMENT, out);
    bytes.remove_prefix(step.length);
  }
}

std::string ScreenEncoder::take_held() { return std::exchange(held_, std::string()); }

}  // namespace platform
