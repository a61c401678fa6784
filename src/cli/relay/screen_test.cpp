#include "cli/relay/screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relay {
namespace {

class RecordingSink final : public platform::ByteSink {
 public:
  explicit RecordingSink(std::string* out) : out_(out) {}
  platform::Result<void> write_all(std::string_view bytes) override {
    out_->append(bytes);
    return {};
  }
  platform::Result<void> flush() override { return {}; }

 private:
  std::string* out_;
};

TEST(Screen, ClosingWritesTheResetOnceAndTakesNoMoreOutput) {
  std::string shown;
  auto screen = std::make_shared<Screen>(std::make_unique<RecordingSink>(&shown));
  const std::shared_ptr<const PasteMode> paste = screen->paste_mode();
  auto pump = Screen::writer(screen);
  ASSERT_TRUE(pump->write_all("a\x1b[?104"));
  ASSERT_TRUE(pump->write_all("9;2004hb"));
  EXPECT_TRUE(paste->on());
  screen->close();
  screen->close();
  EXPECT_FALSE(pump->write_all("late"));
  EXPECT_EQ(shown, "a\x1b[?1049;2004hb\x1b[?2004l\x1b[?1049l");
}

// Regression: every run's output ended with 106 bytes that the agent never wrote.
TEST(Screen, AnAgentThatRestoredEverythingGetsItsOutputAndNothingMore) {
  std::string shown;
  auto screen = std::make_shared<Screen>(std::make_unique<RecordingSink>(&shown));
  auto pump = Screen::writer(screen);
  const std::string output = "\x1b[?1049h\x1b[?2004h\x1b[>1uwork\x1b[<1u\x1b[?2004l\x1b[?1049l";
  ASSERT_TRUE(pump->write_all(output));
  EXPECT_FALSE(screen->paste_mode()->on());
  screen->close();
  EXPECT_EQ(shown, output);
}

}  // namespace
}  // namespace relay
