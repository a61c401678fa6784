#include "platform/os_string.h"

namespace platform {

// Follows the Unicode Standard's Table 3-7.
size_t utf8_sequence_length(std::string_view s, size_t i, size_t* bad) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) break;
    const unsigned char c = byte(i + k);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) break;
  }
  if (k == need + 1) return need + 1;
  *bad = k;
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
