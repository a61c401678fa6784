// Unrecoverable internal errors. The fatal-error hook withdraws the session (deregister_global,
// 1 s) and then prints the report on standard error. A worker thread that meets one ends and the
// rest of the process runs on; on the main thread the process ends with status 101.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace launch {

// The exit status of a process whose main thread met an unrecoverable error.
inline constexpr int FATAL_EXIT_STATUS = 101;

// Thrown by fatal() to unwind the calling thread after the hook has run, so that guards (the
// console restoration among them) run on the way out. Caught only at a thread's boundary.
struct FatalError {
  std::string message;
};

// Installs the hook for the process: any exception that escapes a thread body or main() goes
// through it. Main thread, first thing.
void install_fatal_hook();

// Runs the hook for `message` (deregister_global, then the report) and unwinds the calling
// thread with FatalError.
[[noreturn]] void fatal(const std::string& message);

// A worker thread's work: any callable, moved in, copyable or not. Move-only.
class WorkerTask {
 public:
  template <class Body>
  WorkerTask(Body body) : body_(std::make_unique<Holder<Body>>(std::move(body))) {}
  void operator()() { body_->run(); }

 private:
  struct Work {
    virtual ~Work() = default;
    virtual void run() = 0;
  };
  template <class Body>
  struct Holder final : Work {
    explicit Holder(Body b) : body(std::move(b)) {}
    void run() override { body(); }
    Body body;
  };
  std::unique_ptr<Work> body_;
};

// Starts a detached worker thread running `body`. An exception escaping `body` goes through the
// hook and ends that thread only. A thread that cannot be started is fatal ("failed to spawn
// thread: ...").
void spawn_worker(WorkerTask body);

// Runs the main thread's work: returns its status, or FATAL_EXIT_STATUS after the hook has run
// for an exception that escaped it.
int run_main(const std::function<int()>& body);

}  // namespace launch
