#include "tests/support/loopback_server.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <istream>

namespace testing_support {
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && s[start] == ' ') ++start;
  return s.substr(start);
}

// Reads one request (head and a Content-Length body); false when the peer went away.
bool read_request(tcp::socket& socket, ReceivedRequest& request) {
  asio::streambuf buffer;
  boost::system::error_code ec;
  asio::read_until(socket, buffer, "\r\n\r\n", ec);
  if (ec) return false;
  std::istream in(&buffer);
  std::string line;
  std::getline(in, line);
  const std::size_t first_space = line.find(' ');
  const std::size_t second_space = line.find(' ', first_space + 1);
  request.method = line.substr(0, first_space);
  request.target = line.substr(first_space + 1, second_space - first_space - 1);
  std::size_t length = 0;
  while (std::getline(in, line) && line != "\r") {
    const std::size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : trim(line.substr(colon + 1));
    if (same_name(name, "content-length")) length = std::stoul(value);
    request.headers.emplace_back(std::move(name), std::move(value));
  }
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (body.size() < length) {
    std::string rest(length - body.size(), '\0');
    asio::read(socket, asio::buffer(rest), ec);
    if (ec) return false;
    body += rest;
  }
  request.body = std::move(body);
  return true;
}

}  // namespace

std::string ReceivedRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (same_name(n, name)) return v;
  }
  return "";
}

Reply http_reply(int status, const std::string& body) {
  Reply reply;
  reply.bytes = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  return reply;
}

struct LoopbackServer::Sockets {
  asio::io_context context;
  tcp::acceptor acceptor{context};
  std::vector<tcp::socket> hanging;  // only touched by the serving thread, then the destructor
};

LoopbackServer::LoopbackServer(Responder responder)
    : sockets_(std::make_unique<Sockets>()), responder_(std::move(responder)) {
  const tcp::endpoint any_port(asio::ip::address_v4::loopback(), 0);
  sockets_->acceptor.open(any_port.protocol());
  sockets_->acceptor.bind(any_port);
  sockets_->acceptor.listen();
  port_ = sockets_->acceptor.local_endpoint().port();
  thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  // Wake the blocking accept with one last connection.
  asio::io_context context;
  tcp::socket waker(context);
  boost::system::error_code ec;
  waker.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port_), ec);
  thread_.join();
}

void LoopbackServer::set_responder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool LoopbackServer::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void LoopbackServer::serve() {
  for (;;) {
    tcp::socket socket(sockets_->context);
    boost::system::error_code ec;
    sockets_->acceptor.accept(socket, ec);
    Responder responder;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      responder = responder_;
    }
    if (ec) continue;
    ReceivedRequest request;
    request.port = port_;
    if (!read_request(socket, request)) continue;
    const Reply reply = responder(request);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    arrived_.notify_all();
    asio::write(socket, asio::buffer(reply.bytes), ec);
    if (reply.hang) {
      sockets_->hanging.push_back(std::move(socket));
    } else {
      socket.shutdown(tcp::socket::shutdown_both, ec);
    }
  }
}

std::uint16_t unused_port() {
  asio::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace testing_support
