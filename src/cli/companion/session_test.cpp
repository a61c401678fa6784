#include "cli/companion/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "cli/companion/discovery.h"
#include "cli/companion/http.h"
#include "platform/process.h"
#include "standin/app.h"
#include "tests/support/temp_dir.h"

namespace companion {
namespace {

using cli::AgentKind;
using standin::Answer;
using standin::Endpoint;
using standin::RecordedRequest;
using standin::status_answer;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds GENEROUS{10000};
// Long enough for the test thread to act while an answer is held back.
constexpr std::chrono::milliseconds HELD_ANSWER{2000};
const std::string SESSION_TOKEN(64, 'a');
const std::string CODEX_OK = R"({"protocol_version":2,"agent":"codex","session_handle":"h1"})";

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + GENEROUS;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

std::string header(const RecordedRequest& request, std::string_view name) {
  for (const auto& [n, v] : request.headers) {
    if (n == name) return v;
  }
  return "";
}

Endpoint register_endpoint(AgentKind agent) {
  return agent == AgentKind::Codex ? Endpoint::RegisterV2 : Endpoint::Register;
}

class ManagedSessionTest : public ::testing::Test {
 protected:
  ManagedSessionTest() { app_.set_session_handle("h1"); }

  void write_port(unsigned short port) const {
    const std::string content = R"({"port":)" + std::to_string(port) + "}";
    dir_.write(CLAUDE_PORT_FILE, content);
    dir_.write(CODEX_PORT_FILE, content);
  }

  SharedSession session(AgentKind agent, std::optional<std::string> cwd = "/w") const {
    return std::make_shared<ManagedSession>(agent, dir_.os_path(), SESSION_TOKEN, std::move(cwd),
                                            4242);
  }

  std::size_t count(Endpoint endpoint) const { return app_.requests_to(endpoint).size(); }

  testing_support::TempDir dir_;
  standin::App app_{{dir_.path(), "cap-1"}};
};

TEST_F(ManagedSessionTest, ClaudeRegistersWithItsBodyByteForByte) {
  const SharedSession s = session(AgentKind::Claude, R"(C:\work\app)");
  EXPECT_EQ(register_session(*s), RegistrationStatus::Registered);

  const auto requests = app_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].endpoint, Endpoint::Register);
  EXPECT_EQ(header(requests[0], "x-talvane-session-token"), "cap-1");
  EXPECT_EQ(requests[0].body,
            R"({"cwd":"C:\\work\\app","pid":4242,"token":")" + SESSION_TOKEN + R"("})");

  const std::optional<Registration> stored = registration_snapshot(*s);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->base_url, base_url(app_.port()));
  EXPECT_EQ(stored->capability_token, "cap-1");
  EXPECT_EQ(stored->session_handle, "h1");
}

TEST_F(ManagedSessionTest, RegisterBodiesPerAgentAndKnownDirectory) {
  const struct {
    AgentKind agent;
    std::optional<std::string> cwd;
    std::string body;
  } cases[] = {
      {AgentKind::Claude, std::nullopt, R"({"pid":4242,"token":")" + SESSION_TOKEN + "\"}"},
      {AgentKind::Codex, "/w",
       R"({"agent":"codex","cwd":"/w","pid":4242,"token":")" + SESSION_TOKEN + "\"}"},
      {AgentKind::Codex, std::nullopt,
       R"({"agent":"codex","pid":4242,"token":")" + SESSION_TOKEN + "\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(register_session(*session(c.agent, c.cwd)), RegistrationStatus::Registered);
    const auto requests = app_.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().endpoint, register_endpoint(c.agent));
    EXPECT_EQ(requests.back().body, c.body);
  }
}

TEST_F(ManagedSessionTest, StatusFollowsTheAppsAnswer) {
  const std::string big(MAX_ANSWER_BYTES + 1, ' ');
  const struct {
    const char* name;
    AgentKind agent;
    Answer answer;
    RegistrationStatus status;
  } cases[] = {
      {"409 claude", AgentKind::Claude, status_answer(409), RegistrationStatus::NotConnected},
      {"409 codex", AgentKind::Codex, status_answer(409), RegistrationStatus::NotConnected},
      {"404 claude", AgentKind::Claude, status_answer(404), RegistrationStatus::NotRegistered},
      {"404 codex", AgentKind::Codex, status_answer(404), RegistrationStatus::AppTooOld},
      {"500", AgentKind::Codex, status_answer(500), RegistrationStatus::NotRegistered},
      {"201", AgentKind::Codex, status_answer(201, CODEX_OK), RegistrationStatus::NotRegistered},
      {"204", AgentKind::Claude, status_answer(204, ""), RegistrationStatus::NotRegistered},
      {"garbage claude", AgentKind::Claude, status_answer(200, "<html>"),
       RegistrationStatus::NotRegistered},
      {"garbage codex", AgentKind::Codex, status_answer(200, "<html>"),
       RegistrationStatus::AppTooOld},
      {"oversized codex", AgentKind::Codex, status_answer(200, big + CODEX_OK),
       RegistrationStatus::AppTooOld},
      {"v1 answer to codex", AgentKind::Codex, status_answer(200, R"({"session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"version 2.0", AgentKind::Codex,
       status_answer(200, R"({"protocol_version":2.0,"agent":"codex","session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"version \"2\"", AgentKind::Codex,
       status_answer(200, R"({"protocol_version":"2","agent":"codex","session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"agent claude", AgentKind::Codex,
       status_answer(200, R"({"protocol_version":2,"agent":"claude","session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"v2 without handle", AgentKind::Codex,
       status_answer(200, R"({"protocol_version":2,"agent":"codex"})"),
       RegistrationStatus::NotRegistered},
      {"numeric handle", AgentKind::Claude, status_answer(200, R"({"session_handle":5})"),
       RegistrationStatus::NotRegistered},
      {"array answer", AgentKind::Claude, status_answer(200, R"([{"session_handle":"h"}])"),
       RegistrationStatus::NotRegistered},
      {"v1 answer claude", AgentKind::Claude,
       status_answer(200, R"({"protocol_version":1,"agent":"x","session_handle":"h"})"),
       RegistrationStatus::Registered},
      {"empty handle", AgentKind::Claude, status_answer(200, R"({"session_handle":""})"),
       RegistrationStatus::Registered},
      {"v2 codex", AgentKind::Codex, status_answer(200, CODEX_OK), RegistrationStatus::Registered},
      // Numbers out of a double's range where nothing looks at them.
      {"huge extra numbers", AgentKind::Claude,
       status_answer(200,
                     R"({"pid":1e400,"id":)" + std::string(400, '9') + R"(,"session_handle":"h"})"),
       RegistrationStatus::Registered},
  };
  for (const auto& c : cases) {
    app_.set_answer(register_endpoint(c.agent), c.answer);
    const SharedSession s = session(c.agent);
    EXPECT_EQ(register_session(*s), c.status) << c.name;
    EXPECT_EQ(registration_snapshot(*s).has_value(), c.status == RegistrationStatus::Registered)
        << c.name;
  }
}

TEST_F(ManagedSessionTest, CodexAgainstAnAppWithoutV2) {
  testing_support::TempDir other;
  standin::App old_app({other.path(), "cap-old", true, /*v2=*/false});
  const auto codex =
      std::make_shared<ManagedSession>(AgentKind::Codex, other.os_path(), SESSION_TOKEN, "/w", 1);
  EXPECT_EQ(register_session(*codex), RegistrationStatus::AppTooOld);
  EXPECT_FALSE(registration_snapshot(*codex));
}

TEST_F(ManagedSessionTest, NoTokenMeansNoRequest) {
  dir_.remove(TOKEN_FILE);
  EXPECT_EQ(register_session(*session(AgentKind::Claude)), RegistrationStatus::NotRegistered);
  dir_.write(TOKEN_FILE, R"({"token":""})");
  EXPECT_EQ(register_session(*session(AgentKind::Claude)), RegistrationStatus::NotRegistered);
  EXPECT_TRUE(app_.requests().empty());
}

TEST_F(ManagedSessionTest, AbsentAppIsNotRegistered) {
  {
    testing_support::TempDir other;
    standin::App gone({other.path()});
    write_port(gone.port());
  }
  EXPECT_EQ(register_session(*session(AgentKind::Claude)), RegistrationStatus::NotRegistered);
}

TEST_F(ManagedSessionTest, TokenChangedDuringTheAttemptStoresNothing) {
  Answer held = status_answer(200, R"({"session_handle":"h1"})");
  held.delay = HELD_ANSWER;
  held.once = true;
  app_.set_answer(Endpoint::Register, held);
  std::thread app_restarts_with_new_token([this] {
    app_.wait_until([](const auto& requests) { return !requests.empty(); }, GENEROUS);
    app_.change_token("cap-2");
  });
  const SharedSession s = session(AgentKind::Claude);
  EXPECT_EQ(register_session(*s), RegistrationStatus::NotRegistered);
  app_restarts_with_new_token.join();
  EXPECT_FALSE(registration_snapshot(*s));

  // The next attempt uses the token the file now holds.
  EXPECT_EQ(register_session(*s), RegistrationStatus::Registered);
  EXPECT_EQ(header(app_.requests().back(), "x-talvane-session-token"), "cap-2");
  EXPECT_EQ(registration_snapshot(*s)->capability_token, "cap-2");
}

TEST_F(ManagedSessionTest, FailedAttemptKeepsTheStoredRegistration) {
  const SharedSession s = session(AgentKind::Codex);
  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  app_.set_answer(Endpoint::RegisterV2, status_answer(500));
  EXPECT_EQ(register_session(*s), RegistrationStatus::NotRegistered);
  ASSERT_TRUE(registration_snapshot(*s));
  EXPECT_EQ(registration_snapshot(*s)->session_handle, "h1");
}

TEST_F(ManagedSessionTest, RegistrationIsCurrentWhileTokenAndPortAreUnchanged) {
  const SharedSession s = session(AgentKind::Claude);
  EXPECT_FALSE(registration_is_current(*s));
  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  EXPECT_TRUE(registration_is_current(*s));

  dir_.write(CLAUDE_PORT_FILE, R"({"port":1})");
  EXPECT_FALSE(registration_is_current(*s));
  write_port(app_.port());
  dir_.write(CODEX_PORT_FILE, R"({"port":1})");  // the other agent's file does not matter
  EXPECT_TRUE(registration_is_current(*s));

  dir_.write(TOKEN_FILE, R"({"token":"cap-2"})");
  EXPECT_FALSE(registration_is_current(*s));
  dir_.remove(TOKEN_FILE);
  EXPECT_FALSE(registration_is_current(*s));
}

TEST_F(ManagedSessionTest, ForgetClearsOnlyTheNamedRegistration) {
  const SharedSession s = session(AgentKind::Claude);
  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  forget_registration(*s, "older-handle");
  EXPECT_TRUE(registration_snapshot(*s));
  forget_registration(*s, "h1");
  EXPECT_FALSE(registration_snapshot(*s));
  EXPECT_EQ(count(Endpoint::Deregister), 0u);
}

TEST_F(ManagedSessionTest, DeregisterWithdrawsEachRegistrationOnceAtItsOwnAddress) {
  const SharedSession s = session(AgentKind::Claude);
  deregister(*s, QUICK_DEREGISTER_TIMEOUT);  // nothing registered: nothing sent
  EXPECT_TRUE(app_.requests().empty());

  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  // Files changed since: the withdrawal still goes where the registration was made.
  dir_.write(CLAUDE_PORT_FILE, R"({"port":1})");
  dir_.write(TOKEN_FILE, R"({"token":"cap-2"})");
  deregister(*s, END_OF_RUN_DEREGISTER_TIMEOUT);
  deregister(*s, QUICK_DEREGISTER_TIMEOUT);

  const auto withdrawals = app_.requests_to(Endpoint::Deregister);
  ASSERT_EQ(withdrawals.size(), 1u);
  EXPECT_EQ(header(withdrawals[0], "x-talvane-session-token"), "cap-1");
  EXPECT_EQ(header(withdrawals[0], "Content-Type"), "application/json");
  EXPECT_EQ(withdrawals[0].body, R"({"token":")" + SESSION_TOKEN + "\"}");
  EXPECT_EQ(withdrawals[0].status, 200);
  EXPECT_FALSE(registration_snapshot(*s));
}

TEST_F(ManagedSessionTest, EndOfRunWithdrawalIsBoundedWhenTheAppDoesNotAnswer) {
  const SharedSession s = session(AgentKind::Claude);
  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  Answer never;
  never.never_answer = true;
  app_.set_answer(Endpoint::Deregister, never);
  const auto start = Clock::now();
  deregister(*s, std::chrono::milliseconds(300));
  EXPECT_LT(Clock::now() - start, GENEROUS);
  EXPECT_EQ(count(Endpoint::Deregister), 1u);
}

TEST_F(ManagedSessionTest, CreateSessionPublishesAndRegisters) {
  EXPECT_EQ(create_session_in(AgentKind::Claude, std::nullopt).first, nullptr);

  const auto [s, status] = create_session_in(AgentKind::Codex, dir_.os_path());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(status, RegistrationStatus::Registered);
  EXPECT_EQ(s->pid, platform::process_id());
  EXPECT_EQ(s->session_token.size(), 64u);
  EXPECT_EQ(s->session_token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(create_session_in(AgentKind::Codex, dir_.os_path()).first->session_token,
            s->session_token);
  {
    std::lock_guard<std::mutex> lock(GLOBAL_SESSION.mutex);
    EXPECT_NE(GLOBAL_SESSION.session, nullptr);
  }
  deregister_global();
}

TEST_F(ManagedSessionTest, DeregisterGlobalEmptiesTheSlotOnce) {
  const auto [s, status] = create_session_in(AgentKind::Claude, dir_.os_path());
  ASSERT_EQ(status, RegistrationStatus::Registered);
  deregister_global();
  {
    std::lock_guard<std::mutex> lock(GLOBAL_SESSION.mutex);
    EXPECT_EQ(GLOBAL_SESSION.session, nullptr);
  }
  // Registered again meanwhile (the keeper): a later console event sends nothing.
  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  deregister_global();
  EXPECT_EQ(count(Endpoint::Deregister), 1u);
  EXPECT_TRUE(registration_snapshot(*s));
}

TEST_F(ManagedSessionTest, DeregisterGlobalWithdrawsAnAttemptStillUnanswered) {
  // Regression: a console event or signal while the app was slow to answer the first
  // registration found nothing stored and sent nothing, and the app completed the registration
  // after the launcher had gone.
  Answer held = status_answer(200, R"({"session_handle":"h1"})");
  held.delay = HELD_ANSWER;
  held.once = true;
  app_.set_answer(Endpoint::Register, held);
  std::thread first_attempt([this] { (void)create_session_in(AgentKind::Claude, dir_.os_path()); });
  ASSERT_TRUE(app_.wait_until([](const auto& requests) { return !requests.empty(); }, GENEROUS));
  deregister_global();
  const std::string registered = app_.requests_to(Endpoint::Register).at(0).body;
  const std::string token = registered.substr(registered.find(R"("token":")") + 9, 64);
  const auto withdrawals = app_.requests_to(Endpoint::Deregister);
  ASSERT_EQ(withdrawals.size(), 1u);
  EXPECT_EQ(header(withdrawals[0], "x-talvane-session-token"), "cap-1");
  EXPECT_EQ(withdrawals[0].body, R"({"token":")" + token + "\"}");
  first_attempt.join();
}

class KeeperTest : public ManagedSessionTest {
 protected:
  ~KeeperTest() override {
    running_->store(false);
    if (keeper_.joinable()) keeper_.join();
  }

  void start_keeper(const SharedSession& s) { keeper_ = std::thread(run_keeper, running_, s); }

  cli::RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
  std::thread keeper_;
};

TEST_F(KeeperTest, FollowsTheAppToANewPortAndANewToken) {
  const SharedSession s = session(AgentKind::Codex);
  const unsigned short first_port = app_.port();
  start_keeper(s);
  ASSERT_TRUE(eventually([&] { return registration_snapshot(*s).has_value(); }));

  const unsigned short second_port = app_.restart_on_new_port();
  ASSERT_TRUE(eventually([&] {
    const auto r = registration_snapshot(*s);
    return r && r->base_url == base_url(second_port);
  }));

  app_.change_token("cap-2");
  ASSERT_TRUE(eventually([&] {
    const auto r = registration_snapshot(*s);
    return r && r->capability_token == "cap-2";
  }));
  const auto registrations = app_.requests_to(Endpoint::RegisterV2);
  ASSERT_EQ(registrations.size(), 3u);
  EXPECT_EQ(registrations[0].port, first_port);
  EXPECT_EQ(registrations[1].port, second_port);
  EXPECT_EQ(header(registrations[2], "x-talvane-session-token"), "cap-2");
  EXPECT_EQ(count(Endpoint::Deregister), 0u);  // nothing withdrawn from the old app
}

TEST_F(KeeperTest, RegistersOnceTheAppAppears) {
  app_.remove_discovery_files();
  const SharedSession s = session(AgentKind::Claude);
  start_keeper(s);
  app_.write_discovery_files();
  EXPECT_TRUE(eventually([&] { return registration_snapshot(*s).has_value(); }));
}

TEST_F(KeeperTest, WithdrawsWhatItStoredAfterTheRunEnded) {
  // The run ends while the keeper's attempt is under way: the final withdrawal found nothing, so
  // the keeper must withdraw the registration its attempt then stored.
  Answer held = status_answer(200, R"({"session_handle":"h1"})");
  held.delay = HELD_ANSWER;
  app_.set_answer(Endpoint::Register, held);
  const SharedSession s = session(AgentKind::Claude);
  start_keeper(s);
  ASSERT_TRUE(app_.wait_until([](const auto& requests) { return !requests.empty(); }, GENEROUS));
  running_->store(false);
  deregister(*s, END_OF_RUN_DEREGISTER_TIMEOUT);  // the run's own withdrawal: nothing yet
  keeper_.join();
  EXPECT_EQ(count(Endpoint::Register), 1u);
  EXPECT_EQ(count(Endpoint::Deregister), 1u);
  EXPECT_FALSE(registration_snapshot(*s));
}

TEST_F(KeeperTest, EndsWithoutRequestsWhenTheRunHasEnded) {
  running_->store(false);
  start_keeper(session(AgentKind::Claude));
  keeper_.join();
  EXPECT_TRUE(app_.requests().empty());
}

}  // namespace
}  // namespace companion
