#include "cli/relay/write_queue.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

namespace relay {
namespace {

WriteBatch batch_of(std::string text) { return WriteBatch{{std::move(text)}, {}}; }

TEST(WriteQueue, DeliversInOrderThenClosesWhenSendersAreGone) {
  auto [sender, receiver] = make_write_queue();
  QueueSender other = sender.clone();
  ASSERT_TRUE(sender.send(batch_of("a")));
  ASSERT_TRUE(other.send(batch_of("b")));
  sender.release();
  other.release();
  EXPECT_EQ(receiver.receive()->chunks.front(), "a");
  EXPECT_EQ(receiver.receive()->chunks.front(), "b");
  EXPECT_FALSE(receiver.receive().has_value());
}

TEST(WriteQueue, WrittenOnlyOnceTheWriterComesBackForMoreOrIsGone) {
  using std::chrono::milliseconds;
  auto [sender, receiver] = make_write_queue();
  QueueSender keys = sender.clone();
  EXPECT_TRUE(sender.wait_written(milliseconds(0)));  // nothing sent yet
  ASSERT_TRUE(sender.send(batch_of("reply")));
  EXPECT_FALSE(sender.wait_written(milliseconds(1)));
  ASSERT_TRUE(receiver.receive().has_value());  // taken, still being written
  EXPECT_FALSE(sender.wait_written(milliseconds(1)));
  std::thread writer([&receiver] {
    (void)receiver.receive();  // back for more: the reply is done
  });
  EXPECT_TRUE(sender.wait_written(std::chrono::seconds(10)));
  // Keys sent now are waited for too, until the writer is gone.
  ASSERT_TRUE(keys.send(batch_of("k")));
  writer.join();
  EXPECT_FALSE(sender.wait_written(milliseconds(1)));
  receiver.release();
  EXPECT_TRUE(sender.wait_written(milliseconds(0)));
}

TEST(WriteQueue, SendFailsAndReturnsTheBatchOnceTheReceiverIsGone) {
  auto [sender, receiver] = make_write_queue();
  receiver.release();
  WriteBatch batch{{"kept"}, {}};
  EXPECT_FALSE(sender.send(std::move(batch)));
  EXPECT_EQ(batch.chunks.front(), "kept");
}

TEST(WriteQueue, KeepsEachProducersOrderAcrossConcurrentProducers) {
  constexpr int PRODUCERS = 4;
  constexpr int PER_PRODUCER = 500;
  auto [sender, receiver] = make_write_queue();
  std::vector<std::thread> producers;
  for (int p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([p, own = sender.clone()]() mutable {
      for (int i = 0; i < PER_PRODUCER; ++i) {
        ASSERT_TRUE(own.send(batch_of(std::to_string(p) + ":" + std::to_string(i))));
      }
    });
  }
  sender.release();
  std::map<int, int> next;  // producer -> the index it must send next
  int received = 0;
  while (std::optional<WriteBatch> batch = receiver.receive()) {
    const std::string& text = batch->chunks.front();
    const int p = std::stoi(text.substr(0, text.find(':')));
    EXPECT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[p]++);
    ++received;
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(received, PRODUCERS * PER_PRODUCER);
}

TEST(WriteQueue, ReceiveWaitsForTheLastSenderToGo) {
  auto [sender, receiver] = make_write_queue();
  std::thread last([s = std::move(sender)]() mutable {
    ASSERT_TRUE(s.send(batch_of("late")));
    s.release();
  });
  EXPECT_EQ(receiver.receive()->chunks.front(), "late");
  EXPECT_FALSE(receiver.receive().has_value());
  last.join();
}

TEST(WriteQueue, AClonedSenderKeepsTheQueueOpenAfterTheOriginalGoes) {
  auto [sender, receiver] = make_write_queue();
  QueueSender clone = sender.clone();
  sender.release();
  ASSERT_TRUE(clone.send(batch_of("from clone")));
  EXPECT_EQ(receiver.receive()->chunks.front(), "from clone");
  clone.release();
  EXPECT_FALSE(receiver.receive().has_value());
}

TEST(WriteQueue, MovingASenderDoesNotReleaseIt) {
  // Guards against a move that counted as a release and closed the queue under a live sender.
  auto [sender, receiver] = make_write_queue();
  QueueSender moved = std::move(sender);
  QueueSender assigned = moved.clone();
  assigned = std::move(moved);
  ASSERT_TRUE(assigned.send(batch_of("still open")));
  EXPECT_EQ(receiver.receive()->chunks.front(), "still open");
}

TEST(WriteQueue, WaitWrittenHoldsUntilTheWriterAsksForMore) {
  // Regression: a run ended by the app right after a reply ended the process while the writer
  // was still in the reply's pause, and the Enter behind it was never typed.
  using namespace std::chrono_literals;
  auto [sender, receiver] = make_write_queue();
  ASSERT_TRUE(sender.send(WriteBatch{{"reply", "\r"}, 1ms}));
  EXPECT_FALSE(sender.wait_written(0ms));  // queued
  ASSERT_TRUE(receiver.receive());
  EXPECT_FALSE(sender.wait_written(0ms));  // being written
  std::thread writer([&] { EXPECT_FALSE(receiver.receive()); });
  EXPECT_TRUE(sender.wait_written(std::chrono::milliseconds(10'000)));
  sender.release();
  writer.join();
}

// Regression: a reply queued between two reads of one unit of the user's input (a paste, an
// escape sequence, a character) was typed inside it.
TEST(WriteQueue, AReplyNeverStartsWhileTheKeysWrittenBeforeItEndInsideAUnit) {
  struct Send {
    std::string text;
    bool key;
    bool ends_inside = false;
  };
  struct Case {
    const char* name;
    std::vector<Send> sends;
    std::vector<std::string> written;
  };
  const std::vector<Case> cases = {
      {"keys outside units keep their order",
       {{"a", true}, {"R", false}, {"b", true}},
       {"a", "R", "b"}},
      {"the keys that end a paste go first",
       {{"[200~ab", true, true}, {"R", false}, {"cd", true, true}, {"[201~", true}, {"e", true}},
       {"[200~ab", "cd", "[201~", "R", "e"}},
      {"a reply before the unit began stays in front",
       {{"R", false}, {"[200~", true, true}, {"[201~", true}},
       {"R", "[200~", "[201~"}},
      {"held replies keep their order",
       {{"x", true, true}, {"R1", false}, {"R2", false}, {"y", true}},
       {"x", "y", "R1", "R2"}},
  };
  for (const Case& c : cases) {
    auto [keys, receiver] = make_write_queue();
    QueueSender replies = keys.clone();
    for (const Send& send : c.sends) {
      if (send.key) {
        ASSERT_EQ(
            keys.send_keys(batch_of(send.text), send.ends_inside, std::chrono::milliseconds(0)),
            KeySend::Sent);
      } else {
        ASSERT_TRUE(replies.send(batch_of(send.text)));
      }
    }
    std::vector<std::string> written;
    for (std::size_t i = 0; i < c.written.size(); ++i) {
      std::optional<WriteBatch> batch = receiver.receive();
      ASSERT_TRUE(batch) << c.name;
      written.push_back(batch->chunks.front());
      // Keys that overtook a reply do not count it as written.
      if (i + 1 < c.written.size()) {
        EXPECT_FALSE(replies.wait_written(std::chrono::milliseconds(0))) << c.name << ", " << i;
      }
    }
    EXPECT_EQ(written, c.written) << c.name;
  }
}

TEST(WriteQueue, AReplyHeldInsideAUnitGoesOnceTheKeysHaveBeenSilentForTheBound) {
  auto [keys, receiver] = make_write_queue();
  QueueSender replies = keys.clone();
  const auto sent_at = std::chrono::steady_clock::now();
  ASSERT_EQ(keys.send_keys(batch_of("\x1b"), true, std::chrono::milliseconds(0)), KeySend::Sent);
  ASSERT_TRUE(replies.send(batch_of("R")));
  EXPECT_EQ(receiver.receive()->chunks.front(), "\x1b");
  EXPECT_EQ(receiver.receive()->chunks.front(), "R");  // the keys sender is still there
  EXPECT_GE(std::chrono::steady_clock::now() - sent_at, UNIT_SILENCE_BOUND);
}

// Regression: user input was queued without bound, so 256 MiB pasted into an agent that read
// none of it took the process to 265 MiB.
TEST(WriteQueue, KeysWaitForRoomOnceTheBacklogIsFullAndFailOnceTheWriterIsGone) {
  using std::chrono::milliseconds;
  auto [keys, receiver] = make_write_queue();
  QueueSender replies = keys.clone();
  const std::string read(4096, 'k');
  std::size_t queued = 0;
  while (keys.send_keys(batch_of(read), false, milliseconds(0)) == KeySend::Sent) {
    queued += read.size();
    ASSERT_LE(queued, KEY_BACKLOG_BYTES + read.size());
  }
  EXPECT_GE(queued, KEY_BACKLOG_BYTES);
  EXPECT_TRUE(replies.send(batch_of("R")));  // replies are not held back by the keys' backlog
  ASSERT_TRUE(receiver.receive());
  EXPECT_EQ(keys.send_keys(batch_of(read), false, milliseconds(0)), KeySend::Sent);
  // A key sender waiting for room learns at once that the writer has gone.
  std::thread waiting([&keys] {
    EXPECT_EQ(keys.send_keys(batch_of("late"), false, milliseconds(60'000)), KeySend::Closed);
  });
  receiver.release();
  waiting.join();
}

}  // namespace
}  // namespace relay
