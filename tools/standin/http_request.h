// The stand-in app's own HTTP/1.1 reading and writing: just enough to parse one request per
// connection (request line, headers, Content-Length body) and to frame an answer. Pure functions;
// any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

// The endpoints of the desktop app, told apart by method and path.
enum class Endpoint { Register, RegisterV2, Deregister, Pending, Delivered, Unknown };

// "register", "register-v2", "deregister", "pending", "delivered"; nothing for anything else.
std::optional<Endpoint> endpoint_from_name(std::string_view name);
std::string_view endpoint_name(Endpoint endpoint);

struct RequestHead {
  std::string method;
  std::string target;                                        // as received
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  std::size_t content_length = 0;
};

// The largest request head and body the stand-in reads.
inline constexpr std::size_t MAX_HEAD_BYTES = 64 * 1024;
inline constexpr std::size_t MAX_BODY_BYTES = 1024 * 1024;

// Parses the head of a request: everything before the blank line, without it. Nothing when the
// request line or a header line is malformed or Content-Length is not a single plain number of
// at most MAX_BODY_BYTES.
std::optional<RequestHead> parse_head(std::string_view head);

// The value of the first header of that name (compared without regard to case), or nothing.
const std::string* find_header(const RequestHead& head, std::string_view name);

// Which endpoint a request addresses and, for the pending and delivered endpoints, the session
// handle in its path with percent escapes decoded. The query, if any, is ignored.
struct Route {
  Endpoint endpoint = Endpoint::Unknown;
  std::string handle;
};
Route route(std::string_view method, std::string_view target);

std::string percent_decode(std::string_view text);

// How an answer's body is framed on the wire.
enum class Framing {
  Length,        // Content-Length and the whole body
  Chunked,       // Transfer-Encoding: chunked, the body in three pieces
  CloseMidBody,  // Content-Length of the whole body, only its first half, then the close
};

// The bytes of a whole answer ("Connection: close" included).
std::string format_answer(int status, std::string_view body, Framing framing);

}  // namespace standin
