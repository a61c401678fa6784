// Follows the user's input as the input pump passes it on, read by read, and tells whether what
// has gone so far ends inside a unit that must reach the agent unbroken:
// - a bracketed paste, ESC[200~ ... ESC[201~;
// - an escape sequence: CSI (ESC[A, ESC[<0;1;2M), SS3 (ESC O A), an X10 mouse report, a
//   string such as the terminal's OSC answer, or ESC with one key (Alt+x);
// - a UTF-8 character.
// Markers and sequences may be split across reads at any byte. Used by one thread only.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace relay {

class InputUnits {
 public:
  // Takes the next read. Returns the length of its longest prefix that ends outside every unit:
  // bytes.size() when the input now ends outside, 0 when no byte of this read closes a unit.
  std::size_t feed(std::string_view bytes);

  // True when the input taken so far ends inside a unit.
  [[nodiscard]] bool inside() const { return state_ != State::Outside; }

 private:
  enum class State : unsigned char {
    Outside,
    Escape,              // after ESC
    EscapeIntermediate,  // ESC, then bytes 0x20-0x2F
    Csi,                 // ESC [, parameters and intermediates
    Ss3,                 // ESC O
    String,              // ESC ] or ESC P (and APC, PM, SOS), until BEL or ESC \.
    StringEscape,        // ESC inside a string
    Mouse,               // ESC [ M: the three bytes of an X10 mouse report
    Character,           // a UTF-8 character's continuation bytes
    Paste,               // inside ESC[200~ ... ESC[201~
  };

  void step(unsigned char byte);
  void after_escape(unsigned char byte);
  void in_string(unsigned char byte);
  void outside(unsigned char byte);
  void end_csi(unsigned char final_byte);

  State state_ = State::Outside;
  // Character, Mouse: bytes still to come. Paste: bytes of the end marker seen so far.
  std::size_t pending_ = 0;
  // The first parameter bytes of the CSI sequence under way, and how many it has in all.
  std::array<unsigned char, 3> csi_{};
  std::size_t csi_length_ = 0;
};

}  // namespace relay
