// Voice replies end to end: the real talvane in a terminal of its own, the fake agent on PATH,
// and the stand-in app in this process serving the data directory that talvane reads.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "standin/app.h"
#include "tests/support/launcher_process.h"
#include "tests/support/talvane_run.h"

namespace {

using standin::Endpoint;
using standin::RecordedRequest;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing_support::eventually;
using testing_support::LauncherProcess;
using testing_support::read_file;
using Requests = std::vector<RecordedRequest>;

constexpr milliseconds CODEX_PAUSE{250};

const std::string PASTE_START = "\x1b[200~";
const std::string PASTE_END = "\x1b[201~";
const std::string SNOWMAN = "\xE2\x98\x83";
const std::vector<std::string> BACK_TO_BACK = {"first\r\n", "second", "third " + SNOWMAN};

std::size_t count(const Requests& requests, Endpoint endpoint) {
  std::size_t n = 0;
  for (const RecordedRequest& r : requests) n += r.endpoint == endpoint;
  return n;
}

bool alive_and_not_a_zombie(pid_t pid) {
#ifndef __linux__
  // Without /proc a zombie counts as alive until talvane, its parent, reaps it on seeing the exit.
  return kill(pid, 0) == 0;
#else
  const std::optional<std::string> stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  // The state follows the command name, which is in parentheses.
  const std::size_t close = stat->rfind(')');
  return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] != 'Z';
#endif
}

class RepliesEndToEnd : public testing_support::TalvaneRun {
 protected:
  RepliesEndToEnd() : app_(app_options()) {}

  standin::App::Options app_options() const {
    standin::App::Options o;
    o.data_dir = data_.path();
    return o;
  }

  // Starts talvane for `agent` and waits until its reply poller has asked the app once and the
  // agent's FAKE_AGENT_PRINT has been shown: talvane takes in modes before it shows the bytes.
  std::unique_ptr<LauncherProcess> start_polling(const std::string& agent,
                                                 std::map<std::string, std::string> env = {}) {
    const std::string print = env["FAKE_AGENT_PRINT"];
    auto talvane = start(options({agent}, std::move(env)));
    EXPECT_TRUE(talvane->wait_for_output(print, BOUND)) << talvane->output();
    EXPECT_TRUE(
        app_.wait_until([](const Requests& r) { return count(r, Endpoint::Pending) > 0; }, BOUND))
        << "no poll; output: " << talvane->output();
    return talvane;
  }

  bool wait_for_requests(Endpoint endpoint, std::size_t n) {
    return app_.wait_until([&](const Requests& r) { return count(r, endpoint) >= n; }, BOUND);
  }

  void end_agent(LauncherProcess& talvane) {
    talvane.type(std::string(1, EXIT_KEY));
    EXPECT_EQ(talvane.wait_exit(BOUND), 0) << talvane.output();
  }

  // Queues BACK_TO_BACK at once: each is typed whole, in order, and acknowledged once.
  void expect_typed_in_turn(const std::string& agent, const std::string& expected) {
    auto talvane = start_polling(agent);
    for (const std::string& reply : BACK_TO_BACK) app_.queue_reply(reply);
    expect_received(expected);
    EXPECT_TRUE(wait_for_requests(Endpoint::Delivered, BACK_TO_BACK.size()));
    end_agent(*talvane);
    EXPECT_EQ(app_.requests_to(Endpoint::Delivered).size(), BACK_TO_BACK.size());
  }

  standin::App app_;
};

TEST_F(RepliesEndToEnd, AClaudeReplyIsOneBracketedPasteFollowedByEnter) {
  auto talvane = start_polling("claude");
  // Line breaks become LF; escape sequences and the paste end marker lose their ESC.
  const std::string text = "Voil\xC3\xA0 \xE2\x82\xAC\xF0\x9F\x98\x80 \x1b[1mbold\x1b[0m " +
                           PASTE_END + " one\r\ntwo\rthree\n";
  const std::string pasted =
      "Voil\xC3\xA0 \xE2\x82\xAC\xF0\x9F\x98\x80 [1mbold[0m [201~ one\ntwo\nthree\n";
  app_.queue_reply(text);
  expect_received(PASTE_START + pasted + PASTE_END + "\r");
  EXPECT_TRUE(wait_for_requests(Endpoint::Delivered, 1));
  end_agent(*talvane);
}

TEST_F(RepliesEndToEnd, ACodexReplyIsTextWithLineFeedsThenEnterAfterAPauseBeforeLaterKeys) {
  auto talvane = start_polling("codex");
  const std::string text =
      "\xC3\xBC"
      "ber\r\nzwei\rdrei\n\r\n\xE6\x97\xA5\t\x1b[A";
  const std::string converted =
      "\xC3\xBC"
      "ber\nzwei\ndrei\n\n\xE6\x97\xA5\t[A";
  const auto queued = steady_clock::now();
  app_.queue_reply(text);
  ASSERT_TRUE(eventually([&] { return received().size() >= converted.size(); }, BOUND));
  // A key typed now, inside the pause, is written only after the reply's Enter.
  const std::string before_key = received();
  talvane->type("k");
  EXPECT_EQ(before_key, converted) << "the Enter came with the text";
  ASSERT_TRUE(eventually([&] { return received().find('\r') != std::string::npos; }, BOUND));
  // The Enter cannot arrive before the app has handed out the reply and the pause has passed.
  EXPECT_GE(steady_clock::now() - queued, CODEX_PAUSE);
  expect_received(converted + "\r" + "k");
  end_agent(*talvane);
}

// Regression: a long reply typed into Codex key by key was taken for a paste burst of its own and
// never submitted; a terminal pastes into a program that has bracketed paste on as one paste.
TEST_F(RepliesEndToEnd, ACodexReplyIsOneBracketedPasteWhileTheAgentHasThePasteModeOn) {
  auto talvane = start_polling("codex", {{"FAKE_AGENT_PRINT", "\x1b[?2004h"}});
  app_.queue_reply("one\r\ntwo \xE2\x98\x83");
  expect_received(PASTE_START + "one\ntwo \xE2\x98\x83" + PASTE_END + "\r");
  end_agent(*talvane);
}

TEST_F(RepliesEndToEnd, ClaudeRepliesQueuedBackToBackArePastedWholeAndInOrder) {
  expect_typed_in_turn("claude", PASTE_START + "first\n" + PASTE_END + "\r" + PASTE_START +
                                     "second" + PASTE_END + "\r" + PASTE_START + "third " +
                                     SNOWMAN + PASTE_END + "\r");
}

TEST_F(RepliesEndToEnd, CodexRepliesQueuedBackToBackAreTypedWholeAndInOrder) {
  expect_typed_in_turn("codex", "first\n\rsecond\rthird " + SNOWMAN + "\r");
}

TEST_F(RepliesEndToEnd, AShutdownRequestEndsTalvaneWithZeroAndLeavesTheAgentRunning) {
  auto talvane = start_polling(
      "claude", {{"FAKE_AGENT_OUTLIVE", "1"}, {"FAKE_AGENT_PRINT", "\x1b[?2004h\x1b[?1004h"}});
  const std::string handle = app_.last_handle();
  app_.queue_reply("typed");
  // A reply that comes with the shutdown request is dropped: neither typed nor acknowledged.
  app_.queue_pending_body(R"({"reply":"dropped","shutdown_requested":true})");

  ASSERT_EQ(talvane->wait_exit(BOUND), 0) << talvane->output();
  const auto exited = steady_clock::now();
  EXPECT_EQ(received(), PASTE_START + "typed" + PASTE_END + "\r");

  const Requests requests = app_.requests();
  EXPECT_EQ(count(requests, Endpoint::Delivered), 1u);
  EXPECT_EQ(app_.requests_to(Endpoint::Delivered).at(0).handle, handle);
  EXPECT_EQ(count(requests, Endpoint::Deregister), 1u);
  // The last poll carried the shutdown; talvane was gone about a second after its answer.
  const Requests polls = app_.requests_to(Endpoint::Pending);
  ASSERT_TRUE(polls.back().answered.has_value());
  EXPECT_LT(exited - *polls.back().answered, std::chrono::seconds(3));
  expect_attributes_equal(talvane->terminal_attributes(), talvane->initial_attributes());
  // The agent is left running, but not its paste and focus modes in the user's terminal.
  EXPECT_TRUE(talvane->wait_for_output("\x1b[?2004l\x1b[?1004l", BOUND)) << talvane->output();

  const pid_t agent = static_cast<pid_t>(std::atoi(read_file(record("pid")).value_or("0").c_str()));
  ASSERT_GT(agent, 0);
  EXPECT_TRUE(alive_and_not_a_zombie(agent));
  kill(agent, SIGKILL);
  EXPECT_TRUE(eventually([&] { return !alive_and_not_a_zombie(agent); }, BOUND));
}

TEST_F(RepliesEndToEnd, PollsArePacedByTheApp) {
  // An app that answers at once with nothing is asked at most about once a second...
  app_.set_hold(milliseconds(0));
  auto talvane = start_polling("claude");
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, 4));
  Requests polls = app_.requests_to(Endpoint::Pending);
  for (std::size_t i = 1; i < 4; ++i) {
    const auto gap = polls[i].received - polls[i - 1].received;
    EXPECT_GE(gap, milliseconds(900)) << "poll " << i;
    EXPECT_LT(gap, milliseconds(5000)) << "poll " << i;
  }
  // ...and one that holds the poll is asked again as soon as it has answered.
  app_.set_hold(milliseconds(600));
  const std::size_t seen = app_.requests_to(Endpoint::Pending).size();
  ASSERT_TRUE(wait_for_requests(Endpoint::Pending, seen + 2));
  polls = app_.requests_to(Endpoint::Pending);
  const RecordedRequest& held = polls[seen];
  ASSERT_TRUE(held.answered.has_value());
  EXPECT_LT(polls[seen + 1].received - *held.answered, milliseconds(500));
  end_agent(*talvane);
}

TEST_F(RepliesEndToEnd, AFailedPollLeadsToANewRegistrationWhoseHandleIsPolled) {
  app_.set_hold(milliseconds(200));
  auto talvane = start_polling("claude");
  const std::string first = app_.last_handle();
  app_.set_session_handle("second-handle");
  standin::Answer not_found = standin::status_answer(404);
  not_found.once = true;
  app_.set_answer(Endpoint::Pending, not_found);

  ASSERT_TRUE(app_.wait_until(
      [](const Requests& r) {
        return std::any_of(r.begin(), r.end(), [](const RecordedRequest& q) {
          return q.endpoint == Endpoint::Pending && q.handle == "second-handle";
        });
      },
      BOUND));
  // Between the failed poll and the first poll with the new handle: one registration, and no
  // poll with the old handle after it.
  const Requests requests = app_.requests();
  std::size_t failed = requests.size(), registered = requests.size();
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const RecordedRequest& r = requests[i];
    if (r.endpoint == Endpoint::Pending && r.status == 404 && failed == requests.size()) failed = i;
    if ((r.endpoint == Endpoint::Register || r.endpoint == Endpoint::RegisterV2) && i > failed &&
        registered == requests.size()) {
      registered = i;
    }
  }
  ASSERT_LT(failed, requests.size());
  EXPECT_EQ(requests[failed].handle, first);
  ASSERT_LT(registered, requests.size());
  for (std::size_t i = registered + 1; i < requests.size(); ++i) {
    if (requests[i].endpoint == Endpoint::Pending) {
      EXPECT_EQ(requests[i].handle, "second-handle") << "request " << i;
    }
  }

  // Replies flow again, acknowledged under the new handle.
  app_.queue_reply("again");
  expect_received(PASTE_START + "again" + PASTE_END + "\r");
  ASSERT_TRUE(wait_for_requests(Endpoint::Delivered, 1));
  EXPECT_EQ(app_.requests_to(Endpoint::Delivered).at(0).handle, "second-handle");
  end_agent(*talvane);
}

}  // namespace
