#include "standin/http_request.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace standin {
namespace {

constexpr std::string_view SESSIONS_PREFIX = "/api/managed-sessions/";

struct EndpointName {
  Endpoint endpoint;
  std::string_view name;
};
constexpr std::array<EndpointName, 5> ENDPOINT_NAMES{{
    {Endpoint::Register, "register"},
    {Endpoint::RegisterV2, "register-v2"},
    {Endpoint::Deregister, "deregister"},
    {Endpoint::Pending, "pending"},
    {Endpoint::Delivered, "delivered"},
}};

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::size_t> parse_length(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::size_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  if (n > MAX_BODY_BYTES) return std::nullopt;
  return n;
}

// Splits off the next CRLF-terminated line (the last line needs no terminator).
std::string_view next_line(std::string_view& rest) {
  const std::size_t end = rest.find("\r\n");
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 2);
  return line;
}

bool parse_request_line(std::string_view line, RequestHead& head) {
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return false;
  head.method = std::string(line.substr(0, first));
  head.target = std::string(line.substr(first + 1, last - first - 1));
  const std::string_view version = line.substr(last + 1);
  return !head.method.empty() && !head.target.empty() &&
         head.target.find(' ') == std::string::npos && version.substr(0, 7) == "HTTP/1.";
}

std::string_view reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string chunked(std::string_view body) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  const std::size_t piece = std::max<std::size_t>(1, (body.size() + 2) / 3);
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string_view part = body.substr(at, piece);
    std::string size;
    for (std::size_t n = part.size(); n > 0; n /= 16) size.insert(size.begin(), HEX[n % 16]);
    out.append(size).append("\r\n").append(part).append("\r\n");
  }
  out.append("0\r\n\r\n");
  return out;
}

}  // namespace

std::optional<Endpoint> endpoint_from_name(std::string_view name) {
  for (const EndpointName& e : ENDPOINT_NAMES) {
    if (e.name == name) return e.endpoint;
  }
  return std::nullopt;
}

std::string_view endpoint_name(Endpoint endpoint) {
  for (const EndpointName& e : ENDPOINT_NAMES) {
    if (e.endpoint == endpoint) return e.name;
  }
  return "unknown";
}

std::optional<RequestHead> parse_head(std::string_view head_text) {
  RequestHead head;
  if (!parse_request_line(next_line(head_text), head)) return std::nullopt;
  std::optional<std::size_t> length;
  while (!head_text.empty()) {
    const std::string_view line = next_line(head_text);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view name = line.substr(0, colon);
    if (name.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
    const std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "Content-Length")) {
      const std::optional<std::size_t> n = parse_length(value);
      if (!n || (length && *length != *n)) return std::nullopt;
      length = n;
    }
    head.headers.emplace_back(std::string(name), std::string(value));
  }
  head.content_length = length.value_or(0);
  return head;
}

const std::string* find_header(const RequestHead& head, std::string_view name) {
  for (const auto& [n, v] : head.headers) {
    if (iequals(n, name)) return &v;
  }
  return nullptr;
}

std::string percent_decode(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

Route route(std::string_view method, std::string_view target) {
  const std::string_view path = target.substr(0, target.find_first_of("?#"));
  if (path.substr(0, SESSIONS_PREFIX.size()) != SESSIONS_PREFIX) return {};
  const std::string_view rest = path.substr(SESSIONS_PREFIX.size());
  if (method == "POST") {
    if (rest == "register") return {Endpoint::Register, {}};
    if (rest == "v2/register") return {Endpoint::RegisterV2, {}};
    if (rest == "deregister") return {Endpoint::Deregister, {}};
  }
  const auto with_handle = [&](std::string_view suffix, Endpoint endpoint) -> std::optional<Route> {
    if (rest.size() < suffix.size() || rest.substr(rest.size() - suffix.size()) != suffix) {
      return std::nullopt;
    }
    return Route{endpoint, percent_decode(rest.substr(0, rest.size() - suffix.size()))};
  };
  if (method == "GET") {
    if (auto r = with_handle("/pending", Endpoint::Pending)) return *r;
  }
  if (method == "POST") {
    if (auto r = with_handle("/delivered", Endpoint::Delivered)) return *r;
  }
  return {};
}

std::string format_answer(int status, std::string_view body, Framing framing) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason(status)) +
                    "\r\nContent-Type: application/json\r\n";
  if (framing == Framing::Chunked) {
    out.append("Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n").append(chunked(body));
    return out;
  }
  out.append("Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
  out.append(framing == Framing::CloseMidBody ? body.substr(0, body.size() / 2) : body);
  return out;
}

}  // namespace standin
