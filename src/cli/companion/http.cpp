// The project's one Boost.Beast translation unit: every request to the desktop app goes through
// send_request here.
//
// Each request gets its own io_context and connection and one deadline for the whole exchange.
// Beast's timeouts only work with asynchronous operations, so each step is started
// asynchronously and the context is run until the step completes or the deadline passes; then
// the socket is closed, so that nothing outlives the deadline.
#include "cli/companion/http.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <charconv>
#include <cstdint>
#include <exception>
#include <limits>

#include "platform/socket.h"

namespace companion {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view URL_PREFIX = "http://127.0.0.1:";
constexpr std::string_view USER_AGENT = "talvane/0.1.0";
constexpr std::string_view TOKEN_HEADER = "x-talvane-session-token";
constexpr std::string_view SESSIONS_PATH = "/api/managed-sessions/";
constexpr int HTTP_1_1 = 11;
constexpr std::size_t READ_BUFFER_BYTES = 64 * 1024;
constexpr int FIRST_ERROR_STATUS = 400;

// Boost 1.74's Beast takes its own string_view.
beast::string_view view(std::string_view s) { return {s.data(), s.size()}; }

struct Target {
  std::uint16_t port = 0;
  std::string path;  // starts with '/'
};

// Only what the launcher itself builds is accepted: "http://127.0.0.1:<port><path>", where the
// path holds visible ASCII only. Anything else could not be sent safely, and is refused.
std::optional<Target> parse_url(std::string_view url) {
  if (url.substr(0, URL_PREFIX.size()) != URL_PREFIX) return std::nullopt;
  url.remove_prefix(URL_PREFIX.size());
  const std::size_t path_start = std::min(url.find('/'), url.size());
  const std::string_view digits = url.substr(0, path_start);
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (ec != std::errc() || end != digits.data() + digits.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  Target target;
  target.port = static_cast<std::uint16_t>(port);
  target.path = path_start < url.size() ? std::string(url.substr(path_start)) : "/";
  for (const char c : target.path) {
    if (c <= ' ' || c >= 0x7F || c == '#') return std::nullopt;
  }
  return target;
}

// The longest header value Beast can hold (its fields keep sizes in 16 bits, two of them spent on
// the separator); a longer one would fail only once the connection is open.
constexpr std::size_t MAX_HEADER_VALUE_BYTES = std::numeric_limits<std::uint16_t>::max() - 2;

// A header value must not be able to end its line: CR, LF, NUL and the other control characters
// (tab aside) are refused, as a careful HTTP client does, rather than sent raw. A value too long
// to send is refused the same way, before anything is sent.
bool is_safe_header_value(std::string_view value) {
  if (value.size() > MAX_HEADER_VALUE_BYTES) return false;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return false;
  }
  return true;
}

// One exchange on its own context. Each step returns the operation's error, or
// asio::error::timed_out when the deadline passes first.
class Exchange {
 public:
  explicit Exchange(Clock::time_point deadline) : stream_(context_), deadline_(deadline) {
    // Beast reads at most what the buffer already holds room for: left at its first small size,
    // a large body would come in hundreds of bytes a read.
    buffer_.reserve(READ_BUFFER_BYTES);
  }

  beast::error_code connect(std::uint16_t port) {
    beast::error_code ec;
    stream_.socket().open(asio::ip::tcp::v4(), ec);
    if (ec) return ec;
    platform::fail_refused_connect_at_once(
        static_cast<std::uintptr_t>(stream_.socket().native_handle()));
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    return run([&](auto handler) { stream_.async_connect(endpoint, std::move(handler)); });
  }

  template <class Request>
  beast::error_code write(Request& request) {
    return run([&](auto handler) { http::async_write(stream_, request, std::move(handler)); });
  }

  template <class Parser>
  beast::error_code read_header(Parser& parser) {
    return run([&](auto handler) {
      http::async_read_header(stream_, buffer_, parser, std::move(handler));
    });
  }

  template <class Parser>
  beast::error_code read_rest(Parser& parser) {
    return run(
        [&](auto handler) { http::async_read(stream_, buffer_, parser, std::move(handler)); });
  }

 private:
  template <class Start>
  beast::error_code run(Start start) {
    // The deadline is kept here, by running the context no longer than it, rather than by the
    // stream's own timer, which would be armed anew for every read of a large body.
    if (Clock::now() >= deadline_) return asio::error::timed_out;
    std::optional<beast::error_code> result;
    start([&result](beast::error_code ec, auto&&...) { result = ec; });
    // One handler at a time, so that the step ends as soon as its own handler has run.
    context_.restart();
    while (!result && context_.run_one_until(deadline_) > 0) {
    }
    if (!result) {
      // The deadline passed: close the socket so that the operation completes (aborted), and
      // let its handler run before the state it refers to goes away.
      beast::error_code ignored;
      stream_.socket().close(ignored);
      context_.restart();
      context_.run();
      return asio::error::timed_out;
    }
    return *result;
  }

  asio::io_context context_{1};
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  const Clock::time_point deadline_;
};

http::request<http::string_body> build_request(Method method, const Target& target,
                                               std::string_view token,
                                               const std::optional<std::string>& body) {
  http::request<http::string_body> request(
      method == Method::Get ? http::verb::get : http::verb::post, target.path, HTTP_1_1);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(target.port));
  request.set(http::field::user_agent, view(USER_AGENT));
  // The app's headers in their fixed order: the content type (with a body), then the token.
  if (body) request.set(http::field::content_type, "application/json");
  request.set(view(TOKEN_HEADER), view(token));
  if (body) {
    request.body() = *body;
    request.content_length(body->size());
  }
  return request;
}

RequestOutcome exchange(Method method, const Target& target, std::chrono::milliseconds timeout,
                        std::string_view token, const std::optional<std::string>& body) {
  RequestOutcome outcome;  // TransportFailure until a status arrives
  Exchange exchange(Clock::now() + timeout);
  if (exchange.connect(target.port)) return outcome;
  auto request = build_request(method, target, token, body);
  if (exchange.write(request)) return outcome;

  http::response_parser<http::string_body> parser;
  // Beast would refuse an oversized Content-Length while reading the header, losing the
  // status; the limit is applied to the body alone, once the status is known.
  // (Not boost::none: Boost 1.74 compares the length against an empty limit as exceeding it.)
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  if (exchange.read_header(parser)) return outcome;

  outcome.status = static_cast<int>(parser.get().result_int());
  if (outcome.status >= FIRST_ERROR_STATUS) {
    outcome.kind = RequestOutcome::Kind::ErrorStatus;  // the body is left unread
    return outcome;
  }
  outcome.kind = RequestOutcome::Kind::Answered;
  // Over the limit, cut off, or out of time: the status stands, the body is nothing.
  const boost::optional<std::uint64_t> announced = parser.content_length();
  if (announced && *announced > MAX_ANSWER_BYTES) return outcome;
  parser.body_limit(std::uint64_t{MAX_ANSWER_BYTES});
  if (!parser.is_done() && exchange.read_rest(parser)) return outcome;
  outcome.body = std::move(parser.get().body());
  return outcome;
}

bool is_unreserved_path_byte(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':  // unreserved
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':  // sub-delims
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
      return true;
    default:
      return false;
  }
}

}  // namespace

RequestOutcome send_request(Method method, std::string_view url, std::chrono::milliseconds timeout,
                            std::string_view capability_token,
                            const std::optional<std::string>& body) {
  const std::optional<Target> target = parse_url(url);
  if (!target || !is_safe_header_value(capability_token)) return RequestOutcome{};
  try {
    return exchange(method, *target, timeout, capability_token, body);
  } catch (const std::exception&) {
    // Resource exhaustion inside Asio (no socket, no memory): no status was obtained.
    return RequestOutcome{};
  }
}

std::string base_url(unsigned short port) { return std::string(URL_PREFIX) + std::to_string(port); }

std::optional<std::string> session_url(std::string_view base, std::string_view handle,
                                       std::string_view suffix) {
  // "." and ".." are dot segments: every URL parser removes them (and treats "%2e" the same), so
  // no URL can carry such a handle to the app.
  if (handle == "." || handle == "..") return std::nullopt;
  // The handle is one path segment. Every byte outside RFC 3986's pchar set is percent-encoded:
  // controls, space and non-ASCII bytes, which could end the request line or add a header; '?'
  // and '#', which would start a query or fragment; '/' and '\\', which would split the
  // segment; and '%' itself. Encoding '%' makes the segment decode back to exactly the handle:
  // left raw, a handle holding "%2F" or "%3F" would reach the app as a different handle.
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string url(base);
  url += SESSIONS_PATH;
  for (const char c : handle) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_unreserved_path_byte(byte)) {
      url.push_back(c);
    } else {
      url.push_back('%');
      url.push_back(HEX[byte >> 4]);
      url.push_back(HEX[byte & 0x0F]);
    }
  }
  url += suffix;
  return url;
}

}  // namespace companion
