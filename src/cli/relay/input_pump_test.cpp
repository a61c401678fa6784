#include "cli/relay/input_pump.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace relay {
namespace {

// Hands out scripted reads: bytes, then an end (0) or an error; calls `on_read` first.
class ScriptedKeyboard final : public platform::ByteSource {
 public:
  struct Read {
    std::string bytes;
    bool fails = false;
  };
  ScriptedKeyboard(std::deque<Read> reads, std::function<void()> on_read = {})
      : reads_(std::move(reads)), on_read_(std::move(on_read)) {}

  platform::Result<std::size_t> read(std::span<char> buffer) override {
    if (on_read_) on_read_();
    if (reads_.empty()) return std::size_t{0};
    Read next = std::move(reads_.front());
    reads_.pop_front();
    if (next.fails) return platform::Error("read failed");
    EXPECT_LE(next.bytes.size(), buffer.size());
    next.bytes.copy(buffer.data(), next.bytes.size());
    return next.bytes.size();
  }

 private:
  std::deque<Read> reads_;
  std::function<void()> on_read_;
};

class InputPumpTest : public ::testing::Test {
 protected:
  InputPumpTest() : InputPumpTest(make_write_queue()) {}
  explicit InputPumpTest(std::pair<QueueSender, QueueReceiver> queue)
      : sender_(std::move(queue.first)), receiver_(std::move(queue.second)) {}

  // Runs the pump to its end on this thread, then collects what it sent.
  std::vector<WriteBatch> pump(std::unique_ptr<platform::ByteSource> keyboard) {
    input_pump(std::move(sender_), running_, std::move(keyboard));
    std::vector<WriteBatch> sent;
    while (std::optional<WriteBatch> batch = receiver_.receive()) sent.push_back(std::move(*batch));
    return sent;
  }

  QueueSender sender_;
  QueueReceiver receiver_;
  cli::RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
};

TEST_F(InputPumpTest, SendsEachReadUnchangedAsABatchOfOneChunkUntilEndOfInput) {
  const std::string full(INPUT_READ_BYTES, 'p');
  std::vector<WriteBatch> sent = pump(std::make_unique<ScriptedKeyboard>(std::deque<ScriptedKeyboard::Read>{
      {"\x03"}, {"\x1a"}, {"\xc3\xa9\x1b[A"}, {full}, {"after"}}));
  ASSERT_EQ(sent.size(), 5u);
  const std::vector<std::string> expected = {"\x03", "\x1a", "\xc3\xa9\x1b[A", full, "after"};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    ASSERT_EQ(sent[i].chunks.size(), 1u);
    EXPECT_EQ(sent[i].chunks[0], expected[i]);
    EXPECT_EQ(sent[i].pause.count(), 0);
  }
}

TEST_F(InputPumpTest, EndsOnAReadError) {
  std::vector<WriteBatch> sent = pump(std::make_unique<ScriptedKeyboard>(
      std::deque<ScriptedKeyboard::Read>{{"a"}, {"", true}, {"never"}}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].chunks[0], "a");
}

TEST_F(InputPumpTest, EndsWhenTheWriterHasGone) {
  int reads = 0;
  receiver_.release();
  input_pump(std::move(sender_), running_,
             std::make_unique<ScriptedKeyboard>(
                 std::deque<ScriptedKeyboard::Read>{{"a"}, {"b"}}, [&] { ++reads; }));
  EXPECT_EQ(reads, 1);
}

TEST_F(InputPumpTest, SendsTheReadInProgressThenStopsOnceRunningIsCleared) {
  std::vector<WriteBatch> sent = pump(std::make_unique<ScriptedKeyboard>(
      std::deque<ScriptedKeyboard::Read>{{"typed while stopping"}, {"never read"}},
      [this] { running_->store(false); }));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].chunks[0], "typed while stopping");
}

}  // namespace
}  // namespace relay
