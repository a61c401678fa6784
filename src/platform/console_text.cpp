#include "platform/console_text.h"

#include <utility>

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

// One step of UTF-8 decoding at the start of `s`.
struct Step {
  enum Kind { CHARACTER, INVALID, INCOMPLETE } kind;
  std::size_t length;  // bytes consumed (CHARACTER, INVALID) or present (INCOMPLETE)
  char32_t value;
};

// Follows the Unicode Standard's table of well-formed sequences; an ill-formed one counts as
// its maximal valid prefix (at least one byte), each of which shows as one U+FFFD.
Step decode_one(std::string_view s) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {Step::CHARACTER, 1, lead};
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {Step::INVALID, 1, 0};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (k >= s.size()) return {Step::INCOMPLETE, k, 0};
    const unsigned char c = byte(k);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return {Step::INVALID, k, 0};
    value = (value << 6) | (c & 0x3F);
  }
  return {Step::CHARACTER, need + 1, value};
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
    const Step step = decode_one(held_);
    if (step.kind == Step::INCOMPLETE) continue;
    if (step.kind == Step::CHARACTER) {
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
    const Step step = decode_one(bytes);
    if (step.kind == Step::INCOMPLETE) {
      held_.assign(bytes.substr(0, step.length));
      return;
    }
    append_utf16(step.kind == Step::CHARACTER ? step.value : REPLACEMENT, out);
    bytes.remove_prefix(step.length);
  }
}

std::string ScreenEncoder::take_held() { return std::exchange(held_, std::string()); }

}  // namespace platform
