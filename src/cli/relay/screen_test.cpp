#include "cli/relay/screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relay {
namespace {

TEST(AlternateScreenTracker, FollowsTheModeAcrossAnySplit) {
  struct Case {
    std::string output;
    bool active;
  };
  const std::vector<Case> cases = {
      {"text \x1b[?1049h more", true},
      {"\x1b[?1049h\x1b[?1049l", false},
      {"\x1b[?47h", true},
      {"\x1b[?25;1047h", true},  // one of several modes in one sequence
      {"\x1b[?1049;25l\x1b[?25h", false},
      {"\x1b[1049h", false},  // not a private mode
      {"\x1b[?10490h", false},
      {"\x1b[?1049\x1b[?25h", false},  // cut short by the next sequence
      {"\x1b[?99999999999999999999h", false},
  };
  for (const Case& c : cases) {
    AlternateScreenTracker whole;
    whole.feed(c.output);
    EXPECT_EQ(whole.active(), c.active) << c.output;
    AlternateScreenTracker bytewise;
    for (char byte : c.output) bytewise.feed(std::string_view(&byte, 1));
    EXPECT_EQ(bytewise.active(), c.active) << c.output;
  }
}

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
  auto pump = Screen::writer(screen);
  ASSERT_TRUE(pump->write_all("a\x1b[?104"));
  ASSERT_TRUE(pump->write_all("9hb"));
  screen->close();
  screen->close();
  EXPECT_FALSE(pump->write_all("late"));
  EXPECT_EQ(shown, "a\x1b[?1049hb" + mode_reset(true));
  EXPECT_NE(mode_reset(true).find("\x1b[?1049l"), std::string::npos);
  EXPECT_EQ(mode_reset(false).find("\x1b[?1049l"), std::string::npos);
}

}  // namespace
}  // namespace relay
