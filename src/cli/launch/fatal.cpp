#include "cli/launch/fatal.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>

#include "cli/companion/session.h"

namespace launch {
namespace {

// Withdraws the session, then prints the report. Runs on the thread that met the error.
void run_hook(const std::string& message) {
  companion::deregister_global();
  const std::string report = "talvane: internal error: " + message + "\n";
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

// An exception that escaped a thread body: report it unless fatal() already did.
void report_escaped(std::exception_ptr escaped) {
  try {
    std::rethrow_exception(escaped);
  } catch (const FatalError&) {
  } catch (const std::exception& e) {
    run_hook(e.what());
  } catch (...) {
    run_hook("unknown exception");
  }
}

[[noreturn]] void on_terminate() {
  // Something escaped where nothing catches (a noexcept boundary): the process cannot go on.
  std::exception_ptr escaped = std::current_exception();
  if (escaped) {
    report_escaped(escaped);
  } else {
    run_hook("terminate called");
  }
  std::fflush(stdout);
  std::_Exit(FATAL_EXIT_STATUS);
}

}  // namespace

void install_fatal_hook() { std::set_terminate(on_terminate); }

void fatal(const std::string& message) {
  run_hook(message);
  throw FatalError{message};
}

void spawn_worker(WorkerTask body) {
  try {
    std::thread worker([body = std::move(body)]() mutable {
      try {
        body();
      } catch (...) {
        // The thread ends here; the rest of the process runs on.
        report_escaped(std::current_exception());
      }
    });
    worker.detach();
  } catch (const std::system_error& e) {
    fatal(std::string("failed to spawn thread: ") + e.what());
  }
}

int run_main(const std::function<int()>& body) {
  try {
    return body();
  } catch (...) {
    report_escaped(std::current_exception());
    return FATAL_EXIT_STATUS;
  }
}

}  // namespace launch
