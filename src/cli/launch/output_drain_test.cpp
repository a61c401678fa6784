#include "cli/launch/output_drain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace launch {
namespace {

using namespace std::chrono_literals;

// A terminal that takes each write after a pause, as a slow terminal does.
class SlowSink final : public platform::ByteSink {
 public:
  explicit SlowSink(std::string* shown) : shown_(shown) {}
  platform::Result<void> write_all(std::string_view bytes) override {
    std::this_thread::sleep_for(PAUSE);
    shown_->append(bytes);
    return {};
  }
  platform::Result<void> flush() override { return {}; }
  static constexpr std::chrono::milliseconds PAUSE{20};

 private:
  std::string* shown_;
};

class DrainOutput : public ::testing::Test {
 protected:
  static constexpr std::chrono::milliseconds IDLE_BOUND{300};
  static constexpr std::chrono::milliseconds LIMIT{60000};

  std::string shown_;
  std::shared_ptr<relay::Screen> screen_ =
      std::make_shared<relay::Screen>(std::make_unique<SlowSink>(&shown_));
  std::promise<void> output_end_;
  std::shared_future<void> output_ended_ = output_end_.get_future().share();
};

TEST_F(DrainOutput, OutputThatKeepsMovingIsWaitedForToItsEnd) {
  // Regression: the wait was bounded in total time, so a terminal slower than the bound lost the
  // exited agent's last output.
  const std::string output(60 * relay::Screen::PROGRESS_PIECE_BYTES, 'x');  // 60 pauses: 1.2 s
  std::thread pump([&] {
    (void)screen_->write(output);
    output_end_.set_value();
  });
  EXPECT_TRUE(drain_output([] {}, output_ended_, *screen_, IDLE_BOUND, LIMIT));
  pump.join();
  EXPECT_EQ(shown_.size(), output.size());
}

TEST_F(DrainOutput, GivesUpOnAStuckCloseAndAScreenThatTakesNothing) {
  // Regression: the pseudo-console was closed on the main thread before the wait began; a close
  // that waits for output a held console never takes kept the run from ending at all.
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  EXPECT_FALSE(
      drain_output([released] { released.wait(); }, output_ended_, *screen_, IDLE_BOUND, LIMIT));
  release->set_value();
}

TEST_F(DrainOutput, OutputThatNeverEndsIsCutAtTheLimit) {
  // A process the agent left behind may write on its terminal for ever: the run still ends.
  std::atomic<bool> stop{false};
  std::thread pump([&] {
    while (!stop.load()) (void)screen_->write("x");
  });
  EXPECT_FALSE(drain_output([] {}, output_ended_, *screen_, IDLE_BOUND, 3 * IDLE_BOUND));
  stop = true;
  pump.join();
}

}  // namespace
}  // namespace launch
