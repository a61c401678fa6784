// The terminal modes that the agent's output has switched on and not off again, so that the end
// of the run can switch off exactly those, and the reply poller can see whether the agent wants
// pasted text bracketed.
#pragma once

#include <atomic>
#include <bitset>
#include <cstddef>
#include <string>
#include <string_view>

namespace relay {

// Follows a stream of terminal output across any split into reads. Tracks:
// - the DEC private modes that change what the terminal sends or shows and are off by default
//   (bracketed paste, focus and mouse reports and their encodings, colour-scheme reports,
//   application cursor keys, synchronized output), also several in one sequence;
// - the alternate screen, by the mode that entered it (47, 1047 or 1049);
// - the kitty keyboard entries pushed (CSI > flags u) and not popped (CSI < n u), for the main
//   and the alternate screen apart;
// - xterm's modifyOtherKeys (CSI > 4 ; n m);
// - a hidden cursor.
// RIS (ESC c) returns all of it to the terminal's defaults. Not thread-safe.
class TerminalModes {
 public:
  void feed(std::string_view bytes);

  // What switches off what is on, each with its own sequence: the DEC modes, the alternate
  // screen's kitty entries, the alternate screen (by the mode that entered it), the main screen's
  // kitty entries, the cursor. Empty when the output left everything as it found it.
  std::string reset() const;

  bool bracketed_paste() const;

 private:
  enum class State { Ground, Escape, Csi, CsiIgnore };
  static std::size_t ignored_sequence_end(std::string_view bytes, std::size_t from);
  void start_csi();
  void csi_byte(char c);
  void end_param();
  void dispatch(char final_byte);
  void set_modes(bool on);
  void clear_all();

  // Parser state.
  State state_ = State::Ground;
  char marker_ = 0;               // a leading '?', '<', '=' or '>'; 0 when none
  unsigned param_ = 0;            // the parameter being read, capped
  unsigned first_param_ = 0;      // the sequence's first parameter
  unsigned second_param_ = 0;     // and its second
  std::size_t params_ = 0;        // parameters ended so far
  bool intermediate_ = false;     // the sequence has an intermediate byte
  std::bitset<16> named_;         // tracked modes the sequence names, by index
  unsigned named_alternate_ = 0;  // the first alternate-screen mode it names
  bool named_cursor_ = false;     // it names mode 25

  // What is on.
  std::bitset<16> on_;              // tracked modes, by index
  unsigned alternate_ = 0;          // the mode that entered the alternate screen; 0 on main
  unsigned kitty_main_ = 0;         // entries pushed on the main screen's stack
  unsigned kitty_alternate_ = 0;    // and on the alternate screen's
  bool modify_other_keys_ = false;  // xterm's modifyOtherKeys, CSI > 4 ; n m
  bool cursor_hidden_ = false;
};

// Whether the agent has bracketed paste switched on right now. The screen sets it as the
// agent's output passes; the reply poller reads it. Any thread.
class PasteMode {
 public:
  bool on() const { return on_.load(std::memory_order_relaxed); }
  void set(bool on) { on_.store(on, std::memory_order_relaxed); }

 private:
  std::atomic<bool> on_{false};
};

}  // namespace relay
