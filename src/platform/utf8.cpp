#include "platform/os_string.h"

namespace platform {

// Follows the Unicode Standard's Table 3-7.
Utf8Step decode_utf8(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {Utf8Step::CHARACTER, 1, lead};
  size_t need = 0;
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
    return {Utf8Step::INVALID, 1, 0};
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {Utf8Step::INCOMPLETE, k, 0};
    const unsigned char c = byte(k);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return {Utf8Step::INVALID, k, 0};
    value = (value << 6) | (c & 0x3F);
  }
  return {Utf8Step::CHARACTER, need + 1, value};
}

size_t utf8_sequence_length(std::string_view s, size_t i, size_t* bad) {
  const Utf8Step step = decode_utf8(s, i);
  if (step.kind == Utf8Step::CHARACTER) return step.length;
  *bad = step.length;
  return 0;
}

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    const size_t n = utf8_sequence_length(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    const size_t n = utf8_sequence_length(bytes, i, &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace platform
