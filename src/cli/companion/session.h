// The managed session: the launcher's standing with the desktop app for one run. Created once at
// start-up, kept registered by the keeper thread, read by the reply poller, withdrawn at the end
// of the run, on a console control event or on a fatal error. Nothing here prints anything.
//
// Locks: `register_lock` is held for one whole registration attempt (requests included);
// `registration_mutex` only to copy, replace or take out the registration. Lock order:
// register_lock before registration_mutex. GLOBAL_SESSION's mutex is never held with either.
// The discovery files are read anew at every attempt and check; nothing of them is cached.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cli/agent_kind.h"
#include "cli/running_flag.h"
#include "platform/os_string.h"

namespace companion {

// Outcome of the first registration attempt, for the start-up notices.
enum class RegistrationStatus : std::uint8_t {
  NotRegistered = 0,
  NotConnected = 1,
  AppTooOld = 2,
  RemoteCodex = 3,
  Registered = 4,
};

// Held for one whole registration attempt; a withdrawal that cannot wait for the attempt's answer
// gives up after a bound. Lockable and timed, like std::timed_mutex, but built from a mutex and a
// condition variable: the timed lock of std::timed_mutex is a pthread call the thread sanitizer
// does not follow, and it then reports every unlock as a fault.
class AttemptLock {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    free_.wait(guard, [&] { return !held_; });
    held_ = true;
  }
  template <class Rep, class Period>
  bool try_lock_for(std::chrono::duration<Rep, Period> wait) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!free_.wait_for(guard, wait, [&] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;  // GUARDED_BY(mutex_)
};

// One registration with the app, replaced or cleared as a whole.
struct Registration {
  std::string base_url;          // "http://127.0.0.1:<port>" the registration was made with
  std::string capability_token;  // the token the registration was made with
  std::string session_handle;    // the app's name for this session
};

struct ManagedSession {
  ManagedSession(cli::AgentKind agent_kind, platform::OsString app_data_dir, std::string token,
                 std::optional<std::string> working_dir, std::uint32_t launcher_pid)
      : data_dir(std::move(app_data_dir)),
        session_token(std::move(token)),
        cwd(std::move(working_dir)),
        pid(launcher_pid),
        agent(agent_kind) {}

  const platform::OsString data_dir;
  const std::string session_token;  // 64 lower-case hex digits, fixed for the process
  const std::optional<std::string> cwd;
  const std::uint32_t pid;  // the launcher's own process id
  const cli::AgentKind agent;

  // Set by the reply poller when the app asks the session to end; read by the run loop.
  std::atomic<bool> shutdown_requested{false};

  AttemptLock register_lock;                 // held for one whole registration attempt
  std::mutex registration_mutex;             // guards `registration` and `attempt`
  std::optional<Registration> registration;  // GUARDED_BY(registration_mutex)
  // Where the register request under way was sent and with which capability token (no handle
  // yet): a withdrawal that cannot wait for its answer is sent there.
  std::optional<Registration> attempt;  // GUARDED_BY(registration_mutex)
};

using SharedSession = std::shared_ptr<ManagedSession>;

// The process-wide slot through which the console control handler and the fatal-error hook
// reach the session. Filled by create_session; emptied only by deregister_global. The mutex is
// held only to store or take out the reference, never across a request.
struct GlobalSession {
  std::mutex mutex;
  SharedSession session;  // GUARDED_BY(mutex)
};
extern GlobalSession GLOBAL_SESSION;

// Builds the session (none without a data directory or random bytes), publishes it in
// GLOBAL_SESSION and makes the first registration attempt (at most 3 s).
// Main thread, once.
std::pair<SharedSession, RegistrationStatus> create_session(cli::AgentKind agent);

// create_session with the data directory already resolved (nothing: no session).
std::pair<SharedSession, RegistrationStatus> create_session_in(
    cli::AgentKind agent, std::optional<platform::OsString> data_dir);

// One registration attempt; attempts never overlap. Any thread.
RegistrationStatus register_session(ManagedSession& session);

// True when the stored registration was made with the current token and port. No request.
bool registration_is_current(ManagedSession& session);

// A copy of the current registration, or nothing.
std::optional<Registration> registration_snapshot(ManagedSession& session);

// Clears the registration if its handle is still `handle`. No request.
void forget_registration(ManagedSession& session, std::string_view handle);

// Takes the registration out and, if there was one, withdraws it with the app (outcome ignored).
// Each registration is withdrawn at most once. Any thread.
void deregister(ManagedSession& session, std::chrono::milliseconds timeout);

// Empties GLOBAL_SESSION and deregisters what was there, within 1 s in all. A registration
// attempt under way is waited for part of that time; still unanswered, it is withdrawn by the
// session token where it was sent, so that a registration the app completes later does not
// outlive the launcher. Any thread but one making an attempt, any number of times; only the
// first call finds a session. Used by the console control handler and the fatal-error hook.
void deregister_global();

// The keeper thread's body: re-registers within about a second whenever the registration is
// missing or stale, until `running` is cleared.
void run_keeper(cli::RunningFlag running, SharedSession session);

// Time-outs of the session's requests.
inline constexpr std::chrono::milliseconds REGISTER_TIMEOUT{3000};
inline constexpr std::chrono::milliseconds END_OF_RUN_DEREGISTER_TIMEOUT{3000};
inline constexpr std::chrono::milliseconds QUICK_DEREGISTER_TIMEOUT{1000};
inline constexpr std::chrono::milliseconds KEEPER_PERIOD{1000};

}  // namespace companion
