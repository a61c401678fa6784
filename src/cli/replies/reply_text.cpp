#include "cli/replies/reply_text.h"

#include "platform/os_string.h"

namespace replies {
namespace {

constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
constexpr unsigned char DEL = 0x7F;
// U+0080 to U+009F are the two bytes C2 80 to C2 9F.
constexpr unsigned char C1_LEAD = 0xC2;
constexpr unsigned char C1_LAST = 0x9F;

bool is_c1_control(std::string_view sequence) {
  return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == C1_LEAD &&
         static_cast<unsigned char>(sequence[1]) <= C1_LAST;
}

// One character of valid UTF-8, appended as it may be typed.
void append_character(std::string& out, std::string_view character, bool followed_by_lf) {
  const auto first = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) {
    if (first == '\n' || first == '\t' || (first >= 0x20 && first != DEL)) {
      out.push_back(character[0]);
    } else if (first == '\r' && !followed_by_lf) {
      out.push_back('\n');  // a lone CR; in CR LF the LF that follows stands for the pair
    }
    return;
  }
  if (!is_c1_control(character)) out.append(character);
}

}  // namespace

std::string clean_reply_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t bad = 0;
    const std::size_t length = platform::utf8_sequence_length(text, i, &bad);
    if (length == 0) {
      out.append(REPLACEMENT_CHARACTER);
      i += bad;
      continue;
    }
    const bool followed_by_lf = i + 1 < text.size() && text[i + 1] == '\n';
    append_character(out, text.substr(i, length), followed_by_lf);
    i += length;
  }
  return out;
}

}  // namespace replies
