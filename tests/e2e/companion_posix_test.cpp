// The real talvane with the fake agent and the stand-in app: what it registers, the notices it
// prints, how it follows the app, and how it withdraws.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "standin/app.h"
#include "tests/support/launcher_process.h"
#include "tests/support/talvane_run.h"

namespace {

using Clock = std::chrono::steady_clock;
using standin::Endpoint;
using standin::RecordedRequest;
using std::chrono::milliseconds;
using testing_support::LauncherProcess;
using testing_support::read_file;
using Requests = std::vector<RecordedRequest>;
using Headers = std::vector<std::pair<std::string, std::string>>;
using namespace std::string_literals;

// The keeper checks once a second; a re-registration must follow a change within this.
constexpr milliseconds KEEPER_BOUND{3000};
// The end-of-run withdrawal waits 3 s for an app that never answers.
constexpr milliseconds END_WAIT_LEAST{2500};
constexpr milliseconds END_WAIT_MOST{4500};

// The agent prints this first, so everything before it came from talvane.
const std::string AGENT_MARK = "<agent>";

// As they appear on the terminal, which turns each line feed into CR LF before the run.
std::string on_terminal(std::string text) {
  for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
    text.insert(at, 1, '\r');
  }
  return text;
}

const std::string TERMINAL_CLAUDE = on_terminal(
    "Voice replies are tested in Windows Terminal only.\nThey may still work here. Claude works "
    "exactly as usual.\n");
const std::string TERMINAL_CODEX = on_terminal(
    "Voice replies are tested in Windows Terminal only.\nThey may still work here. Codex works "
    "exactly as usual.\n");
std::string not_connected(const std::string& name) {
  return on_terminal(name +
                     " is not connected, so voice replies are off.\nConnect it in Talvane "
                     "under Experimental.\n" +
                     name + " works exactly as usual.\n");
}
std::string too_old(const std::string& name) {
  return on_terminal(name + " voice replies need a newer Talvane version.\n" + name +
                     " works exactly as usual.\n");
}
const std::string REMOTE = on_terminal(
    "Voice replies are off for remote Codex sessions.\nCodex works exactly as usual.\n");

bool is_register(const RecordedRequest& r) {
  return r.endpoint == Endpoint::Register || r.endpoint == Endpoint::RegisterV2;
}

std::size_t count(const Requests& requests, bool (*which)(const RecordedRequest&)) {
  return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), which));
}

std::string header(const RecordedRequest& request, const std::string& name) {
  for (const auto& [n, v] : request.headers) {
    if (n == name) return v;
  }
  return "";
}

// The headers the launcher sets itself, in the order received (names lower-cased).
Headers launcher_headers(const RecordedRequest& request) {
  Headers own;
  for (auto [name, value] : request.headers) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "content-type" || name == "x-talvane-session-token") own.emplace_back(name, value);
  }
  return own;
}

// One line per request, with its times in milliseconds since the first one: for failures.
std::string describe(const Requests& requests) {
  std::string text;
  const auto since = [&](Clock::time_point t) {
    return std::to_string(
        std::chrono::duration_cast<milliseconds>(t - requests.front().received).count());
  };
  for (const RecordedRequest& r : requests) {
    text += r.method + " " + r.target + " received " + since(r.received) + " answered " +
            (r.answered ? std::to_string(r.status) + " at " + since(*r.answered) : "-") + "\n";
  }
  return text;
}

class CompanionEndToEnd : public testing_support::TalvaneRun {
 protected:
  // A stand-in app writing its discovery files into the data directory; a later one takes the
  // port files over from the earlier ones, which go on listening.
  standin::App& start_app(std::string token = "cap-1") {
    standin::App::Options o;
    o.data_dir = data_.path();
    o.token = std::move(token);
    apps_.push_back(std::make_unique<standin::App>(o));
    EXPECT_NE(apps_.back()->port(), 0);
    return *apps_.back();
  }

  // The value the agent found in its environment, or nothing.
  std::optional<std::string> agent_env(const std::string& name) const {
    const std::string all = read_file(record("env")).value_or("");
    const std::string key = name + "=";
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t end = std::min(all.find('\0', at), all.size());
      if (all.compare(at, key.size(), key) == 0) {
        return all.substr(at + key.size(), end - at - key.size());
      }
      at = end + 1;
    }
    return std::nullopt;
  }

  std::string session_token() const { return agent_env("TALVANE_SESSION_TOKEN").value_or(""); }

  // Everything talvane wrote before the agent's first output.
  static std::string before_agent(const LauncherProcess& talvane) {
    EXPECT_TRUE(talvane.wait_for_output(AGENT_MARK, BOUND)) << talvane.output();
    const std::string output = talvane.output();
    return output.substr(0, output.find(AGENT_MARK));
  }

  // Waits for a registration that satisfies `which`; the first such one.
  static std::optional<RecordedRequest> wait_for_register(
      const standin::App& app, const std::function<bool(const RecordedRequest&)>& which) {
    std::optional<RecordedRequest> found;
    app.wait_until(
        [&](const Requests& requests) {
          for (const RecordedRequest& r : requests) {
            if (is_register(r) && which(r)) {
              found = r;
              return true;
            }
          }
          return false;
        },
        BOUND);
    return found;
  }

  // Expects exactly one withdrawal in all the apps, with the session token, made with the
  // capability token `token` to `port`.
  void expect_one_withdrawal(const std::string& token, unsigned short port) const {
    Requests withdrawals;
    for (const auto& app : apps_) {
      for (const RecordedRequest& r : app->requests_to(Endpoint::Deregister)) {
        withdrawals.push_back(r);
      }
    }
    std::string seen;
    for (const auto& app : apps_) seen += describe(app->requests());
    ASSERT_EQ(withdrawals.size(), 1u) << seen;
    EXPECT_EQ(withdrawals[0].body, R"({"token":")" + session_token() + "\"}");
    EXPECT_EQ(launcher_headers(withdrawals[0]),
              (Headers{{"content-type", "application/json"}, {"x-talvane-session-token", token}}));
    EXPECT_EQ(withdrawals[0].port, port);
  }

  LauncherProcess::Options with_mark(std::vector<std::string> args,
                                     std::map<std::string, std::string> env = {}) const {
    env["FAKE_AGENT_PRINT"] = AGENT_MARK;
    return options(std::move(args), env);
  }

  std::vector<std::unique_ptr<standin::App>> apps_;
};

TEST_F(CompanionEndToEnd, RegistersWithTheLaunchersPidAndCwdAndTheAgentsTokenThenWithdrawsOnce) {
  const std::string cwd = std::filesystem::canonical(work_.path()).string();
  for (const std::string agent : {"claude", "codex"}) {
    SCOPED_TRACE(agent);
    apps_.clear();
    standin::App& app = start_app();
    auto talvane = start(options({agent}));
    const Requests requests = app.requests();  // the registration came before the agent
    ASSERT_FALSE(requests.empty());
    ASSERT_TRUE(is_register(requests[0]));
    EXPECT_EQ(count(requests, is_register), 1u);
    const RecordedRequest& r = requests[0];

    const std::string token = session_token();
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    const std::string fields = R"("cwd":")" + cwd + R"(","pid":)" + std::to_string(talvane->pid()) +
                               R"(,"token":")" + token + "\"}";
    if (agent == "claude") {
      EXPECT_EQ(r.target, "/api/managed-sessions/register");
      EXPECT_EQ(r.body, "{" + fields);
    } else {
      EXPECT_EQ(r.target, "/api/managed-sessions/v2/register");
      EXPECT_EQ(r.body, R"({"agent":"codex",)" + fields);
    }
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(launcher_headers(r), (Headers{{"content-type", "application/json"},
                                            {"x-talvane-session-token", "cap-1"}}));

    end_agent(*talvane);
    expect_one_withdrawal("cap-1", app.port());
    EXPECT_EQ(count(app.requests(), is_register), 1u);
  }
}

TEST_F(CompanionEndToEnd, NoticesFollowTheFirstAttempt) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool app;
    std::optional<std::pair<Endpoint, standin::Answer>> answer;
    std::map<std::string, std::string> env;
    std::string expected;
  };
  const std::string V1_ANSWER = R"({"session_handle":"h"})";
  const std::vector<Case> cases = {
      {"absent app", {"claude"}, false, std::nullopt, {}, TERMINAL_CLAUDE},
      {"Claude not connected",
       {"claude"},
       true,
       {{Endpoint::Register, standin::status_answer(409)}},
       {},
       TERMINAL_CLAUDE + not_connected("Claude")},
      {"Codex not connected, in Windows Terminal",
       {"codex"},
       true,
       {{Endpoint::RegisterV2, standin::status_answer(409)}},
       {{"WT_SESSION", "1"}},
       not_connected("Codex")},
      {"Codex, an app without the v2 endpoint",
       {"codex"},
       true,
       {{Endpoint::RegisterV2, standin::status_answer(404)}},
       {},
       TERMINAL_CODEX + too_old("Codex")},
      {"Codex, an answer without protocol_version",
       {"codex"},
       true,
       {{Endpoint::RegisterV2, standin::status_answer(200, V1_ANSWER)}},
       {},
       TERMINAL_CODEX + too_old("Codex")},
      {"Claude, an app without the v2 endpoint",
       {"claude"},
       true,
       {{Endpoint::Register, standin::status_answer(404)}},
       {},
       TERMINAL_CLAUDE},
      {"Claude registered", {"claude"}, true, std::nullopt, {}, TERMINAL_CLAUDE},
      {"Codex registered, WT_SESSION empty",
       {"codex"},
       true,
       std::nullopt,
       {{"WT_SESSION", ""}},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    apps_.clear();
    for (const auto& file : std::filesystem::directory_iterator(data_.path())) {
      std::filesystem::remove(file.path());
    }
    if (c.app) {
      standin::App& app = start_app();
      if (c.answer) app.set_answer(c.answer->first, c.answer->second);
    }
    auto env = c.env;
    env["FAKE_AGENT_EXIT_AT_ONCE"] = "1";
    auto talvane = start(with_mark(c.args, env));
    EXPECT_EQ(before_agent(*talvane), c.expected);
    EXPECT_EQ(talvane->wait_exit(BOUND), 0);
    if (c.app) {
      EXPECT_GE(count(apps_[0]->requests(), is_register), 1u);
    }
  }
}

TEST_F(CompanionEndToEnd, RemoteCodexRunSendsNothingAndLeavesTheSessionTokenAlone) {
  standin::App& app = start_app();
  const std::vector<std::optional<std::string>> inherits = {std::nullopt, "theirs"};
  for (const std::optional<std::string>& inherited : inherits) {
    SCOPED_TRACE(inherited.value_or("not inherited"));
    std::map<std::string, std::string> env;
    if (inherited) env["TALVANE_SESSION_TOKEN"] = *inherited;
    auto talvane = start(with_mark({"codex", "resume", "--remote"}, env));
    EXPECT_EQ(before_agent(*talvane), TERMINAL_CODEX + REMOTE);
    EXPECT_EQ(read_file(record("argv")), agent_path("codex") + "\0resume\0--remote\0"s);
    EXPECT_EQ(agent_env("TALVANE_SESSION_TOKEN"), inherited);
    end_agent(*talvane);
  }
  EXPECT_TRUE(app.requests().empty());
}

TEST_F(CompanionEndToEnd, FollowsPortChangesAndWithdrawsOnlyAtTheLastPort) {
  standin::App& first = start_app();
  auto talvane = start(options({"claude"}));

  // The app restarts on another port.
  const auto restarted = Clock::now();
  const unsigned short new_port = first.restart_on_new_port();
  const auto again = wait_for_register(first, [&](const auto& r) { return r.port == new_port; });
  ASSERT_TRUE(again);
  EXPECT_LT(again->received - restarted, KEEPER_BOUND);

  // Another app takes the port file over while the first one goes on listening: the first is
  // simply left, without a withdrawal.
  const auto moved = Clock::now();
  standin::App& second = start_app();
  const auto there = wait_for_register(second, [](const auto&) { return true; });
  ASSERT_TRUE(there);
  EXPECT_LT(there->received - moved, KEEPER_BOUND);

  end_agent(*talvane);
  expect_one_withdrawal("cap-1", second.port());
}

TEST_F(CompanionEndToEnd, FollowsATokenChangeAndWithdrawsWithTheNewToken) {
  standin::App& app = start_app();
  auto talvane = start(options({"codex"}));
  const auto changed = Clock::now();
  app.change_token("cap-2");
  const auto again = wait_for_register(
      app, [](const auto& r) { return header(r, "x-talvane-session-token") == "cap-2"; });
  ASSERT_TRUE(again);
  EXPECT_LT(again->received - changed, KEEPER_BOUND);
  end_agent(*talvane);
  expect_one_withdrawal("cap-2", app.port());
}

TEST_F(CompanionEndToEnd, ATokenChangeDuringTheFirstAttemptDiscardsItsAnswer) {
  standin::App& app = start_app();
  standin::Answer slow = standin::status_answer(200, R"({"session_handle":"discarded"})");
  slow.delay = milliseconds(1000);
  slow.once = true;
  app.set_answer(Endpoint::Register, slow);
  LauncherProcess talvane(with_mark({"claude"}));
  ASSERT_TRUE(talvane.started()) << talvane.start_error();
  ASSERT_TRUE(app.wait_until([](const Requests& r) { return !r.empty(); }, BOUND));
  app.change_token("cap-2");
  const auto changed = Clock::now();

  EXPECT_EQ(before_agent(talvane), TERMINAL_CLAUDE);  // no registration, and no notice for it
  ASSERT_TRUE(wait_for_register(
      app, [](const auto& r) { return header(r, "x-talvane-session-token") == "cap-2"; }));
  end_agent(talvane);
  const RecordedRequest first = app.requests().front();
  ASSERT_TRUE(first.answered);
  EXPECT_GT(*first.answered, changed);
  // Had the first answer been kept, the reply poller would have used its handle at once.
  for (const RecordedRequest& poll : app.requests_to(Endpoint::Pending)) {
    EXPECT_NE(poll.handle, "discarded");
  }
  expect_one_withdrawal("cap-2", app.port());
}

TEST_F(CompanionEndToEnd, AnAppStartingAfterTheLauncherIsRegisteredByTheKeeper) {
  auto talvane = start(with_mark({"claude"}));
  EXPECT_EQ(before_agent(*talvane), TERMINAL_CLAUDE);
  const auto started = Clock::now();
  standin::App& app = start_app();
  const auto first = wait_for_register(app, [](const auto&) { return true; });
  ASSERT_TRUE(first);
  EXPECT_LT(first->received - started, KEEPER_BOUND);
  EXPECT_EQ(talvane->output().find(AGENT_MARK) + AGENT_MARK.size(), talvane->output().size())
      << "nothing more is printed";
  end_agent(*talvane);
  expect_one_withdrawal("cap-1", app.port());
}

TEST_F(CompanionEndToEnd, ARegistrationMadeAsTheRunEndsIsStillWithdrawn) {
  // Regression: when the run ended while the keeper's attempt was under way, the final
  // withdrawal found nothing yet and the process ended before the keeper could withdraw what
  // its attempt then stored, leaving the session registered with the app.
  standin::App& app = start_app();
  app.set_answer(Endpoint::Register, standin::status_answer(500));
  auto talvane = start(options({"claude"}));
  standin::Answer late = standin::status_answer(200, R"({"session_handle":"late"})");
  late.delay = milliseconds(1500);
  const auto switched = Clock::now();
  app.set_answer(Endpoint::Register, late);
  ASSERT_TRUE(wait_for_register(app, [&](const auto& r) { return r.received > switched; }));
  end_agent(*talvane);
  expect_one_withdrawal("cap-1", app.port());
}

TEST_F(CompanionEndToEnd, AWithdrawalThatIsNeverAnsweredHoldsTheEndForAboutThreeSeconds) {
  standin::App& app = start_app();
  standin::Answer never;
  never.never_answer = true;
  app.set_answer(Endpoint::Deregister, never);
  auto talvane = start(options({"claude"}, {{"FAKE_AGENT_EXIT_AT_ONCE", "1"}}));
  ASSERT_TRUE(app.wait_until(
      [](const Requests& r) {
        return std::any_of(r.begin(), r.end(),
                           [](const auto& q) { return q.endpoint == Endpoint::Deregister; });
      },
      BOUND));
  EXPECT_EQ(talvane->wait_exit(BOUND), 0);
  const auto waited = Clock::now() - app.requests_to(Endpoint::Deregister)[0].received;
  EXPECT_GT(waited, END_WAIT_LEAST);
  EXPECT_LT(waited, END_WAIT_MOST);
  EXPECT_EQ(app.requests_to(Endpoint::Deregister).size(), 1u);
}

TEST_F(CompanionEndToEnd, AHangupWithdrawsOnceAndRestoresTheTerminal) {
  standin::App& app = start_app();
  auto talvane = start(options({"claude"}));
  talvane->send_signal(SIGHUP);
  EXPECT_EQ(talvane->wait_exit(BOUND), 128 + SIGHUP);
  expect_one_withdrawal("cap-1", app.port());
  expect_attributes_equal(talvane->terminal_attributes(), talvane->initial_attributes());
}

TEST_F(CompanionEndToEnd, ASignalWhileTheAppIsSlowToAnswerTheFirstRegistrationStillWithdrawsIt) {
  // Regression: a signal during the first registration ended talvane before anything could
  // withdraw, and the app then completed a registration that nobody ever withdrew.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    standin::App& app = start_app();
    standin::Answer slow = standin::status_answer(200, R"({"session_handle":"h"})");
    slow.delay = milliseconds(3000);
    slow.once = true;
    app.set_answer(Endpoint::Register, slow);
    LauncherProcess talvane(options({"claude"}));
    ASSERT_TRUE(talvane.started()) << talvane.start_error();
    ASSERT_TRUE(app.wait_until([](const Requests& r) { return !r.empty(); }, BOUND));
    talvane.send_signal(sig);
    EXPECT_EQ(talvane.wait_exit(BOUND), 128 + sig) << sig;
    const std::string registered = app.requests().front().body;
    const std::string token = registered.substr(registered.find(R"("token":")") + 9, 64);
    const Requests withdrawals = app.requests_to(Endpoint::Deregister);
    ASSERT_EQ(withdrawals.size(), 1u) << sig << "\n" << describe(app.requests());
    EXPECT_EQ(withdrawals[0].body, R"({"token":")" + token + "\"}");
    expect_attributes_equal(talvane.terminal_attributes(), talvane.initial_attributes());
  }
}

}  // namespace
