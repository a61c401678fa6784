// Requests to the desktop app: one HTTP/1.1 exchange per call on a fresh connection to
// 127.0.0.1, bounded as a whole by one deadline. Any thread may call these; nothing is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace companion {

enum class Method { Get, Post };

// The result of one request.
struct RequestOutcome {
  enum class Kind {
    TransportFailure,  // no status obtained (refused, timed out, closed, malformed, bad URL)
    ErrorStatus,       // status 400 or above; the body was not read
    Answered,          // status below 400
  };
  Kind kind = Kind::TransportFailure;
  int status = 0;
  // For Answered: the whole body, read within the request's deadline; nothing when it could not
  // be read (over 10 MiB, deadline expired, connection closed early).
  std::optional<std::string> body;
};

// The largest answer body that is read: 10 MiB.
inline constexpr std::size_t MAX_ANSWER_BYTES = 10 * 1024 * 1024;

// Sends one request and blocks until the outcome is known or the time-out expires; the time-out
// covers connecting, sending, the status, the headers and the body. A refused connection fails
// at once. Headers: Host, User-Agent, then "Content-Type: application/json" when a body is
// given, then "x-talvane-session-token: <token>", then Content-Length with a body. Never
// retries, never uses a proxy. TransportFailure without sending anything when the URL is not
// "http://127.0.0.1:<port>/<visible ASCII>", or the token holds a control character or is longer
// than 65,533 bytes.
RequestOutcome send_request(Method method, std::string_view url, std::chrono::milliseconds timeout,
                            std::string_view capability_token,
                            const std::optional<std::string>& body);

// "http://127.0.0.1:<port>"
std::string base_url(unsigned short port);

// The URL of a session's endpoint: base + "/api/managed-sessions/" + handle + suffix, where the
// handle is percent-encoded as a URL path segment would be serialised, so that no byte of it can
// end the request line or start a query. Nothing when no valid URL can be formed.
std::optional<std::string> session_url(std::string_view base, std::string_view handle,
                                       std::string_view suffix);

}  // namespace companion
