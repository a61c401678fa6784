// talvane-standin: a stand-in for the desktop app, for the demo, the benchmarks and for trying
// the launcher by hand without the app.
//
//   talvane-standin --data-dir DIR [--token T] [--hold-ms N] [--v1] [--stamps] [--script FILE]
//
// It writes the discovery files into DIR ("claude-hud-port.json", "codex-hud-port.json",
// "managed-session-token.json"), listens on a free port of 127.0.0.1, prints
// "listening on 127.0.0.1:PORT" and then one line per request it receives on standard output:
//
//   [+3.512s] POST /api/managed-sessions/register {"cwd":"/home/me","pid":4242,"token":"…"}
//
// With --stamps each line starts instead with "[@NANOS] ", the steady clock's reading in
// nanoseconds (CLOCK_MONOTONIC on Linux), and each answer sent gets a line of its own:
//
//   [@81234567890123] answered 200 GET /api/managed-sessions/h1/pending
//
// Point the launcher at it with TALVANE_DATA_DIR=DIR. It answers every endpoint as the app
// would: registrations get a new session handle, a pending poll with nothing to deliver is held
// for --hold-ms (25000 by default) and then answered {"reply":null}, requests with another
// capability token get 401. --v1 makes the Codex register endpoint answer in the old form,
// without "protocol_version" (the launcher then reports an app that is too old).
//
// Commands, one per line, from standard input (or from FILE with --script):
//   reply TEXT             queue a voice reply; \n, \r, \t, \e (ESC) and \\ are unescaped
//   shutdown               ask the session to end (after the replies already queued)
//   restart                drop every connection and session, listen on a new port
//   token NEW              write a new capability token
//   status ENDPOINT CODE   answer ENDPOINT with CODE and body {} from now on
//   clear ENDPOINT         answer ENDPOINT normally again
//   delay ENDPOINT MS      answer ENDPOINT with 200 and body {} after MS milliseconds
//   garbage ENDPOINT       answer ENDPOINT with 200 and a body that is not JSON
//   hang ENDPOINT          never answer ENDPOINT (the connection stays open)
//   body ENDPOINT FILE     answer ENDPOINT with 200 and the bytes of FILE from now on, at once
//                          and to every request (a pending poll included, whatever was
//                          acknowledged: a flooding app); prints "body of N bytes" once set
//   hold MS                hold an empty pending poll MS milliseconds from now on
//   sleep MS               wait MS milliseconds before the next command
//   quit                   stop serving and exit
// ENDPOINT is one of register, register-v2, deregister, pending, delivered.
//
// Without --script it ends at the end of standard input. With --script it reads no standard
// input and, unless the script says quit, serves on after the script until it is killed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "standin/app.h"

namespace {

using namespace std::chrono_literals;

constexpr auto PRINT_POLL = 100ms;

std::mutex output_mutex;

void say(const std::string& line) {
  std::lock_guard lock(output_mutex);
  std::cout << line << std::endl;
}

std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    switch (text[++i]) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'e':
        out.push_back('\x1b');
        break;
      case '\\':
        out.push_back('\\');
        break;
      default:
        out.push_back('\\');
        out.push_back(text[i]);
        break;
    }
  }
  return out;
}

using Clock = std::chrono::steady_clock;

std::string stamp(Clock::time_point at, Clock::time_point start, bool absolute) {
  if (absolute) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
    return "[@" + std::to_string(ns.count()) + "] ";
  }
  char text[32];
  std::snprintf(text, sizeof text, "[+%.3fs] ", std::chrono::duration<double>(at - start).count());
  return text;
}

std::size_t count_answered(const std::vector<standin::RecordedRequest>& all) {
  std::size_t n = 0;
  for (const standin::RecordedRequest& r : all) n += r.answered ? 1 : 0;
  return n;
}

// Prints each recorded request once, in arrival order, until `stop` is set; with `stamps`, also
// each answer once it has been sent.
void print_requests(const standin::App& app, const std::atomic<bool>& stop, bool stamps) {
  const auto start = Clock::now();
  std::size_t printed = 0;
  std::vector<bool> answer_printed;
  std::size_t answers = 0;
  while (!stop) {
    app.wait_until(
        [&](const auto& all) {
          return all.size() > printed || (stamps && count_answered(all) > answers);
        },
        PRINT_POLL);
    const std::vector<standin::RecordedRequest> all = app.requests();
    for (; printed < all.size(); ++printed) {
      const standin::RecordedRequest& r = all[printed];
      say(stamp(r.received, start, stamps) + (r.method.empty() ? "(malformed) " : r.method + " ") +
          r.target + (r.body.empty() ? "" : " " + r.body));
    }
    if (!stamps) continue;
    answer_printed.resize(all.size(), false);
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (answer_printed[i] || !all[i].answered) continue;
      answer_printed[i] = true;
      ++answers;
      say(stamp(*all[i].answered, start, true) + "answered " + std::to_string(all[i].status) + " " +
          all[i].method + " " + all[i].target);
    }
  }
}

std::optional<standin::Endpoint> endpoint_arg(std::istringstream& words) {
  std::string name;
  words >> name;
  std::optional<standin::Endpoint> endpoint = standin::endpoint_from_name(name);
  if (!endpoint) say("unknown endpoint: " + name);
  return endpoint;
}

// Runs one command line; false for quit.
bool run_command(standin::App& app, const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb.empty() || verb[0] == '#') return true;
  if (verb == "quit") return false;
  if (verb == "reply") {
    std::string rest = line.substr(line.find("reply") + 5);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    app.queue_reply(unescape(rest));
  } else if (verb == "shutdown") {
    app.request_shutdown();
  } else if (verb == "restart") {
    say("listening on 127.0.0.1:" + std::to_string(app.restart_on_new_port()));
  } else if (verb == "token") {
    std::string token;
    words >> token;
    app.change_token(token);
  } else if (verb == "status") {
    int code = 0;
    if (auto endpoint = endpoint_arg(words); endpoint && words >> code) {
      app.set_answer(*endpoint, standin::status_answer(code));
    }
  } else if (verb == "delay") {
    long ms = 0;
    if (auto endpoint = endpoint_arg(words); endpoint && words >> ms) {
      standin::Answer answer = standin::status_answer(200);
      answer.delay = std::chrono::milliseconds(ms);
      app.set_answer(*endpoint, answer);
    }
  } else if (verb == "garbage") {
    if (auto endpoint = endpoint_arg(words)) {
      app.set_answer(*endpoint, standin::status_answer(200, "<html>\x01 not json {\"reply\":"));
    }
  } else if (verb == "hang") {
    if (auto endpoint = endpoint_arg(words)) {
      standin::Answer answer;
      answer.never_answer = true;
      app.set_answer(*endpoint, answer);
    }
  } else if (verb == "body") {
    std::string path;
    if (auto endpoint = endpoint_arg(words); endpoint && words >> path) {
      std::ifstream file(path, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      const std::size_t size = bytes.size();
      app.set_answer(*endpoint, standin::status_answer(200, std::move(bytes)));
      say("body of " + std::to_string(size) + " bytes");
    }
  } else if (verb == "hold") {
    long ms = 0;
    words >> ms;
    app.set_hold(std::chrono::milliseconds(ms));
  } else if (verb == "clear") {
    if (auto endpoint = endpoint_arg(words)) app.clear_answer(*endpoint);
  } else if (verb == "sleep") {
    long ms = 0;
    words >> ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  } else {
    say("unknown command: " + verb);
  }
  return true;
}

int usage() {
  std::cerr << "usage: talvane-standin --data-dir DIR [--token T] [--hold-ms N] [--v1]"
               " [--stamps] [--script FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  standin::App::Options options;
  std::optional<std::string> script;
  bool stamps = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--data-dir" && has_value) {
      options.data_dir = argv[++i];
    } else if (arg == "--token" && has_value) {
      options.token = argv[++i];
    } else if (arg == "--hold-ms" && has_value) {
      options.hold = std::chrono::milliseconds(std::atol(argv[++i]));
    } else if (arg == "--script" && has_value) {
      script = argv[++i];
    } else if (arg == "--stamps") {
      stamps = true;
    } else if (arg == "--v1") {
      options.v2 = false;
    } else {
      return usage();
    }
  }
  if (options.data_dir.empty() || options.token.empty()) return usage();

  standin::App app(options);
  if (app.port() == 0) {
    std::cerr << "talvane-standin: cannot listen on 127.0.0.1\n";
    return 1;
  }
  say("listening on 127.0.0.1:" + std::to_string(app.port()));
  std::atomic<bool> stop{false};
  std::thread printer(print_requests, std::cref(app), std::cref(stop), stamps);

  bool go_on = true;
  std::string line;
  if (script) {
    std::ifstream in(*script);
    if (!in) say("cannot read " + *script);
    while (go_on && std::getline(in, line)) go_on = run_command(app, line);
    while (go_on) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  while (go_on && std::getline(std::cin, line)) go_on = run_command(app, line);

  stop = true;
  printer.join();
  return 0;
}
