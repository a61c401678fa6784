#include "cli/relay/output_pump.h"

#include <gtest/gtest.h>

#include <deque>

namespace relay {
namespace {

class ScriptedOutput final : public platform::ByteSource {
 public:
  explicit ScriptedOutput(std::deque<std::string> reads, bool fail_at_end = false,
                          int* reads_done = nullptr)
      : reads_(std::move(reads)), fail_at_end_(fail_at_end), reads_done_(reads_done) {}
  platform::Result<std::size_t> read(std::span<char> buffer) override {
    if (reads_done_) ++*reads_done_;
    if (reads_.empty()) {
      if (fail_at_end_) return platform::Error("read failed");
      return std::size_t{0};
    }
    std::string next = std::move(reads_.front());
    reads_.pop_front();
    next.copy(buffer.data(), next.size());
    return next.size();
  }

 private:
  std::deque<std::string> reads_;
  bool fail_at_end_;
  int* reads_done_;
};

class RecordingScreen final : public platform::ByteSink {
 public:
  RecordingScreen(std::string* shown, int fail_on_write) : shown_(shown), fail_on_(fail_on_write) {}
  platform::Result<void> write_all(std::string_view bytes) override {
    if (writes_++ == fail_on_) return platform::Error("screen gone");
    shown_->append(bytes);
    return {};
  }
  platform::Result<void> flush() override { return {}; }

 private:
  std::string* shown_;
  int fail_on_;
  int writes_ = 0;
};

TEST(OutputPump, CopiesEveryByteUnchangedUntilEndOfOutput) {
  std::string shown;
  const std::string split_char_first = "\x1b[1mcaf\xc3";
  const std::string split_char_rest = "\xa9\x1b[0m\r\n";
  const std::string full(OUTPUT_READ_BYTES, 'x');
  output_pump(std::make_unique<ScriptedOutput>(
                  std::deque<std::string>{split_char_first, split_char_rest, full}),
              std::make_unique<RecordingScreen>(&shown, -1));
  EXPECT_EQ(shown, split_char_first + split_char_rest + full);
}

TEST(OutputPump, StopsReadingOnceTheScreenFails) {
  std::string shown;
  int reads_done = 0;
  output_pump(std::make_unique<ScriptedOutput>(std::deque<std::string>{"a", "b", "c", "d"}, false,
                                               &reads_done),
              std::make_unique<RecordingScreen>(&shown, 1));
  EXPECT_EQ(shown, "a");
  EXPECT_EQ(reads_done, 2);
}

TEST(OutputPump, EndsQuietlyOnAReadError) {
  std::string shown;
  output_pump(std::make_unique<ScriptedOutput>(std::deque<std::string>{"last words"}, true),
              std::make_unique<RecordingScreen>(&shown, -1));
  EXPECT_EQ(shown, "last words");
}

}  // namespace
}  // namespace relay
