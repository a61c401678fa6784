#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/console.h"
#include "platform/fd_posix.h"
#include "platform/terminal_posix.h"

namespace platform {
namespace {

// SAVED_INPUT_MODE: the terminal attributes of standard input found by the first successful
// install_console_handler, and whether standard input and output were non-blocking then. The
// state goes EMPTY -> STORING -> SAVED once; readers look at the record only after seeing SAVED.
enum SavedState : int { EMPTY = 0, STORING = 1, SAVED = 2 };
std::atomic<int> SAVED_STATE{EMPTY};
struct SavedTerminal {
  termios attributes{};
  bool nonblocking[2] = {false, false};  // standard input, standard output
};
SavedTerminal SAVED_INPUT_MODE;

// Changes of the terminal's mode, from the main thread, the signal thread (stop and continue)
// and a pump that finds the run in the background.
std::mutex TERMINAL_MUTEX;
bool RELAY_WANTED = false;   // GUARDED_BY(TERMINAL_MUTEX): between entering and restoring
bool RELAY_APPLIED = false;  // GUARDED_BY(TERMINAL_MUTEX): the terminal is in the relay mode

// Counts continuations after a job-control stop, for those that wait for one.
std::mutex CONTINUED_MUTEX;
std::condition_variable CONTINUED;
std::uint64_t CONTINUATIONS = 0;  // GUARDED_BY(CONTINUED_MUTEX)

// A wait for a continuation gives up after this and looks again: a stop that the system
// discards (an orphaned process group) brings none.
constexpr std::chrono::seconds CONTINUATION_BOUND{1};

constexpr int STANDARD_FDS[] = {STDIN_FILENO, STDOUT_FILENO};

bool saved() { return SAVED_STATE.load(std::memory_order_acquire) == SAVED; }

// True when another process group has the terminal: our reads would fail and our mode changes
// would be the foreground program's loss.
bool in_background() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground >= 0 && foreground != getpgrp();
}

void set_nonblocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags) fcntl(fd, F_SETFL, wanted);
}

// REQUIRES: TERMINAL_MUTEX held. Fully raw, output post-processing included: a full-screen agent
// that turned its own newline translation off must not get it back from us. An earlier program
// may have left the terminal non-blocking; the relay reads and writes it blocking.
Result<void> apply_relay_mode() {
  termios raw = SAVED_INPUT_MODE.attributes;
  cfmakeraw(&raw);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) < 0) return last_os_error();
  for (int fd : STANDARD_FDS) set_nonblocking(fd, false);
  RELAY_APPLIED = true;
  return {};
}

// REQUIRES: TERMINAL_MUTEX held. TCSANOW: after a hangup there is nothing to drain, and a drain
// could wait.
void put_back_saved_mode() {
  if (!RELAY_APPLIED) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &SAVED_INPUT_MODE.attributes);
  for (int i = 0; i < 2; ++i) set_nonblocking(STANDARD_FDS[i], SAVED_INPUT_MODE.nonblocking[i]);
  RELAY_APPLIED = false;
}

bool relay_applied() {
  std::lock_guard<std::mutex> lock(TERMINAL_MUTEX);
  return RELAY_APPLIED;
}

std::uint64_t continuations() {
  std::lock_guard<std::mutex> lock(CONTINUED_MUTEX);
  return CONTINUATIONS;
}

// The run is in the background: stop the way a program that touches its terminal there is
// stopped, and come back once continued (or after the bound). Still in the background then (bg
// again, or a stop the system discarded): wait the bound, so that the caller's retry cannot spin.
void wait_for_foreground(int stop_signal) {
  const std::uint64_t seen = continuations();
  if (takes_stop_signal(stop_signal)) kill(getpid(), stop_signal);
  {
    std::unique_lock<std::mutex> lock(CONTINUED_MUTEX);
    CONTINUED.wait_for(lock, CONTINUATION_BOUND, [&] { return CONTINUATIONS != seen; });
  }
  if (in_background()) std::this_thread::sleep_for(CONTINUATION_BOUND);
}

// The user's terminal is gone: end as its hang-up would, even when SIGHUP is ignored (nohup).
// The process's end closes the agent's terminal, which gives the agent its own hang-up.
[[noreturn]] void hang_up() { end_by_signal(SIGHUP); }

bool is_gone(int err) { return err == EIO || err == ENXIO; }

bool wait_ready(int fd, short events) {
  pollfd pfd{fd, events, 0};
  return poll(&pfd, 1, -1) >= 0 || errno == EINTR;
}

class StdinSource final : public ByteSource {
 public:
  Result<std::size_t> read(std::span<char> buffer) override {
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n > 0) return static_cast<std::size_t>(n);
      const int err = n < 0 ? errno : 0;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        // Made non-blocking again behind our back: wait for the next key instead.
        if (wait_ready(STDIN_FILENO, POLLIN)) continue;
        return last_os_error();
      }
      if (err == EIO && in_background()) {
        wait_for_foreground(SIGTTIN);
        continue;
      }
      // In the raw mode a live terminal never reads as ended. Out of it (the moment between a
      // continuation and the relay mode, or the end of the run) an end is a Ctrl+D, unless the
      // terminal answers no more.
      if (n == 0 && !relay_applied() && tcgetpgrp(STDIN_FILENO) >= 0) continue;
      if (n == 0 || is_gone(err)) hang_up();
      return os_error(static_cast<unsigned long>(err));
    }
  }
};

class StdoutSink final : public ByteSink {
 public:
  Result<void> write_all(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) return Error("the write took no bytes");
      const int err = errno;
      if (err == EINTR) continue;
      if ((err == EAGAIN || err == EWOULDBLOCK) && wait_ready(STDOUT_FILENO, POLLOUT)) continue;
      if (is_gone(err)) hang_up();
      return os_error(static_cast<unsigned long>(err));
    }
    return {};
  }
  Result<void> flush() override { return {}; }
};

}  // namespace

Result<ConsoleSize> console_size() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) < 0) return last_os_error();
  return ConsoleSize{ws.ws_col, ws.ws_row};
}

Result<void> install_console_handler() {
  termios current{};
  if (tcgetattr(STDIN_FILENO, &current) < 0) return last_os_error();
  int expected = EMPTY;
  if (SAVED_STATE.compare_exchange_strong(expected, STORING)) {
    SAVED_INPUT_MODE.attributes = current;
    for (int i = 0; i < 2; ++i) {
      const int flags = fcntl(STANDARD_FDS[i], F_GETFL);
      SAVED_INPUT_MODE.nonblocking[i] = flags >= 0 && (flags & O_NONBLOCK) != 0;
    }
    SAVED_STATE.store(SAVED, std::memory_order_release);
  }
  static std::once_flag once;
  static Result<void> set_up;
  std::call_once(once, [] { set_up = set_up_signals(); });
  return set_up;
}

Result<void> enter_relay_input_mode() {
  if (!saved()) return Error("the terminal's mode was not saved");
  // Started in the background: wait for the foreground as any program that sets its terminal's
  // mode would (SIGTTOU is blocked, so the system would let us change the foreground's mode).
  while (in_background() && takes_stop_signal(SIGTTOU)) wait_for_foreground(SIGTTOU);
  std::lock_guard<std::mutex> lock(TERMINAL_MUTEX);
  RELAY_WANTED = true;
  return apply_relay_mode();
}

void restore_console() {
  if (!saved()) return;
  std::lock_guard<std::mutex> lock(TERMINAL_MUTEX);
  RELAY_WANTED = false;
  put_back_saved_mode();
}

void leave_relay_mode_for_stop() {
  if (!saved()) return;
  std::lock_guard<std::mutex> lock(TERMINAL_MUTEX);
  put_back_saved_mode();
}

void resume_relay_mode() {
  if (saved()) {
    std::lock_guard<std::mutex> lock(TERMINAL_MUTEX);
    // Continued in the background (bg): the terminal is the foreground program's; the next
    // read stops the run again until it is brought back.
    if (RELAY_WANTED && !in_background()) (void)apply_relay_mode();
  }
  // The window may have changed while the run was stopped: the agent gets the current size.
  wake_resize_watcher();
  {
    std::lock_guard<std::mutex> lock(CONTINUED_MUTEX);
    ++CONTINUATIONS;
  }
  CONTINUED.notify_all();
}

void use_binary_standard_streams() {}  // POSIX streams never translate line ends

std::unique_ptr<ByteSource> console_input() { return std::make_unique<StdinSource>(); }

std::unique_ptr<ByteSink> console_output() { return std::make_unique<StdoutSink>(); }

}  // namespace platform
