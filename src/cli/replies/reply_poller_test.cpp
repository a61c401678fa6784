#include "cli/replies/reply_poller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "cli/replies/pending.h"
#include "cli/replies/reply_shaping.h"
#include "standin/app.h"

namespace replies {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using standin::Endpoint;
using standin::RecordedRequest;

constexpr auto GENEROUS = 10s;
// Slack for the time between the poller starting a poll and the app receiving it.
constexpr auto LATENCY_SLACK = 100ms;
constexpr std::chrono::milliseconds HOLD_FOREVER{std::chrono::minutes(10)};

// Polls `done` until it holds or the deadline passes.
template <class Predicate>
bool eventually(Predicate done, Clock::duration limit = GENEROUS) {
  const Clock::time_point until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A registered session with the stand-in app, the poller running on it, and a collector in the
// writer's place that keeps every batch the poller queues.
class ReplyPoller : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("poller-test-" + std::to_string(Clock::now().time_since_epoch().count()));
    standin::App::Options options;
    options.data_dir = dir_;
    options.hold = HOLD_FOREVER;
    app_ = std::make_unique<standin::App>(options);
    running_ = std::make_shared<std::atomic<bool>>(true);
  }

  void TearDown() override {
    running_->store(false);
    app_.reset();  // ends a held poll at once
    if (poller_.joinable()) poller_.join();
    if (collector_.joinable()) collector_.join();  // ends once the poller's sender is gone
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Registers a session for `agent` and starts the poller; the collector too, unless the test
  // wants to end the writer's side itself.
  void start(cli::AgentKind agent, bool collect = true) {
    session_ = std::make_shared<companion::ManagedSession>(agent, dir_.native(), "session-token",
                                                           std::nullopt, 1234);
    ASSERT_EQ(companion::register_session(*session_), companion::RegistrationStatus::Registered);
    auto [sender, receiver] = relay::make_write_queue();
    if (collect) {
      collector_ = std::thread([this, receiver = std::move(receiver)]() mutable {
        while (std::optional<relay::WriteBatch> batch = receiver.receive()) {
          std::lock_guard lock(mutex_);
          batches_.push_back(std::move(*batch));
          batch_arrived_.notify_all();
        }
      });
    } else {
      receiver_.emplace(std::move(receiver));
    }
    poller_ = std::thread(
        [this, running = running_, session = session_, sender = std::move(sender)]() mutable {
          run_reply_poller(std::move(running), std::move(session), std::move(sender), paste_mode_);
          ended_.set_value();
        });
  }

  bool poller_ended(Clock::duration limit = GENEROUS) {
    return ended_future_.wait_for(limit) == std::future_status::ready;
  }

  std::vector<relay::WriteBatch> wait_for_batches(std::size_t count) {
    std::unique_lock lock(mutex_);
    batch_arrived_.wait_for(lock, GENEROUS, [&] { return batches_.size() >= count; });
    return batches_;
  }

  std::size_t batch_count() {
    std::lock_guard lock(mutex_);
    return batches_.size();
  }

  bool wait_for_requests(Endpoint endpoint, std::size_t count) {
    return app_->wait_until(
        [&](const std::vector<RecordedRequest>& all) {
          return std::count_if(all.begin(), all.end(), [&](const RecordedRequest& r) {
                   return r.endpoint == endpoint;
                 }) >= static_cast<std::ptrdiff_t>(count);
        },
        GENEROUS);
  }

  std::filesystem::path dir_;
  std::unique_ptr<standin::App> app_;
  cli::RunningFlag running_;
  std::shared_ptr<relay::PasteMode> paste_mode_ = std::make_shared<relay::PasteMode>();
  companion::SharedSession session_;
  std::thread poller_;
  std::promise<void> ended_;
  std::future<void> ended_future_ = ended_.get_future();
  std::thread collector_;
  std::optional<relay::QueueReceiver> receiver_;
  std::mutex mutex_;
  std::condition_variable batch_arrived_;
  std::vector<relay::WriteBatch> batches_;  // GUARDED_BY(mutex_)
};

TEST_F(ReplyPoller, ClaudeReplyIsABracketedPasteThenEnterAcknowledgedOnce) {
  start(cli::AgentKind::Claude);
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 1));
  app_->queue_reply("fix it\r\nplease");
  const auto batches = wait_for_batches(1);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].chunks,
            (std::vector<std::string>{"\x1b[200~fix it\nplease\x1b[201~", "\r"}));
  EXPECT_EQ(batches[0].pause, replies::CLAUDE_ENTER_DELAY);

  // Acknowledged for the handle it was polled with, then polled again at once.
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 2));
  const auto acks = app_->requests_to(Endpoint::Delivered);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].handle, app_->last_handle());
  const auto polls = app_->requests_to(Endpoint::Pending);
  EXPECT_LT(polls[1].received - *acks[0].answered, 500ms);
}

// Regression: an app that answered every poll at once with a reply had the poller queue replies
// as fast as it could fetch them, so the queue grew without bound and keys waited behind them all.
TEST_F(ReplyPoller, PollsAgainOnlyOnceTheWriterIsDoneWithTheReply) {
  for (const char* reply : {"one", "two", "three"}) app_->queue_reply(reply);
  start(cli::AgentKind::Claude, /*collect=*/false);
  ASSERT_TRUE(wait_for_requests(Endpoint::Delivered, 1));
  const auto second_poll = [](const std::vector<RecordedRequest>& all) {
    return std::count_if(all.begin(), all.end(), [](const RecordedRequest& r) {
             return r.endpoint == Endpoint::Pending;
           }) > 1;
  };
  EXPECT_FALSE(app_->wait_until(second_poll, 300ms)) << "polled again with a reply queued";

  ASSERT_TRUE(receiver_->receive().has_value());  // the writer takes "one" and types it
  EXPECT_FALSE(app_->wait_until(second_poll, 100ms)) << "polled again while it was typed";
  // Back for more: the next poll brings "two", and no third poll is made before it is typed.
  const std::optional<relay::WriteBatch> two = receiver_->receive();
  ASSERT_TRUE(two.has_value());
  EXPECT_NE(two->chunks.at(0).find("two"), std::string::npos);
  EXPECT_EQ(app_->requests_to(Endpoint::Pending).size(), 2u);
}

TEST_F(ReplyPoller, CodexReplyIsPastedWhileTheAgentHasPasteOnAndTypedOtherwise) {
  start(cli::AgentKind::Codex);
  app_->queue_reply("one\r\ntwo\rthree");
  ASSERT_EQ(wait_for_batches(1).size(), 1u);
  paste_mode_->set(true);
  app_->queue_reply("second");
  const auto batches = wait_for_batches(2);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].chunks, (std::vector<std::string>{"one\ntwo\nthree", "\r"}));
  EXPECT_EQ(batches[0].pause, CODEX_ENTER_DELAY);
  EXPECT_EQ(batches[1].chunks, (std::vector<std::string>{"\x1b[200~second\x1b[201~", "\r"}));
  ASSERT_TRUE(wait_for_requests(Endpoint::Delivered, 2));
}

// Regression (the control-only replies): a reply that cleaning leaves empty was typed as an empty
// paste and Enter, which submitted the user's unfinished draft, and was acknowledged.
TEST_F(ReplyPoller, EmptyAnswersArePacedAndEmptyRepliesIgnored) {
  app_->set_hold(0ms);
  app_->queue_pending_body(R"({"reply":""})");
  app_->queue_pending_body(R"({"reply":"\u0007\u001b\u0003"})");
  app_->queue_pending_body(R"({"reply":"\u0080\u009b\u009f"})");
  start(cli::AgentKind::Claude);
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 4));
  const auto polls = app_->requests_to(Endpoint::Pending);
  for (std::size_t i = 1; i < polls.size(); ++i) {
    const auto gap = polls[i].received - polls[i - 1].received;
    EXPECT_GE(gap, MIN_POLL_SPACING - LATENCY_SLACK) << "poll " << i;
    EXPECT_LT(gap, MIN_POLL_SPACING + 1s) << "poll " << i;
  }
  EXPECT_EQ(batch_count(), 0u);
  EXPECT_TRUE(app_->requests_to(Endpoint::Delivered).empty());
}

TEST_F(ReplyPoller, PollHeldLongerThanTheSpacingIsFollowedAtOnce) {
  app_->set_hold(MIN_POLL_SPACING + 200ms);
  start(cli::AgentKind::Claude);
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 2));
  const auto polls = app_->requests_to(Endpoint::Pending);
  ASSERT_TRUE(polls[0].answered);
  EXPECT_LT(polls[1].received - *polls[0].answered, 500ms);
}

TEST_F(ReplyPoller, FailedPollGivesTheRegistrationUpAndTheNewHandleIsPolled) {
  struct Case {
    const char* what;
    standin::Answer answer;
  };
  const Case cases[] = {
      {"404", standin::status_answer(404)},
      {"duplicate reply", standin::status_answer(200, R"({"reply":"a","reply":"b"})")},
  };
  app_->set_hold(0ms);
  start(cli::AgentKind::Claude);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string old_handle = app_->last_handle();
    ASSERT_TRUE(
        eventually([&] { return companion::registration_snapshot(*session_).has_value(); }));
    standin::Answer once = c.answer;
    once.once = true;
    app_->set_answer(Endpoint::Pending, once);
    ASSERT_TRUE(eventually([&] { return !companion::registration_snapshot(*session_); }));

    // What the keeper thread would do: register anew, which brings a new handle.
    ASSERT_EQ(companion::register_session(*session_), companion::RegistrationStatus::Registered);
    const std::string new_handle = app_->last_handle();
    ASSERT_NE(new_handle, old_handle);
    ASSERT_TRUE(app_->wait_until([&](const auto& all) { return all.back().handle == new_handle; },
                                 GENEROUS));
  }
  EXPECT_EQ(batch_count(), 0u);
}

TEST_F(ReplyPoller, ShutdownRequestSetsTheFlagDropsTheReplyAndEnds) {
  app_->queue_pending_body(R"({"reply":"dropped","shutdown_requested":true})");
  start(cli::AgentKind::Claude);
  ASSERT_TRUE(poller_ended());
  EXPECT_TRUE(session_->shutdown_requested.load());
  EXPECT_EQ(batch_count(), 0u);
  EXPECT_TRUE(app_->requests_to(Endpoint::Delivered).empty());
}

TEST_F(ReplyPoller, ClosedQueueEndsThePollerWithoutAcknowledging) {
  start(cli::AgentKind::Codex, /*collect=*/false);
  receiver_->release();  // the writer has ended
  app_->queue_reply("never typed");
  ASSERT_TRUE(poller_ended());
  EXPECT_TRUE(app_->requests_to(Endpoint::Delivered).empty());
  EXPECT_FALSE(session_->shutdown_requested.load());
}

TEST_F(ReplyPoller, FailedAcknowledgementDoesNotDelayTheNextPoll) {
  app_->set_answer(Endpoint::Delivered, standin::status_answer(500));
  start(cli::AgentKind::Claude);
  app_->queue_reply("one");
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 2));
  const auto acks = app_->requests_to(Endpoint::Delivered);
  ASSERT_EQ(acks.size(), 1u);
  ASSERT_TRUE(acks[0].answered);
  EXPECT_LT(app_->requests_to(Endpoint::Pending)[1].received - *acks[0].answered, 500ms);
  EXPECT_EQ(wait_for_batches(1).size(), 1u);
}

TEST_F(ReplyPoller, ReplyBroughtAfterTheRunEndedIsStillTypedThenThePollerStops) {
  start(cli::AgentKind::Claude);
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 1));
  running_->store(false);
  app_->queue_reply("late");
  ASSERT_TRUE(poller_ended());
  EXPECT_EQ(wait_for_batches(1).size(), 1u);
  EXPECT_EQ(app_->requests_to(Endpoint::Delivered).size(), 1u);
  EXPECT_EQ(app_->requests_to(Endpoint::Pending).size(), 1u);
}

TEST_F(ReplyPoller, StopsAfterTheSleepWhenTheRunEndsDuringItAndPollsNoMore) {
  app_->set_answer(Endpoint::Pending, standin::status_answer(404));
  start(cli::AgentKind::Claude);
  ASSERT_TRUE(eventually([&] { return !companion::registration_snapshot(*session_); }));
  running_->store(false);
  EXPECT_TRUE(poller_ended(POLLER_RETRY_DELAY * 5));
  EXPECT_EQ(app_->requests_to(Endpoint::Pending).size(), 1u);
}

}  // namespace
}  // namespace replies
