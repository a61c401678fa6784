#include "cli/relay/input_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

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

// Hands out full reads of a-z, over and over, up to `total` bytes. What it has handed out is
// counted in a tally that outlives it (the pump destroys its keyboard as it ends).
class StreamingKeyboard final : public platform::ByteSource {
 public:
  struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t handed_out = 0;  // GUARDED_BY(mutex)

    std::size_t get() {
      std::lock_guard<std::mutex> lock(mutex);
      return handed_out;
    }
    void wait_for(std::size_t bytes) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return handed_out >= bytes; });
    }
  };

  StreamingKeyboard(std::size_t total, std::shared_ptr<Tally> tally)
      : total_(total), tally_(std::move(tally)) {}

  platform::Result<std::size_t> read(std::span<char> buffer) override {
    std::size_t n = 0;
    {
      std::lock_guard<std::mutex> lock(tally_->mutex);
      n = std::min(buffer.size(), total_ - tally_->handed_out);
      for (std::size_t i = 0; i < n; ++i) buffer[i] = letter(tally_->handed_out + i);
      tally_->handed_out += n;
    }
    tally_->changed.notify_all();
    return n;
  }

  static char letter(std::size_t at) { return static_cast<char>('a' + at % 26); }

 private:
  const std::size_t total_;
  std::shared_ptr<Tally> tally_;
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

  // Starts the pump on an endless keyboard, with nobody writing, and waits until it has read as
  // much as the queue takes and one read more, which it cannot send.
  std::thread start_blocked_pump(const std::shared_ptr<StreamingKeyboard::Tally>& tally) {
    std::thread pump(input_pump, std::move(sender_), running_,
                     std::make_unique<StreamingKeyboard>(SIZE_MAX, tally));
    tally->wait_for(KEY_BACKLOG_BYTES + INPUT_READ_BYTES);
    return pump;
  }

  QueueSender sender_;
  QueueReceiver receiver_;
  cli::RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
};

TEST_F(InputPumpTest, SendsEachReadUnchangedAsABatchOfOneChunkUntilEndOfInput) {
  const std::string full(INPUT_READ_BYTES, 'p');
  std::vector<WriteBatch> sent =
      pump(std::make_unique<ScriptedKeyboard>(std::deque<ScriptedKeyboard::Read>{
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
             std::make_unique<ScriptedKeyboard>(std::deque<ScriptedKeyboard::Read>{{"a"}, {"b"}},
                                                [&] { ++reads; }));
  EXPECT_EQ(reads, 1);
}

TEST_F(InputPumpTest, SendsTheReadInProgressThenStopsOnceRunningIsCleared) {
  std::vector<WriteBatch> sent = pump(std::make_unique<ScriptedKeyboard>(
      std::deque<ScriptedKeyboard::Read>{{"typed while stopping"}, {"never read"}},
      [this] { running_->store(false); }));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].chunks[0], "typed while stopping");
}

TEST_F(InputPumpTest, AReplyWaitsForThePasteAndTheReadThatEndsItIsSplitAfterIt) {
  QueueSender replies = sender_.clone();
  int reads = 0;
  std::vector<WriteBatch> sent = pump(std::make_unique<ScriptedKeyboard>(
      std::deque<ScriptedKeyboard::Read>{{"\x1b[200~ab"}, {"c\x1b[201~xy\x1b["}, {"A"}}, [&] {
        if (++reads == 2) {
          EXPECT_TRUE(replies.send(WriteBatch{{"R"}, {}}));
          replies.release();
        }
      }));
  std::vector<std::string> written;
  for (const WriteBatch& batch : sent) written.push_back(batch.chunks.at(0));
  EXPECT_EQ(written, (std::vector<std::string>{"\x1b[200~ab", "c\x1b[201~xy", "R", "\x1b[", "A"}));
}

// Regression: with no bound on queued keys, an agent that read no input let the process grow
// with everything pasted.
TEST_F(InputPumpTest, StopsReadingWhileTheQueueIsFullAndLosesNothingOnceTheWriterCatchesUp) {
  constexpr std::size_t TOTAL = 3 * KEY_BACKLOG_BYTES;
  auto keyboard = std::make_shared<StreamingKeyboard::Tally>();
  std::thread pump(input_pump, std::move(sender_), running_,
                   std::make_unique<StreamingKeyboard>(TOTAL, keyboard));
  keyboard->wait_for(KEY_BACKLOG_BYTES);
  std::size_t taken = 0;
  while (std::optional<WriteBatch> batch = receiver_.receive()) {
    // Only what fits in the queue, the batch just taken and the read under way are out.
    EXPECT_LE(keyboard->get(), taken + KEY_BACKLOG_BYTES + 3 * INPUT_READ_BYTES);
    for (const std::string& chunk : batch->chunks) {
      for (char c : chunk) {
        if (c != StreamingKeyboard::letter(taken)) {
          ADD_FAILURE() << "byte " << taken << " lost or out of order";
          receiver_.release();
          pump.join();
          return;
        }
        ++taken;
      }
    }
  }
  pump.join();
  EXPECT_EQ(taken, TOTAL);
}

TEST_F(InputPumpTest, EndsWhileWaitingForRoomOnceRunningIsClearedOrTheWriterHasGone) {
  auto keyboard = std::make_shared<StreamingKeyboard::Tally>();
  std::thread pump = start_blocked_pump(keyboard);
  running_->store(false);
  pump.join();
  EXPECT_EQ(keyboard->get(), KEY_BACKLOG_BYTES + INPUT_READ_BYTES);  // not read while it waited

  auto [sender, receiver] = make_write_queue();
  sender_ = std::move(sender);
  receiver_ = std::move(receiver);
  running_->store(true);
  pump = start_blocked_pump(std::make_shared<StreamingKeyboard::Tally>());
  receiver_.release();
  pump.join();
}

}  // namespace
}  // namespace relay
