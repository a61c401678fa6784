// Text conversions between the Windows console's UTF-16 and the relay's UTF-8 bytes, keeping
// what a boundary between two reads or writes splits. Pure code, usable and tested everywhere.
// Each object belongs to one stream; not thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Keys read from the console (UTF-16) to UTF-8.
class KeyDecoder {
 public:
  // Appends the UTF-8 of `units` to `out`. A high surrogate at the end is held and put in front
  // of the next call's units; a surrogate without its partner becomes U+FFFD.
  void decode(std::u16string_view units, std::string& out);

 private:
  char16_t held_ = 0;  // a high surrogate from the previous call, or 0
};

// The agent's UTF-8 output to UTF-16 for the console.
class ScreenEncoder {
 public:
  // Appends the UTF-16 of `bytes` to `out`. The start of a character cut off at the end (at most
  // three bytes) is held for the next call; bytes that are not UTF-8 become U+FFFD.
  void encode(std::string_view bytes, std::u16string& out);

  // Gives up the held bytes (unconverted) and forgets them.
  std::string take_held();

 private:
  std::string held_;  // the start of a cut-off character: at most three bytes
};

}  // namespace platform
