// A stand-in for the desktop app: writes the discovery files into a data directory, serves the
// five endpoints on 127.0.0.1, records every request and answers as scripted. Used in-process by
// the tests and wrapped by the talvane-standin program for the demo, the benchmarks and people
// trying the launcher by hand. All members are safe to call from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace standin {

enum class Endpoint { Register, RegisterV2, Deregister, Pending, Delivered, Unknown };

struct RecordedRequest {
  Endpoint endpoint = Endpoint::Unknown;
  std::string method;
  std::string target;  // the request target exactly as received
  std::string handle;  // the session handle of a pending or delivered request, percent-decoded
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;
  unsigned short port = 0;  // the port it arrived on
  std::chrono::steady_clock::time_point received;
  std::chrono::steady_clock::time_point answered;  // when the answer was written
};

// What to answer for one request: a status and a body, or raw bytes sent as they stand
// (then `close_after_raw` drops the connection right after them).
struct Answer {
  int status = 200;
  std::string body;
  std::optional<std::string> raw;
  std::chrono::milliseconds delay{0};  // wait before answering
  bool never_answer = false;           // keep the connection open without answering
};

class App {
 public:
  struct Options {
    std::filesystem::path data_dir;
    std::string token = "standin-capability-token";
    bool write_discovery_files = true;
    // Register answers: "v2" (protocol_version 2, agent codex), "v1" (no protocol_version).
    std::string register_protocol = "v2";
    // How long a pending poll with nothing to deliver is held before answering {"reply":null}.
    std::chrono::milliseconds hold{std::chrono::seconds(25)};
  };

  // Starts listening on a free port of 127.0.0.1 and writes the discovery files.
  explicit App(Options options);
  ~App();  // stops serving and closes every connection
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  unsigned short port() const;
  const std::filesystem::path& data_dir() const;
  std::string token() const;

  // Scripting. An override answers every later request of that endpoint until cleared.
  void set_answer(Endpoint endpoint, Answer answer);
  void clear_answer(Endpoint endpoint);
  void set_hold(std::chrono::milliseconds hold);

  // Queues a reply; a held or the next pending poll delivers it as {"reply": text}.
  void queue_reply(std::string text);
  // Queues a pending answer body as it stands (status 200).
  void queue_pending_body(std::string raw_body);
  // The next pending poll (or a held one) answers {"reply":null,"shutdown_requested":true}.
  void request_shutdown();

  // Listens on a new port (closing the old one) and rewrites the port files.
  void restart_on_new_port();
  // Writes a new capability token file; requests with the old token then get 401.
  void change_token(std::string token);
  // Removes the discovery files (an app that has gone away).
  void remove_discovery_files();

  // Every request so far, in arrival order.
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests_to(Endpoint endpoint) const;
  // Waits until `done` holds for the recorded requests, or the time-out passes.
  bool wait_until(const std::function<bool(const std::vector<RecordedRequest>&)>& done,
                  std::chrono::milliseconds timeout) const;

  // The handle the app gives the next registration; each registration gets a new one.
  std::string last_handle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace standin
