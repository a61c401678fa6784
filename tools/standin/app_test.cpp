#include "standin/app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

namespace standin {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto GENEROUS = 10s;

// What came back for one request: the status (0 when none) and the body after the head.
struct Exchange {
  int status = 0;
  std::string body;
  bool refused = false;
};

// One request on a fresh connection; reads until the stand-in closes it.
Exchange exchange(unsigned short port, const std::string& method, const std::string& target,
                  const std::string& token, const std::string& body = "") {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  if (ec) return {0, "", true};
  const std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                              "x-talvane-session-token: " + token +
                              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                              body;
  asio::write(socket, asio::buffer(request), ec);
  std::string answer;
  asio::read(socket, asio::dynamic_buffer(answer), ec);
  Exchange result;
  if (answer.size() > 12) result.status = std::atoi(answer.substr(9, 3).c_str());
  const std::size_t head_end = answer.find("\r\n\r\n");
  if (head_end != std::string::npos) result.body = answer.substr(head_end + 4);
  return result;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(StandinHttp, ParsesRequestHeads) {
  const auto head = parse_head(
      "POST /api/managed-sessions/register HTTP/1.1\r\nHost: x\r\n"
      "x-talvane-session-token:  tok \r\ncontent-length: 7");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->method, "POST");
  EXPECT_EQ(head->target, "/api/managed-sessions/register");
  EXPECT_EQ(head->content_length, 7u);
  ASSERT_EQ(head->headers.size(), 3u);
  EXPECT_EQ(head->headers[1].first, "x-talvane-session-token");
  ASSERT_NE(find_header(*head, "X-Talvane-Session-Token"), nullptr);
  EXPECT_EQ(*find_header(*head, "X-Talvane-Session-Token"), "tok");

  for (const char* bad : {
           "GET /a b HTTP/1.1",                 // a raw space in the target
           "GET /a",                            // no version
           "GET /a HTTP/1.1\r\nno colon here",  //
           "POST /a HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2",
           "POST /a HTTP/1.1\r\nContent-Length: -1",         //
           "POST /a HTTP/1.1\r\nContent-Length: 999999999",  // over the body limit
       }) {
    EXPECT_FALSE(parse_head(bad)) << bad;
  }
}

TEST(StandinHttp, RoutesByMethodAndPathAndDecodesHandles) {
  struct Case {
    const char* method;
    const char* target;
    Endpoint endpoint;
    const char* handle;
  };
  for (const Case& c : {
           Case{"POST", "/api/managed-sessions/register", Endpoint::Register, ""},
           Case{"POST", "/api/managed-sessions/v2/register", Endpoint::RegisterV2, ""},
           Case{"POST", "/api/managed-sessions/deregister", Endpoint::Deregister, ""},
           Case{"GET", "/api/managed-sessions/h1/pending", Endpoint::Pending, "h1"},
           Case{"GET", "/api/managed-sessions//pending", Endpoint::Pending, ""},
           Case{"GET", "/api/managed-sessions/a%20b%3F%0D%0A/pending?x=1", Endpoint::Pending,
                "a b?\r\n"},
           Case{"POST", "/api/managed-sessions/h%2/delivered", Endpoint::Delivered, "h%2"},
           Case{"POST", "/api/managed-sessions/h1/pending", Endpoint::Unknown, ""},
           Case{"GET", "/api/managed-sessions/register", Endpoint::Unknown, ""},
           Case{"GET", "/other/h1/pending", Endpoint::Unknown, ""},
       }) {
    const Route r = route(c.method, c.target);
    EXPECT_EQ(r.endpoint, c.endpoint) << c.method << " " << c.target;
    EXPECT_EQ(r.handle, c.handle) << c.target;
  }
}

TEST(StandinHttp, FramesChunkedAndCutOffBodies) {
  const std::string chunked = format_answer(200, "abcdefg", Framing::Chunked);
  EXPECT_NE(chunked.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(chunked.substr(chunked.find("\r\n\r\n") + 4),
            "3\r\nabc\r\n3\r\ndef\r\n1\r\ng\r\n0\r\n\r\n");

  const std::string cut = format_answer(200, "abcdefg", Framing::CloseMidBody);
  EXPECT_NE(cut.find("Content-Length: 7\r\n"), std::string::npos);
  EXPECT_EQ(cut.substr(cut.find("\r\n\r\n") + 4), "abc");
}

class StandinApp : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("standin-test-" + std::to_string(Clock::now().time_since_epoch().count()));
    App::Options options;
    options.data_dir = dir_;
    options.hold = 30s;
    app_ = std::make_unique<App>(options);
    ASSERT_NE(app_->port(), 0);
  }
  void TearDown() override {
    app_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string register_session(const std::string& session_token = "s1") {
    const Exchange r = exchange(app_->port(), "POST", "/api/managed-sessions/register",
                                app_->token(), R"({"token":")" + session_token + R"("})");
    EXPECT_EQ(r.status, 200);
    return app_->last_handle();
  }

  Exchange poll(const std::string& handle) {
    return exchange(app_->port(), "GET", "/api/managed-sessions/" + handle + "/pending",
                    app_->token());
  }

  std::filesystem::path dir_;
  std::unique_ptr<App> app_;
};

TEST_F(StandinApp, WritesDiscoveryFiles) {
  const std::string port = std::to_string(app_->port());
  EXPECT_EQ(read_file(dir_ / "claude-hud-port.json"), R"({"port":)" + port + "}");
  EXPECT_EQ(read_file(dir_ / "codex-hud-port.json"), R"({"port":)" + port + "}");
  EXPECT_EQ(read_file(dir_ / "managed-session-token.json"),
            R"({"token":")" + app_->token() + R"("})");
}

TEST_F(StandinApp, HeldPollIsAnsweredAsSoonAsAReplyIsQueued) {
  const std::string handle = register_session();
  auto held = std::async(std::launch::async, [&] { return poll(handle); });
  ASSERT_TRUE(app_->wait_until([](const auto& all) { return all.size() == 2; }, GENEROUS));
  app_->queue_reply("hi\r\nthere");
  ASSERT_EQ(held.wait_for(GENEROUS), std::future_status::ready);
  const Exchange r = held.get();
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"reply":"hi\r\nthere"})");
  const auto recorded = app_->requests_to(Endpoint::Pending);
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].handle, handle);
  EXPECT_EQ(recorded[0].status, 200);
  EXPECT_TRUE(recorded[0].answered);
}

TEST_F(StandinApp, QueuedReplyWaitsForALivePoll) {
  // Regression: a reply went to a poll still held for a session withdrawn since, or for a client
  // that had gone, and was lost.
  const std::string withdrawn = register_session("old-run");
  auto stale = std::async(std::launch::async, [&] { return poll(withdrawn); });
  {
    asio::io_context io;
    asio::ip::tcp::socket gone(io);
    boost::system::error_code ec;
    gone.connect({asio::ip::address_v4::loopback(), app_->port()}, ec);
    ASSERT_FALSE(ec);
    const std::string live = register_session("live-run");
    asio::write(gone,
                asio::buffer("GET /api/managed-sessions/" + live +
                             "/pending HTTP/1.1\r\nx-talvane-session-token: " + app_->token() +
                             "\r\nContent-Length: 0\r\n\r\n"),
                ec);
    ASSERT_TRUE(app_->wait_until(
        [](const auto& all) {
          return std::count_if(all.begin(), all.end(), [](const RecordedRequest& r) {
                   return r.endpoint == Endpoint::Pending;
                 }) == 2;
        },
        GENEROUS));
  }  // the live session's poll: its client closes it while it is held
  EXPECT_EQ(exchange(app_->port(), "POST", "/api/managed-sessions/deregister", app_->token(),
                     R"({"token":"old-run"})")
                .status,
            200);
  app_->queue_reply("for the live run");
  ASSERT_EQ(stale.wait_for(GENEROUS), std::future_status::ready);
  EXPECT_EQ(stale.get().status, 404);
  const Exchange next = poll(app_->last_handle());
  EXPECT_EQ(next.status, 200);
  EXPECT_EQ(next.body, R"({"reply":"for the live run"})");
}

TEST_F(StandinApp, AnAnswerIsRecordedByTheTimeTheClientHasReadIt) {
  // Regression: the status was recorded only when the write completed, so a client that read the
  // whole answer (by its length, without waiting for the close) and then looked at the record
  // could still find status 0.
  const std::string request =
      "POST /api/managed-sessions/deregister HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "x-talvane-session-token: " +
      app_->token() + "\r\nContent-Length: 2\r\n\r\n{}";
  for (int i = 0; i < 200; ++i) {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    boost::system::error_code ec;
    socket.connect({asio::ip::address_v4::loopback(), app_->port()}, ec);
    ASSERT_FALSE(ec);
    asio::write(socket, asio::buffer(request), ec);
    std::string answer;
    // The answer is 200 {}: its head, then exactly two bytes of body.
    const std::size_t head = asio::read_until(socket, asio::dynamic_buffer(answer), "\r\n\r\n", ec);
    if (answer.size() < head + 2) {
      asio::read(socket, asio::dynamic_buffer(answer),
                 asio::transfer_exactly(head + 2 - answer.size()), ec);
    }
    ASSERT_EQ(answer.substr(head), "{}");
    const RecordedRequest last = app_->requests().back();
    ASSERT_EQ(last.status, 200) << i;
    ASSERT_TRUE(last.answered) << i;
  }
}

TEST_F(StandinApp, AnswersPendingInOrderThenShutdownForEveryLaterPoll) {
  const std::string handle = register_session();
  app_->queue_reply("one");
  app_->request_shutdown();
  EXPECT_EQ(poll(handle).body, R"({"reply":"one"})");
  EXPECT_EQ(poll(handle).body, R"({"reply":null,"shutdown_requested":true})");
  EXPECT_EQ(poll(handle).body, R"({"reply":null,"shutdown_requested":true})");
}

TEST_F(StandinApp, RefusesWrongTokensAndUnknownOrWithdrawnHandles) {
  const std::string handle = register_session("session-token");
  EXPECT_EQ(
      exchange(app_->port(), "GET", "/api/managed-sessions/" + handle + "/pending", "bad").status,
      401);
  EXPECT_EQ(poll("no-such-handle").status, 404);

  app_->change_token("new-token");
  EXPECT_EQ(read_file(dir_ / "managed-session-token.json"), R"({"token":"new-token"})");
  EXPECT_EQ(exchange(app_->port(), "POST", "/api/managed-sessions/deregister",
                     "standin-capability-token", R"({"token":"session-token"})")
                .status,
            401);
  EXPECT_EQ(exchange(app_->port(), "POST", "/api/managed-sessions/deregister", "new-token",
                     R"({"token":"session-token"})")
                .status,
            200);
  EXPECT_EQ(poll(handle).status, 404);
}

TEST_F(StandinApp, OverridesApplyOnceOrUntilCleared) {
  const std::string handle = register_session();
  app_->queue_reply("kept");
  Answer once;
  once.status = 500;
  once.once = true;
  app_->set_answer(Endpoint::Pending, once);
  EXPECT_EQ(poll(handle).status, 500);
  EXPECT_EQ(poll(handle).body, R"({"reply":"kept"})");

  Answer always;
  always.status = 409;
  app_->set_answer(Endpoint::Register, always);
  EXPECT_EQ(
      exchange(app_->port(), "POST", "/api/managed-sessions/register", app_->token(), "{}").status,
      409);
  EXPECT_EQ(
      exchange(app_->port(), "POST", "/api/managed-sessions/register", app_->token(), "{}").status,
      409);
  app_->clear_answer(Endpoint::Register);
  register_session();
}

TEST_F(StandinApp, RestartListensOnANewPortAndForgetsSessions) {
  const std::string handle = register_session();
  const unsigned short old_port = app_->port();
  const unsigned short new_port = app_->restart_on_new_port();
  EXPECT_NE(new_port, old_port);
  EXPECT_EQ(app_->port(), new_port);
  EXPECT_EQ(read_file(dir_ / "claude-hud-port.json"),
            R"({"port":)" + std::to_string(new_port) + "}");
  EXPECT_TRUE(
      exchange(old_port, "GET", "/api/managed-sessions/" + handle + "/pending", app_->token())
          .refused);
  EXPECT_EQ(poll(handle).status, 404);
}

// Fault guarded against: a held poll, a delayed answer or a never-answered request keeping the
// stand-in's destructor (and so a whole test) waiting.
TEST_F(StandinApp, DestructionIsPromptWhateverRequestsAreOutstanding) {
  const std::string handle = register_session();
  Answer never;
  never.never_answer = true;
  app_->set_answer(Endpoint::Delivered, never);
  Answer slow;
  slow.delay = 60s;
  app_->set_answer(Endpoint::Deregister, slow);
  const unsigned short port = app_->port();
  const std::string token = app_->token();
  auto held = std::async(std::launch::async, [&] { return poll(handle); });
  auto unanswered = std::async(std::launch::async, [&] {
    return exchange(port, "POST", "/api/managed-sessions/" + handle + "/delivered", token, "{}");
  });
  auto delayed = std::async(std::launch::async, [&] {
    return exchange(port, "POST", "/api/managed-sessions/deregister", token, "{}");
  });
  ASSERT_TRUE(app_->wait_until([](const auto& all) { return all.size() == 4; }, GENEROUS));

  const auto start = Clock::now();
  app_.reset();
  EXPECT_LT(Clock::now() - start, 5s);
  for (auto* f : {&held, &unanswered, &delayed}) {
    ASSERT_EQ(f->wait_for(GENEROUS), std::future_status::ready);
    EXPECT_EQ(f->get().status, 0);
  }
}

}  // namespace
}  // namespace standin
