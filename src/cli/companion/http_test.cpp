#include "cli/companion/http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/loopback_server.h"

namespace companion {
namespace {

using testing_support::http_reply;
using testing_support::LoopbackServer;
using testing_support::ReceivedRequest;
using testing_support::Reply;
using Clock = std::chrono::steady_clock;
using Kind = RequestOutcome::Kind;
using std::chrono::milliseconds;

constexpr milliseconds GENEROUS{10000};

Reply raw(std::string bytes, bool hang = false) { return Reply{std::move(bytes), hang}; }

std::vector<std::string> header_names(const ReceivedRequest& request) {
  std::vector<std::string> names;
  for (const auto& header : request.headers) names.push_back(header.first);
  return names;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

class HttpRequest : public ::testing::Test {
 protected:
  std::string url(std::string_view path = "/api/managed-sessions/register") const {
    return base_url(server_.port()) + std::string(path);
  }

  RequestOutcome post(std::string body = "{}", milliseconds timeout = GENEROUS) {
    return send_request(Method::Post, url(), timeout, "cap-token", std::move(body));
  }

  void answer(Reply reply) {
    server_.set_responder([reply](const ReceivedRequest&) { return reply; });
  }

  LoopbackServer server_{[](const ReceivedRequest&) { return http_reply(200, "{}"); }};
};

TEST_F(HttpRequest, PostSendsOurHeadersInOrderAndTheBodyExactly) {
  const std::string body = R"({"pid":7,"token":"x"})";
  const RequestOutcome outcome = post(body);
  EXPECT_EQ(outcome.kind, Kind::Answered);
  EXPECT_EQ(outcome.status, 200);
  EXPECT_EQ(outcome.body, "{}");

  const std::vector<ReceivedRequest> requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const ReceivedRequest& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/api/managed-sessions/register");
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(header_names(request),
            (std::vector<std::string>{"Host", "User-Agent", "Content-Type",
                                      "x-talvane-session-token", "Content-Length"}));
  EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(server_.port()));
  EXPECT_EQ(request.header("User-Agent").rfind("talvane/", 0), 0u);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("x-talvane-session-token"), "cap-token");
  EXPECT_EQ(request.header("Content-Length"), std::to_string(body.size()));
}

TEST_F(HttpRequest, GetCarriesNoBodyHeaders) {
  const RequestOutcome outcome =
      send_request(Method::Get, url("/api/managed-sessions/h/pending"), GENEROUS, "t", {});
  EXPECT_EQ(outcome.kind, Kind::Answered);
  const std::vector<ReceivedRequest> requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(header_names(requests[0]),
            (std::vector<std::string>{"Host", "User-Agent", "x-talvane-session-token"}));
}

TEST_F(HttpRequest, ClassifiesStatuses) {
  const struct {
    int status;
    Kind kind;
  } cases[] = {
      {200, Kind::Answered},    {201, Kind::Answered},    {204, Kind::Answered},
      {302, Kind::Answered},    {399, Kind::Answered},    {400, Kind::ErrorStatus},
      {404, Kind::ErrorStatus}, {409, Kind::ErrorStatus}, {500, Kind::ErrorStatus},
  };
  for (const auto& c : cases) {
    answer(http_reply(c.status, c.status == 204 ? "" : "{\"x\":1}"));
    const RequestOutcome outcome = post();
    EXPECT_EQ(outcome.kind, c.kind) << c.status;
    EXPECT_EQ(outcome.status, c.status);
    if (c.kind == Kind::ErrorStatus) {
      EXPECT_FALSE(outcome.body) << c.status;
    }
  }
}

TEST_F(HttpRequest, ErrorStatusDoesNotWaitForItsBody) {
  // The body is announced but never comes: an error status must not wait for it.
  answer(raw("HTTP/1.1 409 Conflict\r\nContent-Length: 100000\r\n\r\npartial", /*hang=*/true));
  const auto start = Clock::now();
  const RequestOutcome outcome = post("{}", milliseconds(5000));
  EXPECT_EQ(outcome.kind, Kind::ErrorStatus);
  EXPECT_EQ(outcome.status, 409);
  EXPECT_LT(Clock::now() - start, milliseconds(4000));
}

TEST_F(HttpRequest, ReadsABodyOfExactly10MiBAndNoMore) {
  answer(http_reply(200, std::string(MAX_ANSWER_BYTES, 'a')));
  RequestOutcome outcome = post();
  EXPECT_EQ(outcome.kind, Kind::Answered);
  ASSERT_TRUE(outcome.body);
  EXPECT_EQ(outcome.body->size(), MAX_ANSWER_BYTES);

  answer(http_reply(200, std::string(MAX_ANSWER_BYTES + 1, 'a')));
  outcome = post();
  EXPECT_EQ(outcome.kind, Kind::Answered);
  EXPECT_EQ(outcome.status, 200);
  EXPECT_FALSE(outcome.body);
}

TEST_F(HttpRequest, ReadsBodiesWhateverTheirFraming) {
  const struct {
    const char* name;
    std::string answer;
    std::optional<std::string> body;
  } cases[] = {
      {"chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n{\"a\"\r\n3\r\n:1}\r\n0\r\n\r\n",
       std::string(R"({"a":1})")},
      {"until close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"b\":2}",
       std::string(R"({"b":2})")},
      {"no body", "HTTP/1.1 204 No Content\r\n\r\n", std::string()},
      {"closed mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"cut", std::nullopt},
      {"closed mid-chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc",
       std::nullopt},
  };
  for (const auto& c : cases) {
    answer(raw(c.answer));
    const RequestOutcome outcome = post();
    EXPECT_EQ(outcome.kind, Kind::Answered) << c.name;
    EXPECT_EQ(outcome.body, c.body) << c.name;
  }
}

TEST_F(HttpRequest, NoStatusIsATransportFailure) {
  for (const char* answer_bytes : {"", "garbage\r\n\r\n", "HTTP/1.1 abc OK\r\n\r\n", "HTTP/1.1 20"}) {
    answer(raw(answer_bytes));
    EXPECT_EQ(post().kind, Kind::TransportFailure) << answer_bytes;
  }
}

TEST_F(HttpRequest, NeverAnsweringAppFailsAtTheDeadline) {
  answer(raw("", /*hang=*/true));
  const milliseconds timeout(300);
  const auto start = Clock::now();
  const RequestOutcome outcome = post("{}", timeout);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(outcome.kind, Kind::TransportFailure);
  EXPECT_GE(elapsed, timeout);
  EXPECT_LT(elapsed, GENEROUS);
}

TEST_F(HttpRequest, DeadlineAlsoBoundsTheBody) {
  answer(raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{", /*hang=*/true));
  const auto start = Clock::now();
  const RequestOutcome outcome = post("{}", milliseconds(300));
  EXPECT_EQ(outcome.kind, Kind::Answered);
  EXPECT_FALSE(outcome.body);
  EXPECT_LT(Clock::now() - start, GENEROUS);
}

TEST(HttpRefused, RefusedConnectionFailsAtOnce) {
  const std::string url = base_url(testing_support::unused_port()) + "/api/managed-sessions/register";
  const auto start = Clock::now();
  const RequestOutcome outcome = send_request(Method::Post, url, GENEROUS, "t", "{}");
  EXPECT_EQ(outcome.kind, Kind::TransportFailure);
  // A refusal, not a time-out: far less than the request's time-out.
  EXPECT_LT(Clock::now() - start, GENEROUS / 2);
}

TEST_F(HttpRequest, UnsendableUrlsAndTokensFailWithoutARequest) {
  const std::string port = std::to_string(server_.port());
  const std::string urls[] = {
      "http://localhost:" + port + "/",
      "https://127.0.0.1:" + port + "/",
      "http://127.0.0.1:/",
      "http://127.0.0.1:70000/",
      "http://127.0.0.1:0/",
      "http://127.0.0.1:" + port + "x/",
      "http://127.0.0.1:" + port + "/a b",
      "http://127.0.0.1:" + port + "/a\r\nX-Injected: 1",
      "http://127.0.0.1:" + port + "/a#frag",
      "http://127.0.0.1:" + port + "/caf\xC3\xA9",
  };
  for (const std::string& u : urls) {
    EXPECT_EQ(send_request(Method::Post, u, GENEROUS, "t", "{}").kind, Kind::TransportFailure)
        << u;
  }
  // A token that could end its header line is not sent either.
  const std::string tokens[] = {"a\r\nX-Injected: 1", "a\nb", std::string("a\0b", 3), "\x7f"};
  for (const std::string& token : tokens) {
    EXPECT_EQ(send_request(Method::Post, url(), GENEROUS, token, "{}").kind,
              Kind::TransportFailure);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST(SessionUrl, PercentEncodesTheHandleAsOnePathSegment) {
  const std::string base = "http://127.0.0.1:1";
  const struct {
    std::string handle;
    std::string path;
  } cases[] = {
      {"abc-123_~.X", "abc-123_~.X"},
      {"", ""},
      {"a b", "a%20b"},
      {"a\r\nX-Injected: 1", "a%0D%0AX-Injected:%201"},
      {"a?q=1#f", "a%3Fq=1%23f"},
      {"../x", "..%2Fx"},
      {"a\\b", "a%5Cb"},
      {"50%2F", "50%252F"},
      {std::string("\x00\x1f\x7f", 3), "%00%1F%7F"},
      {"\"<>`{}|^[]", "%22%3C%3E%60%7B%7D%7C%5E%5B%5D"},
      {"\xC3\xA9\xFF", "%C3%A9%FF"},
      {"...", "..."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(session_url(base, c.handle, "/pending"),
              base + "/api/managed-sessions/" + c.path + "/pending")
        << c.handle;
  }
  EXPECT_EQ(session_url(base, ".", "/pending"), std::nullopt);
  EXPECT_EQ(session_url(base, "..", "/delivered"), std::nullopt);
}

TEST_F(HttpRequest, HostileHandlesReachTheAppAsOneIntactSegment) {
  // Guards against request splitting and header injection through the app's session handle.
  const std::string hostile[] = {
      "a b",
      "x\r\nX-Injected: 1\r\n\r\nGET /evil HTTP/1.1",
      "h?query=1",
      "h#frag",
      "a/../../b",
      std::string("nul\0byte", 8),
      "\xC3\xA9t\xC3\xA9\xFF",
      "100%",
  };
  std::size_t sent = 0;
  for (const std::string& handle : hostile) {
    const std::optional<std::string> u = session_url(base_url(server_.port()), handle, "/pending");
    ASSERT_TRUE(u) << handle;
    EXPECT_EQ(send_request(Method::Get, *u, GENEROUS, "t", {}).kind, Kind::Answered) << handle;
    ++sent;
  }
  const std::vector<ReceivedRequest> requests = server_.requests();
  ASSERT_EQ(requests.size(), sent);
  const std::string prefix = "/api/managed-sessions/";
  for (std::size_t i = 0; i < sent; ++i) {
    const ReceivedRequest& request = requests[i];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(header_names(request),
              (std::vector<std::string>{"Host", "User-Agent", "x-talvane-session-token"}));
    ASSERT_EQ(request.target.rfind(prefix, 0), 0u) << request.target;
    const std::string segment =
        request.target.substr(prefix.size(), request.target.size() - prefix.size() - 8);
    EXPECT_EQ(request.target.substr(request.target.size() - 8), "/pending");
    EXPECT_EQ(segment.find_first_of("/?# "), std::string::npos) << request.target;
    EXPECT_EQ(percent_decode(segment), hostile[i]);
  }
}

}  // namespace
}  // namespace companion
