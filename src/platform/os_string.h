// Operating-system strings: what the system hands us as arguments, environment values and paths.
// Wide (UTF-16) on Windows, bytes elsewhere. They are passed on unchanged and converted to text
// only for messages.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
using OsChar = wchar_t;
#else
using OsChar = char;
#endif
using OsString = std::basic_string<OsChar>;
using OsStringView = std::basic_string_view<OsChar>;

// ASCII text as an OsString (names of variables, fixed file names).
OsString os_string(std::string_view ascii);

// The string as UTF-8, or nothing when it is not valid Unicode.
std::optional<std::string> to_utf8(OsStringView s);

// The string as UTF-8 with every invalid sequence replaced by U+FFFD (for messages).
std::string to_utf8_lossy(OsStringView s);

// UTF-8 text as an OsString. Invalid sequences become U+FFFD.
OsString from_utf8(std::string_view utf8);

// One step of UTF-8 decoding at bytes[i] (i < bytes.size()), by the Unicode Standard's table of
// well-formed sequences.
struct Utf8Step {
  enum Kind { CHARACTER, INVALID, INCOMPLETE } kind;
  // CHARACTER: the sequence's bytes; INVALID: its maximal ill-formed subpart (at least 1), which
  // a decoder shows as one U+FFFD; INCOMPLETE: the bytes present of a sequence cut by the end.
  std::size_t length;
  char32_t value;  // the character, for CHARACTER
};
Utf8Step decode_utf8(std::string_view bytes, std::size_t i);

// True when the bytes are valid UTF-8 as a whole.
bool is_valid_utf8(std::string_view bytes);

// The length of the well-formed UTF-8 sequence at bytes[i] (i < bytes.size()), or 0 with *bad set
// to the length of the maximal ill-formed subpart there (at least 1).
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i, std::size_t* bad);

// The bytes with every invalid UTF-8 sequence replaced by U+FFFD, as a decoder that substitutes
// maximal invalid subparts would do.
std::string utf8_lossy(std::string_view bytes);

}  // namespace platform
