// A tiny scripted HTTP server on 127.0.0.1 (a free port) for the companion link's tests. It serves
// one connection at a time on its own thread, records every request and answers with the raw
// bytes its responder returns, so that tests can send exactly the answers they need: odd
// statuses, chunked or cut-off bodies, or no answer at all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

struct ReceivedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;
  std::uint16_t port = 0;  // the server it reached

  // The first value of the header (name compared without case), or "" when absent.
  std::string header(std::string_view name) const;
};

struct Reply {
  std::string bytes;      // written as they stand
  bool hang = false;      // after writing, keep the connection open until the server ends
};

// A complete answer: status line, Content-Length and the body.
Reply http_reply(int status, const std::string& body = "");

class LoopbackServer {
 public:
  using Responder = std::function<Reply(const ReceivedRequest&)>;

  explicit LoopbackServer(Responder responder);
  ~LoopbackServer();  // closes every connection, hanging ones included
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  void set_responder(Responder responder);

  std::vector<ReceivedRequest> requests() const;
  // Waits until at least `count` requests arrived, or the time-out passed.
  bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Sockets;
  void serve();

  std::unique_ptr<Sockets> sockets_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  Responder responder_;                    // GUARDED_BY(mutex_)
  std::vector<ReceivedRequest> requests_;  // GUARDED_BY(mutex_)
  bool stopping_ = false;                  // GUARDED_BY(mutex_)
  std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens (it was free a moment ago).
std::uint16_t unused_port();

}  // namespace testing_support
