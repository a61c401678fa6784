#include "cli/relay/terminal_modes.h"

#include <algorithm>
#include <cstring>

namespace relay {
namespace {

constexpr char ESC = '\x1b';
constexpr char CAN = '\x18';
constexpr char SUB = '\x1a';
// Larger than any mode number worth knowing; keeps a hostile parameter from overflowing.
constexpr unsigned PARAM_CAP = 100000;
// More kitty entries than any terminal keeps: popping more than it holds only empties it.
constexpr unsigned KITTY_DEPTH_CAP = 4096;
constexpr unsigned CURSOR_VISIBLE_MODE = 25;
constexpr unsigned MODIFY_OTHER_KEYS = 4;  // the resource number in CSI > 4 ; n m

// The DEC private modes that are off by default and matter when left on, in the order in which
// the reset switches them off. Modes that are on by default (autowrap 7, for one) are left alone:
// their reset would be a change of its own.
constexpr unsigned TRACKED_MODES[] = {
    2004,                          // bracketed paste
    1004,                          // focus reports
    9,    1000, 1001, 1002, 1003,  // mouse reports
    1005, 1006, 1015, 1016,        // their encodings
    2031,                          // colour-scheme reports
    1,                             // application cursor keys
    2026,                          // synchronized output: a terminal left in it stops drawing
};
constexpr std::size_t TRACKED_COUNT = sizeof(TRACKED_MODES) / sizeof(TRACKED_MODES[0]);
static_assert(TRACKED_COUNT <= 16, "the mode bitsets hold 16");
constexpr std::size_t BRACKETED_PASTE_INDEX = 0;

// The index of a tracked mode, or TRACKED_COUNT.
std::size_t tracked_index(unsigned mode) {
  return static_cast<std::size_t>(std::find(TRACKED_MODES, TRACKED_MODES + TRACKED_COUNT, mode) -
                                  TRACKED_MODES);
}

bool is_alternate_screen_mode(unsigned mode) { return mode == 47 || mode == 1047 || mode == 1049; }

void append_private_mode(std::string& out, unsigned mode, char final_byte) {
  out += "\x1b[?";
  out += std::to_string(mode);
  out += final_byte;
}

void append_kitty_pop(std::string& out, unsigned entries) {
  if (entries == 0) return;
  out += "\x1b[<";
  out += std::to_string(entries);
  out += 'u';
}

}  // namespace

void TerminalModes::feed(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (state_ == State::Ground) {
      // Most output is text: skip to the next escape at once. The body of a string sequence
      // (OSC, DCS, APC) is skipped the same way: its end, ESC \, starts with an escape too.
      const void* esc = std::memchr(bytes.data() + i, ESC, bytes.size() - i);
      if (esc == nullptr) return;
      i = static_cast<std::size_t>(static_cast<const char*>(esc) - bytes.data());
      state_ = State::Escape;
      continue;
    }
    if (state_ == State::CsiIgnore) {
      i = ignored_sequence_end(bytes, i);
      if (i == bytes.size()) return;
    }
    const char c = bytes[i];
    if (c == ESC) {
      state_ = State::Escape;  // an escape cuts any sequence under way short
      continue;
    }
    if (state_ == State::Escape) {
      if (c == '[') {
        start_csi();
      } else {
        if (c == 'c') clear_all();  // RIS
        state_ = State::Ground;
      }
      continue;
    }
    csi_byte(c);
  }
}

// Where the body of an ignored control sequence that goes on at `from` ends: at its final byte,
// or at an escape, CAN or SUB, which end it too; the end of `bytes` if none comes.
std::size_t TerminalModes::ignored_sequence_end(std::string_view bytes, std::size_t from) {
  for (std::size_t i = from; i < bytes.size(); ++i) {
    const char c = bytes[i];
    const auto byte = static_cast<unsigned char>(c);
    if (c == ESC || c == CAN || c == SUB || (byte >= 0x40 && byte <= 0x7e)) return i;
  }
  return bytes.size();
}

void TerminalModes::start_csi() {
  state_ = State::Csi;
  marker_ = 0;
  param_ = 0;
  first_param_ = 0;
  second_param_ = 0;
  params_ = 0;
  intermediate_ = false;
  named_.reset();
  named_alternate_ = 0;
  named_cursor_ = false;
}

// One byte of a control sequence, as terminals read them: parameters, then intermediates, then
// the final byte. A sequence that breaks these rules is read to its end and ignored.
void TerminalModes::csi_byte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (c == CAN || c == SUB) {
    state_ = State::Ground;  // cancels the sequence
    return;
  }
  if (byte < 0x20 || byte == 0x7f) return;  // executed or ignored by the terminal, not part of it
  if (byte >= 0x40 && byte <= 0x7e) {
    if (state_ == State::Csi) {
      end_param();
      dispatch(c);
    }
    state_ = State::Ground;
    return;
  }
  if (byte >= 0x80) {
    state_ = State::CsiIgnore;
  } else if (marker_ == 0) {
    // Every sequence tracked starts with a marker; most output (colours, cursor moves) has
    // none, and is skipped to its end at once.
    if (c >= '<' && c <= '?') {
      marker_ = c;
    } else {
      state_ = State::CsiIgnore;
    }
  } else if (byte >= 0x20 && byte <= 0x2f) {
    intermediate_ = true;
  } else if (intermediate_) {
    state_ = State::CsiIgnore;  // a parameter byte after an intermediate
  } else if (c >= '0' && c <= '9') {
    param_ = std::min(param_ * 10 + static_cast<unsigned>(c - '0'), PARAM_CAP);
  } else if (c == ';') {
    end_param();
  } else {
    state_ = State::CsiIgnore;  // a colon, or a marker out of place
  }
}

// Every parameter is looked at, however many the sequence has: a terminal that takes fewer only
// gets a reset it did not need.
void TerminalModes::end_param() {
  if (params_ == 0) first_param_ = param_;
  if (params_ == 1) second_param_ = param_;
  ++params_;
  if (marker_ == '?') {
    const std::size_t index = tracked_index(param_);
    if (index < TRACKED_COUNT) named_.set(index);
    if (named_alternate_ == 0 && is_alternate_screen_mode(param_)) named_alternate_ = param_;
    if (param_ == CURSOR_VISIBLE_MODE) named_cursor_ = true;
  }
  param_ = 0;
}

void TerminalModes::dispatch(char final_byte) {
  if (intermediate_) return;
  if (marker_ == '?' && (final_byte == 'h' || final_byte == 'l')) {
    set_modes(final_byte == 'h');
    return;
  }
  if (marker_ == '>' && final_byte == 'm' && first_param_ == MODIFY_OTHER_KEYS) {
    modify_other_keys_ = params_ > 1 && second_param_ != 0;
    return;
  }
  if (final_byte != 'u') return;
  unsigned& kitty = alternate_ != 0 ? kitty_alternate_ : kitty_main_;
  if (marker_ == '>') {
    kitty = std::min(kitty + 1, KITTY_DEPTH_CAP);
  } else if (marker_ == '<') {
    const unsigned popped = std::max(first_param_, 1u);  // no count, or 0, pops one
    kitty -= std::min(kitty, popped);
  }
}

void TerminalModes::set_modes(bool on) {
  on_ = on ? on_ | named_ : on_ & ~named_;
  if (named_cursor_) cursor_hidden_ = !on;
  if (named_alternate_ == 0) return;
  // Entering while already there keeps the mode that entered first; any of the three leaves.
  if (!on) {
    alternate_ = 0;
  } else if (alternate_ == 0) {
    alternate_ = named_alternate_;
  }
}

void TerminalModes::clear_all() {
  on_.reset();
  alternate_ = 0;
  kitty_main_ = 0;
  kitty_alternate_ = 0;
  modify_other_keys_ = false;
  cursor_hidden_ = false;
}

std::string TerminalModes::reset() const {
  std::string out;
  for (std::size_t i = 0; i < TRACKED_COUNT; ++i) {
    if (on_.test(i)) append_private_mode(out, TRACKED_MODES[i], 'l');
  }
  if (alternate_ != 0) {
    // The alternate screen's entries can only be popped while it is shown.
    append_kitty_pop(out, kitty_alternate_);
    append_private_mode(out, alternate_, 'l');
  }
  append_kitty_pop(out, kitty_main_);
  if (modify_other_keys_) out += "\x1b[>4m";  // back to the terminal's own setting
  if (cursor_hidden_) append_private_mode(out, CURSOR_VISIBLE_MODE, 'h');
  return out;
}

bool TerminalModes::bracketed_paste() const { return on_.test(BRACKETED_PASTE_INDEX); }

}  // namespace relay
