// A stand-in for the desktop app: writes the discovery files into a data directory, serves the
// five endpoints on 127.0.0.1 (a free port), records every request and answers as scripted. Used
// in-process by the tests and wrapped by the talvane-standin program for the demo, the
// benchmarks and people trying the launcher by hand.
//
// All requests are served on one I/O thread of its own; every member may be called from any
// other thread (not from inside a wait_until predicate). ~App() returns promptly whatever the
// connections are doing: held polls, delays and never-answered requests are all abandoned.
//
// What it answers, unless an override is set for the endpoint (overrides come first):
// - a request whose "x-talvane-session-token" is not the current token: 401;
// - register: 200 {"session_handle": h}, a new handle per registration;
// - v2 register: 200 {"agent":"codex","protocol_version":2,"session_handle": h}, or with
//   `v2 = false` the old form {"session_handle": h};
// - deregister: 200 {}, forgetting the handles registered with the session token of the body;
// - pending, delivered for a handle it does not know: 404;
// - pending: the first queued item; with nothing queued the poll is held up to `hold`, then
//   {"reply":null};
// - delivered: 200 {};
// - anything else: 404.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "standin/http_request.h"

namespace standin {

struct RecordedRequest {
  Endpoint endpoint = Endpoint::Unknown;
  std::string method;
  std::string target;  // the request target exactly as received
  std::string handle;  // the session handle of a pending or delivered request, percent-decoded
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;
  unsigned short port = 0;  // the port it arrived on
  // The status answered; 0 until answered or for raw answers. Set, with `answered`, just before
  // the answer is written, so a client that has read an answer always finds it recorded.
  int status = 0;
  std::chrono::steady_clock::time_point received;
  std::optional<std::chrono::steady_clock::time_point> answered;  // when the answer was sent
};

// A scripted answer for one endpoint.
struct Answer {
  int status = 200;
  std::string body;
  Framing framing = Framing::Length;
  std::optional<std::string> raw;      // bytes sent as they stand instead, then the close
  std::chrono::milliseconds delay{0};  // wait this long before answering
  // Keep the connection open without answering; with `raw`, send those bytes first (an answer
  // that stops short and then stalls).
  bool never_answer = false;
  bool once = false;  // answer only the next request so, then clear
};

// An answer of that status and body, framed with Content-Length.
inline Answer status_answer(int status, std::string body = "{}") {
  Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  return answer;
}

class App {
 public:
  struct Options {
    std::filesystem::path data_dir;  // created if missing
    std::string token = "standin-capability-token";
    bool write_discovery_files = true;
    bool v2 = true;  // the v2 register endpoint answers with protocol_version 2
    // How long a pending poll with nothing to deliver is held before {"reply":null}.
    std::chrono::milliseconds hold{std::chrono::seconds(25)};
  };

  // Starts listening on a free port of 127.0.0.1 and, unless told not to, writes the discovery
  // files. port() is 0 when no socket could be opened.
  explicit App(Options options);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  unsigned short port() const;
  const std::filesystem::path& data_dir() const;
  std::string token() const;

  // An override answers every later request of that endpoint (or only the next one, `once`).
  void set_answer(Endpoint endpoint, Answer answer);
  void clear_answer(Endpoint endpoint);
  void set_hold(std::chrono::milliseconds hold);
  // Every later registration gets this handle (nothing: generated handles again).
  void set_session_handle(std::optional<std::string> handle);

  // Queues a reply; a held or the next pending poll answers {"reply": text}.
  void queue_reply(const std::string& text);
  // Queues a pending answer body as it stands (status 200).
  void queue_pending_body(std::string raw_body);
  // After the items queued so far, every pending poll answers
  // {"reply":null,"shutdown_requested":true}.
  void request_shutdown();
  // Forgets every queued item and the shutdown request.
  void clear_pending();

  // Closes every connection, forgets every session, listens on a new port and rewrites the
  // discovery files (as an app that restarted). Returns the new port.
  unsigned short restart_on_new_port();
  // Writes a new capability token file; requests with the old token then get 401.
  void change_token(std::string token);
  // (Re)writes the two port files and the token file.
  void write_discovery_files();
  // Removes the discovery files (an app that has gone away).
  void remove_discovery_files();

  // Every request so far, in arrival order.
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests_to(Endpoint endpoint) const;
  // Waits until `done` holds for the recorded requests, or the time-out passes; true if it held.
  bool wait_until(const std::function<bool(const std::vector<RecordedRequest>&)>& done,
                  std::chrono::milliseconds timeout) const;

  // The handle given by the latest registration ("" before the first).
  std::string last_handle() const;

 private:
  struct Impl;
  friend class Connection;  // one client connection, served on the I/O thread
  std::unique_ptr<Impl> impl_;
};

}  // namespace standin
