#include "cli/relay/writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace relay {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the writer did to the terminal input, in order.
struct Event {
  enum Kind { WRITE, FLUSH } kind;
  std::string bytes;
  Clock::time_point at;
};

struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> events;  // GUARDED_BY(mutex)
  bool closed = false;        // GUARDED_BY(mutex): the writer released the input
  int fail_on_write = -1;     // GUARDED_BY(mutex): index of the write that fails
  int writes = 0;             // GUARDED_BY(mutex)
  // Set while a write is in progress: the test can hold the writer inside a write.
  bool hold_first_write = false;     // GUARDED_BY(mutex)
  bool first_write_entered = false;  // GUARDED_BY(mutex)
};

class FakeInput final : public platform::ByteSink {
 public:
  explicit FakeInput(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  ~FakeInput() override {
    std::lock_guard<std::mutex> lock(journal_->mutex);
    journal_->closed = true;
    journal_->changed.notify_all();
  }

  platform::Result<void> write_all(std::string_view bytes) override {
    std::unique_lock<std::mutex> lock(journal_->mutex);
    if (journal_->writes == 0 && journal_->hold_first_write) {
      journal_->first_write_entered = true;
      journal_->changed.notify_all();
      journal_->changed.wait(lock, [&] { return !journal_->hold_first_write; });
    }
    if (journal_->writes++ == journal_->fail_on_write) return platform::Error("broken pipe");
    journal_->events.push_back({Event::WRITE, std::string(bytes), Clock::now()});
    journal_->changed.notify_all();
    return {};
  }

  platform::Result<void> flush() override {
    std::lock_guard<std::mutex> lock(journal_->mutex);
    journal_->events.push_back({Event::FLUSH, "", Clock::now()});
    journal_->changed.notify_all();
    return {};
  }

 private:
  std::shared_ptr<Journal> journal_;
};

class WriterTest : public ::testing::Test {
 protected:
  WriterTest() : WriterTest(make_write_queue()) {}
  explicit WriterTest(std::pair<QueueSender, QueueReceiver> queue)
      : sender_(std::move(queue.first)), receiver_(std::move(queue.second)) {}
  ~WriterTest() override {
    sender_.release();
    if (thread_.joinable()) thread_.join();
  }

  void start() {
    thread_ = std::thread(writer, std::move(*receiver_), std::make_unique<FakeInput>(journal_),
                          activity_);
    receiver_.reset();
  }

  // Releases the test's sender and waits for the writer to end.
  void finish() {
    sender_.release();
    thread_.join();
  }

  std::string written() {
    std::lock_guard<std::mutex> lock(journal_->mutex);
    std::string all;
    for (const Event& e : journal_->events) all += e.bytes;
    return all;
  }

  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(journal_->mutex);
    return journal_->events;
  }

  // Waits, with a generous bound, until `done` holds for the journal.
  template <typename Done>
  bool journal_reaches(Done done) {
    std::unique_lock<std::mutex> lock(journal_->mutex);
    return journal_->changed.wait_for(lock, std::chrono::seconds(30),
                                      [&] { return done(*journal_); });
  }

  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<OutputActivity> activity_ = std::make_shared<OutputActivity>();
  QueueSender sender_;
  std::optional<QueueReceiver> receiver_;
  std::thread thread_;
};

TEST_F(WriterTest, WritesAndFlushesEveryChunkInOrder) {
  ASSERT_TRUE(sender_.send(WriteBatch{{"ab", "", "cd"}, {}}));
  ASSERT_TRUE(sender_.send(WriteBatch{{}, milliseconds(500)}));
  ASSERT_TRUE(sender_.send(WriteBatch{{"ef"}, {}}));
  start();
  finish();
  const std::vector<Event> log = events();
  std::vector<std::pair<Event::Kind, std::string>> seen;
  for (const Event& e : log) seen.emplace_back(e.kind, e.bytes);
  const std::vector<std::pair<Event::Kind, std::string>> expected = {
      {Event::WRITE, "ab"}, {Event::FLUSH, ""}, {Event::WRITE, ""},   {Event::FLUSH, ""},
      {Event::WRITE, "cd"}, {Event::FLUSH, ""}, {Event::WRITE, "ef"}, {Event::FLUSH, ""}};
  EXPECT_EQ(seen, expected);
}

TEST_F(WriterTest, PausesOnlyBetweenTheChunksOfABatch) {
  const milliseconds pause(150);
  ASSERT_TRUE(sender_.send(WriteBatch{{"single"}, milliseconds(5000)}));
  ASSERT_TRUE(sender_.send(WriteBatch{{"reply", "\r"}, pause}));
  ASSERT_TRUE(sender_.send(WriteBatch{{"next"}, {}}));
  const Clock::time_point began = Clock::now();
  start();
  finish();
  const std::vector<Event> log = events();
  ASSERT_EQ(log.size(), 8u);
  // A single-chunk batch is written at once whatever its pause (a 5 s wait would show here).
  EXPECT_LT(log[0].at - began, milliseconds(2500));
  EXPECT_GE(log[4].at - log[2].at, pause);               // "\r" waited for after "reply"
  EXPECT_LT(log[6].at - log[4].at, milliseconds(2500));  // no pause after the batch
}

TEST_F(WriterTest, EnterWaitsForTheAgentsOutputToGoQuietWithinItsBound) {
  // Guards against an Enter that lands while the agent is still taking the text in (a slow
  // console hands it over key by key, and Codex takes an Enter inside that for a new line).
  WriteBatch reply{{"reply", "\r"}, milliseconds(10)};
  reply.quiet = milliseconds(100);
  reply.quiet_bound = milliseconds(60000);
  // The agent draws until `drawn_until`: the Enter may not come before it has been quiet since.
  const Clock::time_point drawn_until = Clock::now() + milliseconds(300);
  activity_->note(drawn_until);
  ASSERT_TRUE(sender_.send(std::move(reply)));
  start();
  ASSERT_TRUE(journal_reaches([](const Journal& j) { return j.events.size() >= 4; }));
  // An agent that never goes quiet gets its Enter once the bound has passed.
  activity_->note(Clock::now() + std::chrono::hours(1));
  WriteBatch endless{{"again", "\r"}, {}};
  endless.quiet = milliseconds(100);
  endless.quiet_bound = milliseconds(200);
  ASSERT_TRUE(sender_.send(std::move(endless)));
  finish();
  const std::vector<Event> log = events();
  ASSERT_EQ(log.size(), 8u);
  EXPECT_GE(log[2].at - drawn_until, milliseconds(100));
  EXPECT_GE(log[6].at - log[4].at, milliseconds(200));
  EXPECT_LT(log[6].at - log[4].at, milliseconds(30000));
}

TEST_F(WriterTest, EachPieceWaitsForTheAgentToDrawAfterTheOneBefore) {
  // Guards against pieces of a long text piling up unread (Claude Code through a pseudo-console
  // takes a read of over 800 characters for a paste of its own and loses it).
  WriteBatch pieces{{"one", "two", "\r"}, {}};
  pieces.quiet = milliseconds(50);
  pieces.piece_bound = milliseconds(200);
  ASSERT_TRUE(sender_.send(std::move(pieces)));
  start();
  ASSERT_TRUE(journal_reaches([](const Journal& j) { return j.events.size() >= 6; }));
  // The agent draws until `drawn_until`: the next piece waits for the quiet after it.
  const Clock::time_point drawn_until = Clock::now() + milliseconds(300);
  activity_->note(drawn_until);
  WriteBatch drawn{{"three", "four", "\r"}, {}};
  drawn.quiet = milliseconds(50);
  drawn.piece_bound = milliseconds(60000);
  ASSERT_TRUE(sender_.send(std::move(drawn)));
  finish();
  const std::vector<Event> log = events();
  ASSERT_EQ(log.size(), 12u);
  // Nothing drawn after "one": "two" comes once the bound has passed, not before.
  EXPECT_GE(log[2].at - log[0].at, milliseconds(200));
  EXPECT_LT(log[2].at - log[0].at, milliseconds(30000));
  EXPECT_GE(log[8].at - drawn_until, milliseconds(50));
  EXPECT_LT(log[8].at - log[6].at, milliseconds(30000));
}

TEST_F(WriterTest, KeysTypedDuringAPauseLandAfterTheWholeBatch) {
  ASSERT_TRUE(sender_.send(WriteBatch{{"reply", "\r"}, milliseconds(200)}));
  start();
  ASSERT_TRUE(journal_reaches([](const Journal& j) { return !j.events.empty(); }));
  ASSERT_TRUE(sender_.send(WriteBatch{{"x"}, {}}));
  ASSERT_TRUE(sender_.send(WriteBatch{{"y"}, {}}));
  finish();
  EXPECT_EQ(written(), "reply\rxy");
}

TEST_F(WriterTest, WritesEverythingQueuedBeforeTheLastSenderWent) {
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(sender_.send(WriteBatch{{std::to_string(i % 10)}, {}}));
  sender_.release();
  start();
  thread_.join();
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += std::to_string(i % 10);
  EXPECT_EQ(written(), expected);
  std::lock_guard<std::mutex> lock(journal_->mutex);
  EXPECT_TRUE(journal_->closed);
}

TEST_F(WriterTest, AFailedWriteEndsTheWriterAndLaterSendsFail) {
  journal_->fail_on_write = 1;
  ASSERT_TRUE(sender_.send(WriteBatch{{"ok", "lost", "also lost"}, {}}));
  ASSERT_TRUE(sender_.send(WriteBatch{{"discarded"}, {}}));
  start();
  ASSERT_TRUE(journal_reaches([](const Journal& j) { return j.closed; }));
  WriteBatch late{{"late"}, {}};
  EXPECT_FALSE(sender_.send(std::move(late)));
  EXPECT_EQ(late.chunks.front(), "late");
  finish();
  EXPECT_EQ(written(), "ok");
}

TEST_F(WriterTest, NeverInterleavesBatchesFromConcurrentProducers) {
  constexpr int BATCHES = 200;
  start();
  std::vector<std::thread> producers;
  for (char c : {'a', 'b', 'c'}) {
    producers.emplace_back([c, own = sender_.clone()]() mutable {
      for (int i = 0; i < BATCHES; ++i) {
        ASSERT_TRUE(own.send(WriteBatch{{std::string(3, c), std::string(3, c)}, {}}));
      }
    });
  }
  for (std::thread& t : producers) t.join();
  finish();
  const std::string all = written();
  ASSERT_EQ(all.size(), 3u * BATCHES * 6);
  for (std::size_t i = 0; i < all.size(); i += 6) {
    EXPECT_EQ(all.substr(i, 6), std::string(6, all[i])) << "at " << i;
  }
}

TEST_F(WriterTest, SendingNeverWaitsForAWriterThatIsBusy) {
  journal_->hold_first_write = true;
  ASSERT_TRUE(sender_.send(WriteBatch{{"first"}, {}}));
  start();
  ASSERT_TRUE(journal_reaches([](const Journal& j) { return j.first_write_entered; }));
  // The writer is stuck inside a write; sends still go through at once.
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(sender_.send(WriteBatch{{"k"}, {}}));
  {
    std::lock_guard<std::mutex> lock(journal_->mutex);
    journal_->hold_first_write = false;
  }
  journal_->changed.notify_all();
  finish();
  EXPECT_EQ(written(), "first" + std::string(1000, 'k'));
}

}  // namespace
}  // namespace relay
