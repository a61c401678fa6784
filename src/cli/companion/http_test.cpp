#include "cli/companion/http.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <string>
#include <vector>

#include "standin/app.h"
#include "tests/support/temp_dir.h"

namespace companion {
namespace {

using standin::Answer;
using standin::Endpoint;
using standin::RecordedRequest;
using standin::status_answer;
using Clock = std::chrono::steady_clock;
using Kind = RequestOutcome::Kind;
using std::chrono::milliseconds;

constexpr milliseconds GENEROUS{10000};
const std::string REGISTER = "/api/managed-sessions/register";

Answer raw(std::string bytes, bool then_stall = false) {
  Answer answer;
  answer.raw = std::move(bytes);
  answer.never_answer = then_stall;
  return answer;
}

std::vector<std::string> header_names(const RecordedRequest& request) {
  std::vector<std::string> names;
  for (const auto& header : request.headers) names.push_back(header.first);
  return names;
}

std::string header(const RecordedRequest& request, std::string_view name) {
  for (const auto& [n, v] : request.headers) {
    if (n == name) return v;
  }
  return "";
}

class HttpRequest : public ::testing::Test {
 protected:
  std::string url(std::string_view path = REGISTER) const {
    return base_url(app_.port()) + std::string(path);
  }

  RequestOutcome post(std::string body = "{}", milliseconds timeout = GENEROUS) {
    return send_request(Method::Post, url(), timeout, "cap-token", std::move(body));
  }

  void answer(Answer scripted) { app_.set_answer(Endpoint::Register, std::move(scripted)); }

  testing_support::TempDir dir_;
  standin::App app_{{dir_.path(), "cap-token"}};
};

TEST_F(HttpRequest, PostSendsOurHeadersInOrderAndTheBodyExactly) {
  const std::string body = R"({"pid":7,"token":"x"})";
  const RequestOutcome outcome = post(body);
  EXPECT_EQ(outcome.kind, Kind::Answered);
  EXPECT_EQ(outcome.status, 200);
  ASSERT_TRUE(outcome.body);
  EXPECT_EQ(*outcome.body, R"({"session_handle":")" + app_.last_handle() + "\"}");

  const std::vector<RecordedRequest> requests = app_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, REGISTER);
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(header_names(request),
            (std::vector<std::string>{"Host", "User-Agent", "Content-Type",
                                      "x-talvane-session-token", "Content-Length"}));
  EXPECT_EQ(header(request, "Host"), "127.0.0.1:" + std::to_string(app_.port()));
  EXPECT_EQ(header(request, "User-Agent").rfind("talvane/", 0), 0u);
  EXPECT_EQ(header(request, "Content-Type"), "application/json");
  EXPECT_EQ(header(request, "x-talvane-session-token"), "cap-token");
  EXPECT_EQ(header(request, "Content-Length"), std::to_string(body.size()));
}

TEST_F(HttpRequest, GetCarriesNoBodyHeaders) {
  const RequestOutcome outcome =
      send_request(Method::Get, url("/api/managed-sessions/h/pending"), GENEROUS, "t", {});
  EXPECT_EQ(outcome.kind, Kind::ErrorStatus);  // a handle the app does not know
  const std::vector<RecordedRequest> requests = app_.requests();
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
    answer(status_answer(c.status, c.status == 204 ? "" : "{\"x\":1}"));
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
  answer(raw("HTTP/1.1 409 Conflict\r\nContent-Length: 100000\r\n\r\npartial", true));
  const auto start = Clock::now();
  const RequestOutcome outcome = post("{}", milliseconds(5000));
  EXPECT_EQ(outcome.kind, Kind::ErrorStatus);
  EXPECT_EQ(outcome.status, 409);
  EXPECT_LT(Clock::now() - start, milliseconds(4000));
}

TEST_F(HttpRequest, ReadsABodyOfExactly10MiBAndNoMore) {
  // 10 MiB through Wine on a loaded machine can take longer than the usual bound.
  const milliseconds slow_machine(60000);
  answer(status_answer(200, std::string(MAX_ANSWER_BYTES, 'a')));
  RequestOutcome outcome = post("{}", slow_machine);
  EXPECT_EQ(outcome.kind, Kind::Answered);
  ASSERT_TRUE(outcome.body);
  EXPECT_EQ(outcome.body->size(), MAX_ANSWER_BYTES);

  for (const standin::Framing framing : {standin::Framing::Length, standin::Framing::Chunked}) {
    Answer over = status_answer(200, std::string(MAX_ANSWER_BYTES + 1, 'a'));
    over.framing = framing;
    answer(over);
    outcome = post("{}", slow_machine);
    EXPECT_EQ(outcome.kind, Kind::Answered);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_FALSE(outcome.body);
  }
}

TEST_F(HttpRequest, ReadsBodiesWhateverTheirFraming) {
  Answer chunked = status_answer(200, R"({"a":"chunked body"})");
  chunked.framing = standin::Framing::Chunked;
  Answer cut = status_answer(200, R"({"a":"cut in the middle"})");
  cut.framing = standin::Framing::CloseMidBody;
  const struct {
    const char* name;
    Answer answer;
    std::optional<std::string> body;
  } cases[] = {
      {"chunked", chunked, std::string(R"({"a":"chunked body"})")},
      {"until close", raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"b\":2}"),
       std::string(R"({"b":2})")},
      {"no body", raw("HTTP/1.1 204 No Content\r\n\r\n"), std::string()},
      {"closed mid-body", cut, std::nullopt},
      {"closed mid-chunk", raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc"),
       std::nullopt},
  };
  for (const auto& c : cases) {
    answer(c.answer);
    const RequestOutcome outcome = post();
    EXPECT_EQ(outcome.kind, Kind::Answered) << c.name;
    EXPECT_EQ(outcome.body, c.body) << c.name;
  }
}

TEST_F(HttpRequest, NoStatusIsATransportFailure) {
  for (const char* bytes : {"", "garbage\r\n\r\n", "HTTP/1.1 abc OK\r\n\r\n", "HTTP/1.1 20"}) {
    answer(raw(bytes));
    EXPECT_EQ(post().kind, Kind::TransportFailure) << bytes;
  }
}

TEST_F(HttpRequest, NeverAnsweringAppFailsAtTheDeadline) {
  Answer never;
  never.never_answer = true;
  answer(never);
  const milliseconds timeout(300);
  const auto start = Clock::now();
  const RequestOutcome outcome = post("{}", timeout);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(outcome.kind, Kind::TransportFailure);
  EXPECT_GE(elapsed, timeout);
  EXPECT_LT(elapsed, GENEROUS);
}

TEST_F(HttpRequest, DeadlineAlsoBoundsTheBody) {
  answer(raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{", true));
  const auto start = Clock::now();
  const RequestOutcome outcome = post("{}", milliseconds(300));
  EXPECT_EQ(outcome.kind, Kind::Answered);
  EXPECT_FALSE(outcome.body);
  EXPECT_LT(Clock::now() - start, GENEROUS);
}

TEST_F(HttpRequest, RefusedConnectionFailsAtOnce) {
  unsigned short closed_port = 0;
  {
    testing_support::TempDir other;
    standin::App gone({other.path()});
    closed_port = gone.port();
  }
  const auto start = Clock::now();
  const RequestOutcome outcome =
      send_request(Method::Post, base_url(closed_port) + REGISTER, GENEROUS, "t", "{}");
  EXPECT_EQ(outcome.kind, Kind::TransportFailure);
  // A refusal, not a time-out: far less than the request's time-out.
  EXPECT_LT(Clock::now() - start, GENEROUS / 2);
}

TEST_F(HttpRequest, UnsendableUrlsAndTokensFailWithoutARequest) {
  const std::string port = std::to_string(app_.port());
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
    EXPECT_EQ(send_request(Method::Post, u, GENEROUS, "t", "{}").kind, Kind::TransportFailure) << u;
  }
  // A token that could end its header line is not sent either.
  const std::string tokens[] = {"a\r\nX-Injected: 1", "a\nb", std::string("a\0b", 3), "\x7f"};
  for (const std::string& token : tokens) {
    EXPECT_EQ(send_request(Method::Post, url(), GENEROUS, token, "{}").kind,
              Kind::TransportFailure);
  }
  EXPECT_TRUE(app_.requests().empty());
}

// Regression: a capability token of 65,535 bytes or more opened a connection and closed it
// again without a request, once a second for ever; such a token is now refused before connecting.
TEST(HttpRequestToken, TooLongForAHeaderIsRefusedWithoutConnecting) {
  boost::asio::io_context context;
  boost::asio::ip::tcp::acceptor listener(context, {boost::asio::ip::address_v4::loopback(), 0});
  listener.non_blocking(true);
  const std::string url = base_url(listener.local_endpoint().port()) + REGISTER;
  for (const std::size_t length :
       {std::size_t{65'534}, std::size_t{65'535}, std::size_t{1} << 20}) {
    EXPECT_EQ(send_request(Method::Post, url, GENEROUS, std::string(length, 't'), "{}").kind,
              Kind::TransportFailure);
    boost::system::error_code ec;
    listener.accept(ec);
    EXPECT_EQ(ec, boost::asio::error::would_block) << length << "-byte token: connected";
  }
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
  for (const std::string& handle : hostile) {
    const std::optional<std::string> u = session_url(base_url(app_.port()), handle, "/pending");
    ASSERT_TRUE(u) << handle;
    EXPECT_EQ(send_request(Method::Get, *u, GENEROUS, "t", {}).kind, Kind::ErrorStatus) << handle;
  }
  const std::vector<RecordedRequest> requests = app_.requests();
  ASSERT_EQ(requests.size(), std::size(hostile));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const RecordedRequest& request = requests[i];
    EXPECT_EQ(request.endpoint, Endpoint::Pending) << request.target;
    EXPECT_EQ(request.handle, hostile[i]);
    EXPECT_EQ(request.target.find_first_of("?# \r\n"), std::string::npos) << request.target;
    EXPECT_EQ(header_names(request),
              (std::vector<std::string>{"Host", "User-Agent", "x-talvane-session-token"}));
  }
}

}  // namespace
}  // namespace companion
