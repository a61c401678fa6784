#include "cli/relay/input_units.h"

namespace relay {
namespace {

constexpr unsigned char ESC = 0x1b;
constexpr unsigned char BEL = 0x07;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char SUB = 0x1a;
constexpr std::string_view PASTE_END = "\x1b[201~";
constexpr std::size_t MOUSE_REPORT_BYTES = 3;

bool in(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Continuation bytes that follow a UTF-8 lead byte; 0 for a byte that leads nothing.
std::size_t continuations(unsigned char lead) {
  if (in(lead, 0xC2, 0xDF)) return 1;
  if (in(lead, 0xE0, 0xEF)) return 2;
  if (in(lead, 0xF0, 0xF4)) return 3;
  return 0;
}

}  // namespace

std::size_t InputUnits::feed(std::string_view bytes) {
  std::size_t boundary = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (state_ == State::Paste && pending_ == 0) {
      // Most of a paste is text: only an ESC can begin its end.
      const std::size_t escape = bytes.find(static_cast<char>(ESC), i);
      if (escape == std::string_view::npos) break;
      i = escape;
    }
    step(static_cast<unsigned char>(bytes[i]));
    if (state_ == State::Outside) boundary = i + 1;
  }
  return boundary;
}

// A byte that cannot continue the unit under way ends it and is taken again on its own: keys
// are never held back for a sequence that turns out not to be one.
void InputUnits::step(unsigned char byte) {
  switch (state_) {
    case State::Outside:
      outside(byte);
      return;
    case State::Escape:
      after_escape(byte);
      return;
    case State::EscapeIntermediate:
      if (in(byte, 0x20, 0x2F)) return;
      state_ = State::Outside;
      if (!in(byte, 0x30, 0x7E)) outside(byte);
      return;
    case State::Csi:
      if (in(byte, 0x20, 0x3F)) {
        if (csi_length_ < csi_.size()) csi_[csi_length_] = byte;
        ++csi_length_;
      } else if (in(byte, 0x40, 0x7E)) {
        end_csi(byte);
      } else {
        state_ = State::Outside;
        outside(byte);
      }
      return;
    case State::Ss3:
      if (in(byte, 0x30, 0x3F)) return;  // a modifier, as in ESC O 2 P
      state_ = State::Outside;
      if (!in(byte, 0x40, 0x7E)) outside(byte);
      return;
    case State::String:
      in_string(byte);
      return;
    case State::StringEscape:
      state_ = State::Outside;
      if (byte != '\\') {
        state_ = State::Escape;  // the ESC began a new sequence
        step(byte);
      }
      return;
    case State::Mouse:
      if (--pending_ == 0) state_ = State::Outside;
      return;
    case State::Character:
      if (in(byte, 0x80, 0xBF)) {
        if (--pending_ == 0) state_ = State::Outside;
      } else {
        state_ = State::Outside;
        outside(byte);
      }
      return;
    case State::Paste:
      if (byte == static_cast<unsigned char>(PASTE_END[pending_])) {
        if (++pending_ == PASTE_END.size()) state_ = State::Outside;
      } else {
        pending_ = byte == ESC ? 1 : 0;
      }
      return;
  }
}

void InputUnits::after_escape(unsigned char byte) {
  if (byte == '[') {
    state_ = State::Csi;
    csi_length_ = 0;
  } else if (byte == 'O') {
    state_ = State::Ss3;
  } else if (byte == ']' || byte == 'P' || byte == '_' || byte == '^' || byte == 'X') {
    state_ = State::String;
  } else if (in(byte, 0x20, 0x2F)) {
    state_ = State::EscapeIntermediate;
  } else if (byte != ESC) {  // ESC ESC [A is Alt with a sequence: still one unit
    state_ = State::Outside;
    outside(byte);  // Alt with a key, which may itself begin a character
  }
}

void InputUnits::in_string(unsigned char byte) {
  if (byte == ESC) {
    state_ = State::StringEscape;
  } else if (byte == BEL || byte == CAN || byte == SUB) {
    state_ = State::Outside;
  } else if (byte < 0x20) {
    // No control belongs in a string: this was Alt with a key, then typing (Enter, Tab...).
    state_ = State::Outside;
    outside(byte);
  }
}

void InputUnits::outside(unsigned char byte) {
  if (byte == ESC) {
    state_ = State::Escape;
  } else if (const std::size_t more = continuations(byte); more > 0) {
    state_ = State::Character;
    pending_ = more;
  }
}

void InputUnits::end_csi(unsigned char final_byte) {
  state_ = State::Outside;
  if (final_byte == '~' && csi_length_ == 3 && csi_[0] == '2' && csi_[1] == '0' && csi_[2] == '0') {
    state_ = State::Paste;
    pending_ = 0;
  } else if (final_byte == 'M' && csi_length_ == 0) {
    state_ = State::Mouse;
    pending_ = MOUSE_REPORT_BYTES;
  }
}

}  // namespace relay
