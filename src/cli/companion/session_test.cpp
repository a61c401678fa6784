#include "cli/companion/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "cli/companion/discovery.h"
#include "cli/companion/http.h"
#include "platform/environment.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_dir.h"

namespace companion {
namespace {

using cli::AgentKind;
using testing_support::http_reply;
using testing_support::LoopbackServer;
using testing_support::ReceivedRequest;
using testing_support::Reply;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds GENEROUS{10000};
const std::string SESSION_TOKEN(64, 'a');
const std::string REGISTER = "/api/managed-sessions/register";
const std::string REGISTER_V2 = "/api/managed-sessions/v2/register";
const std::string DEREGISTER = "/api/managed-sessions/deregister";
const std::string CODEX_OK = R"({"protocol_version":2,"agent":"codex","session_handle":"h1"})";

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + GENEROUS;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

std::size_t count_to(const LoopbackServer& app, const std::string& target) {
  std::size_t n = 0;
  for (const ReceivedRequest& r : app.requests()) n += r.target == target ? 1 : 0;
  return n;
}

// An app that answers every registration with `register_reply` and every withdrawal with 200.
LoopbackServer::Responder app_answering(Reply register_reply) {
  return [register_reply](const ReceivedRequest& request) {
    return request.target == DEREGISTER ? http_reply(200, "{}") : register_reply;
  };
}

class ManagedSessionTest : public ::testing::Test {
 protected:
  ManagedSessionTest() {
    dir_.write(TOKEN_FILE, R"({"token":"cap-1"})");
    point_at(app_);
  }

  void point_at(const LoopbackServer& app) const {
    const std::string port = R"({"port":)" + std::to_string(app.port()) + "}";
    dir_.write(CLAUDE_PORT_FILE, port);
    dir_.write(CODEX_PORT_FILE, port);
  }

  SharedSession session(AgentKind agent, std::optional<std::string> cwd = "/w") const {
    return std::make_shared<ManagedSession>(agent, dir_.os_path(), SESSION_TOKEN, std::move(cwd),
                                            4242);
  }

  testing_support::TempDir dir_;
  LoopbackServer app_{app_answering(http_reply(200, CODEX_OK))};
};

TEST_F(ManagedSessionTest, ClaudeRegistersWithItsBodyByteForByte) {
  const SharedSession s = session(AgentKind::Claude, R"(C:\work\app)");
  EXPECT_EQ(register_session(*s), RegistrationStatus::Registered);

  const auto requests = app_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, REGISTER);
  EXPECT_EQ(requests[0].header("x-talvane-session-token"), "cap-1");
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
    std::string target;
    std::string body;
  } cases[] = {
      {AgentKind::Claude, std::nullopt, REGISTER, R"({"pid":4242,"token":")" + SESSION_TOKEN + "\"}"},
      {AgentKind::Codex, "/w",  REGISTER_V2,
       R"({"agent":"codex","cwd":"/w","pid":4242,"token":")" + SESSION_TOKEN + "\"}"},
      {AgentKind::Codex, std::nullopt, REGISTER_V2,
       R"({"agent":"codex","pid":4242,"token":")" + SESSION_TOKEN + "\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(register_session(*session(c.agent, c.cwd)), RegistrationStatus::Registered);
    const auto requests = app_.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().target, c.target);
    EXPECT_EQ(requests.back().body, c.body);
  }
}

TEST_F(ManagedSessionTest, StatusFollowsTheAppsAnswer) {
  const std::string big(MAX_ANSWER_BYTES + 1, ' ');
  const struct {
    const char* name;
    AgentKind agent;
    Reply reply;
    RegistrationStatus status;
  } cases[] = {
      {"409 claude", AgentKind::Claude, http_reply(409), RegistrationStatus::NotConnected},
      {"409 codex", AgentKind::Codex, http_reply(409), RegistrationStatus::NotConnected},
      {"404 claude", AgentKind::Claude, http_reply(404), RegistrationStatus::NotRegistered},
      {"404 codex", AgentKind::Codex, http_reply(404), RegistrationStatus::AppTooOld},
      {"500", AgentKind::Codex, http_reply(500), RegistrationStatus::NotRegistered},
      {"201", AgentKind::Codex, http_reply(201, CODEX_OK), RegistrationStatus::NotRegistered},
      {"204", AgentKind::Claude, http_reply(204), RegistrationStatus::NotRegistered},
      {"garbage claude", AgentKind::Claude, http_reply(200, "<html>"),
       RegistrationStatus::NotRegistered},
      {"garbage codex", AgentKind::Codex, http_reply(200, "<html>"),
       RegistrationStatus::AppTooOld},
      {"oversized codex", AgentKind::Codex, http_reply(200, big + CODEX_OK),
       RegistrationStatus::AppTooOld},
      {"v1 answer to codex", AgentKind::Codex, http_reply(200, R"({"session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"version 2.0", AgentKind::Codex,
       http_reply(200, R"({"protocol_version":2.0,"agent":"codex","session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"version \"2\"", AgentKind::Codex,
       http_reply(200, R"({"protocol_version":"2","agent":"codex","session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"agent claude", AgentKind::Codex,
       http_reply(200, R"({"protocol_version":2,"agent":"claude","session_handle":"h"})"),
       RegistrationStatus::AppTooOld},
      {"v2 without handle", AgentKind::Codex,
       http_reply(200, R"({"protocol_version":2,"agent":"codex"})"),
       RegistrationStatus::NotRegistered},
      {"numeric handle", AgentKind::Claude, http_reply(200, R"({"session_handle":5})"),
       RegistrationStatus::NotRegistered},
      {"array answer", AgentKind::Claude, http_reply(200, R"([{"session_handle":"h"}])"),
       RegistrationStatus::NotRegistered},
      {"v1 answer claude", AgentKind::Claude,
       http_reply(200, R"({"protocol_version":1,"agent":"x","session_handle":"h"})"),
       RegistrationStatus::Registered},
      {"empty handle", AgentKind::Claude, http_reply(200, R"({"session_handle":""})"),
       RegistrationStatus::Registered},
      {"v2 codex", AgentKind::Codex, http_reply(200, CODEX_OK), RegistrationStatus::Registered},
  };
  for (const auto& c : cases) {
    app_.set_responder(app_answering(c.reply));
    const SharedSession s = session(c.agent);
    EXPECT_EQ(register_session(*s), c.status) << c.name;
    EXPECT_EQ(registration_snapshot(*s).has_value(), c.status == RegistrationStatus::Registered)
        << c.name;
  }
}

TEST_F(ManagedSessionTest, NoTokenMeansNoRequest) {
  dir_.remove(TOKEN_FILE);
  EXPECT_EQ(register_session(*session(AgentKind::Claude)), RegistrationStatus::NotRegistered);
  dir_.write(TOKEN_FILE, R"({"token":""})");
  EXPECT_EQ(register_session(*session(AgentKind::Claude)), RegistrationStatus::NotRegistered);
  EXPECT_TRUE(app_.requests().empty());
}

TEST_F(ManagedSessionTest, AbsentAppIsNotRegistered) {
  dir_.write(CLAUDE_PORT_FILE, R"({"port":)" + std::to_string(testing_support::unused_port()) +
                                   "}");
  EXPECT_EQ(register_session(*session(AgentKind::Claude)), RegistrationStatus::NotRegistered);
}

TEST_F(ManagedSessionTest, TokenChangedDuringTheAttemptStoresNothing) {
  app_.set_responder([this](const ReceivedRequest& request) {
    if (request.target != DEREGISTER) dir_.write(TOKEN_FILE, R"({"token":"cap-2"})");
    return http_reply(200, CODEX_OK);
  });
  const SharedSession s = session(AgentKind::Claude);
  EXPECT_EQ(register_session(*s), RegistrationStatus::NotRegistered);
  EXPECT_FALSE(registration_snapshot(*s));

  // The next attempt uses the token the file now holds.
  EXPECT_EQ(register_session(*s), RegistrationStatus::Registered);
  EXPECT_EQ(app_.requests().back().header("x-talvane-session-token"), "cap-2");
  EXPECT_EQ(registration_snapshot(*s)->capability_token, "cap-2");
}

TEST_F(ManagedSessionTest, FailedAttemptKeepsTheStoredRegistration) {
  const SharedSession s = session(AgentKind::Codex);
  ASSERT_EQ(register_session(*s), RegistrationStatus::Registered);
  app_.set_responder(app_answering(http_reply(500)));
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
  point_at(app_);
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
  EXPECT_EQ(count_to(app_, DEREGISTER), 0u);
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

  const auto requests = app_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, DEREGISTER);
  EXPECT_EQ(requests[1].header("x-talvane-session-token"), "cap-1");
  EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].body, R"({"token":")" + SESSION_TOKEN + "\"}");
  EXPECT_FALSE(registration_snapshot(*s));
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
  EXPECT_EQ(count_to(app_, DEREGISTER), 1u);
  EXPECT_TRUE(registration_snapshot(*s));
}

class KeeperTest : public ManagedSessionTest {
 protected:
  ~KeeperTest() override {
    running_->store(false);
    if (keeper_.joinable()) keeper_.join();
  }

  void start_keeper(const SharedSession& s) {
    keeper_ = std::thread(run_keeper, running_, s);
  }

  RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
  std::thread keeper_;
};

TEST_F(KeeperTest, FollowsTheAppToANewPortAndANewToken) {
  const SharedSession s = session(AgentKind::Codex);
  start_keeper(s);
  ASSERT_TRUE(eventually([&] { return registration_snapshot(*s).has_value(); }));

  LoopbackServer moved(app_answering(http_reply(200, CODEX_OK)));
  point_at(moved);
  ASSERT_TRUE(eventually([&] {
    const auto r = registration_snapshot(*s);
    return r && r->base_url == base_url(moved.port());
  }));

  dir_.write(TOKEN_FILE, R"({"token":"cap-2"})");
  ASSERT_TRUE(eventually([&] {
    const auto r = registration_snapshot(*s);
    return r && r->capability_token == "cap-2";
  }));
  EXPECT_EQ(moved.requests().back().header("x-talvane-session-token"), "cap-2");
  EXPECT_EQ(count_to(app_, REGISTER_V2), 1u);
  EXPECT_EQ(count_to(app_, DEREGISTER), 0u);
  EXPECT_EQ(count_to(moved, DEREGISTER), 0u);
}

TEST_F(KeeperTest, RegistersOnceTheAppAppears) {
  dir_.remove(TOKEN_FILE);
  const SharedSession s = session(AgentKind::Claude);
  start_keeper(s);
  dir_.write(TOKEN_FILE, R"({"token":"cap-1"})");
  EXPECT_TRUE(eventually([&] { return registration_snapshot(*s).has_value(); }));
}

TEST_F(KeeperTest, WithdrawsWhatItStoredAfterTheRunEnded) {
  // The run ends while the keeper's attempt is under way: the final withdrawal found nothing, so
  // the keeper must withdraw the registration its attempt then stored.
  app_.set_responder([this](const ReceivedRequest& request) {
    if (request.target == DEREGISTER) return http_reply(200, "{}");
    running_->store(false);
    return http_reply(200, CODEX_OK);
  });
  const SharedSession s = session(AgentKind::Claude);
  start_keeper(s);
  ASSERT_TRUE(app_.wait_for_requests(2, GENEROUS));
  keeper_.join();
  EXPECT_EQ(count_to(app_, REGISTER), 1u);
  EXPECT_EQ(count_to(app_, DEREGISTER), 1u);
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
