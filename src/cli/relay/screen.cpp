#include "cli/relay/screen.h"

#include <algorithm>
#include <cstring>

namespace relay {
namespace {

constexpr char ESC = '\x1b';
// Larger than any mode number worth knowing; keeps a hostile parameter from overflowing.
constexpr unsigned PARAM_CAP = 100000;

bool is_alternate_screen_mode(unsigned mode) { return mode == 47 || mode == 1047 || mode == 1049; }

// Each is its own sequence, for terminals that take one mode per sequence only.
constexpr const char* SENDING_MODES_OFF =
    "\x1b[?2004l"                                           // bracketed paste
    "\x1b[?1004l"                                           // focus reports
    "\x1b[?9l\x1b[?1000l\x1b[?1001l\x1b[?1002l\x1b[?1003l"  // mouse reports
    "\x1b[?1005l\x1b[?1006l\x1b[?1015l\x1b[?1016l"          // their encodings
    "\x1b[?2031l";                                          // colour-scheme reports
// Pops every entry of the kitty keyboard stack (of the screen in use): all flags off.
constexpr const char* KITTY_KEYBOARD_OFF = "\x1b[<999u";
// Only when it is on: where it is off, leaving it would still restore a saved cursor.
constexpr const char* ALTERNATE_SCREEN_OFF = "\x1b[?1049l";
constexpr const char* CURSOR_VISIBLE = "\x1b[?25h";

class ScreenWriter final : public platform::ByteSink {
 public:
  explicit ScreenWriter(std::shared_ptr<Screen> screen) : screen_(std::move(screen)) {}
  platform::Result<void> write_all(std::string_view bytes) override {
    return screen_->write(bytes);
  }
  platform::Result<void> flush() override { return {}; }

 private:
  std::shared_ptr<Screen> screen_;
};

}  // namespace

void AlternateScreenTracker::feed(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (state_ == State::Ground) {
      // Most output is text: skip to the next escape at once.
      const void* esc = std::memchr(bytes.data() + i, ESC, bytes.size() - i);
      if (esc == nullptr) return;
      i = static_cast<std::size_t>(static_cast<const char*>(esc) - bytes.data());
      state_ = State::Escape;
      continue;
    }
    const char c = bytes[i];
    if (c == ESC) {
      state_ = State::Escape;
      continue;
    }
    switch (state_) {
      case State::Escape:
        state_ = c == '[' ? State::CsiStart : State::Ground;
        break;
      case State::CsiStart:
        state_ = c == '?' ? State::PrivateParams : State::Ground;
        param_ = 0;
        names_alternate_ = false;
        break;
      case State::PrivateParams:
        if (c >= '0' && c <= '9') {
          param_ = std::min(param_ * 10 + static_cast<unsigned>(c - '0'), PARAM_CAP);
          break;
        }
        names_alternate_ = names_alternate_ || is_alternate_screen_mode(param_);
        param_ = 0;
        if (c == ';') break;
        if ((c == 'h' || c == 'l') && names_alternate_) active_ = c == 'h';
        state_ = State::Ground;
        break;
      case State::Ground:
        break;
    }
  }
}

std::string mode_reset(bool alternate_screen) {
  std::string reset = SENDING_MODES_OFF;
  reset += KITTY_KEYBOARD_OFF;
  if (alternate_screen) {
    // The alternate screen has a keyboard stack of its own: empty both.
    reset += ALTERNATE_SCREEN_OFF;
    reset += KITTY_KEYBOARD_OFF;
  }
  reset += CURSOR_VISIBLE;
  return reset;
}

Screen::Screen(std::unique_ptr<platform::ByteSink> sink) : sink_(std::move(sink)) {}

std::unique_ptr<platform::ByteSink> Screen::writer(std::shared_ptr<Screen> screen) {
  return std::make_unique<ScreenWriter>(std::move(screen));
}

platform::Result<void> Screen::write(std::string_view bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return platform::Error("the screen is closed");
    writing_ = true;
    tracker_.feed(bytes);
  }
  // Outside the lock: a terminal that is slow to take the bytes must not hold up close().
  platform::Result<void> written = write_counted(bytes);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
  }
  write_ended_.notify_all();
  return written;
}

platform::Result<void> Screen::write_counted(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::string_view piece = bytes.substr(0, PROGRESS_PIECE_BYTES);
    if (auto written = sink_->write_all(piece); !written) return written;
    if (auto flushed = sink_->flush(); !flushed) return flushed;
    taken_.fetch_add(piece.size(), std::memory_order_relaxed);
    bytes.remove_prefix(piece.size());
  }
  return {};
}

void Screen::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_ || !write_ended_.wait_for(lock, CLOSE_WAIT_BOUND, [this] { return !writing_; })) {
    return;
  }
  closed_ = true;
  (void)sink_->write_all(mode_reset(tracker_.active()));
  (void)sink_->flush();
}

}  // namespace relay
