#include "cli/relay/screen.h"

namespace relay {
namespace {

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

Screen::Screen(std::unique_ptr<platform::ByteSink> sink) : sink_(std::move(sink)) {}

std::unique_ptr<platform::ByteSink> Screen::writer(std::shared_ptr<Screen> screen) {
  return std::make_unique<ScreenWriter>(std::move(screen));
}

platform::Result<void> Screen::write(std::string_view bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return platform::Error("the screen is closed");
    writing_ = true;
    modes_.feed(bytes);
    paste_mode_->set(modes_.bracketed_paste());
  }
  activity_->note(OutputActivity::Clock::now());
  // Outside the lock: a terminal that is slow to take the bytes must not hold up close().
  platform::Result<void> written = write_counted(bytes);
  activity_->note(OutputActivity::Clock::now());
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
  const std::string reset = modes_.reset();
  if (reset.empty()) return;
  (void)sink_->write_all(reset);
  (void)sink_->flush();
}

}  // namespace relay
