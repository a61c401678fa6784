#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/console.h"
#include "platform/fd_posix.h"

namespace platform {
namespace {

// SAVED_INPUT_MODE: the terminal attributes of standard input found by the first successful
// install_console_handler. The state goes EMPTY -> STORING -> SAVED once; readers look at the
// attributes only after seeing SAVED.
enum SavedState : int { EMPTY = 0, STORING = 1, SAVED = 2 };
std::atomic<int> SAVED_STATE{EMPTY};
termios SAVED_INPUT_MODE{};

std::atomic<ControlHook> CONTROL_HOOK{nullptr};

// The resize pipe: the signal thread writes a byte on every SIGWINCH, the resize watcher waits
// on the read end. -1 until set up.
std::atomic<int> RESIZE_PIPE{-1};
std::atomic<int> RESIZE_WAIT{-1};  // read end of the resize pipe

constexpr int CONTROL_SIGNALS[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT};

// Installed for SIGWINCH only so that the signal is never discarded as "ignored by default" on
// systems that do so even while it is blocked; it never runs, as every thread blocks it.
extern "C" void on_resize_signal(int) {}

// Ends the process as the signal's default action would, after restoring the terminal and
// withdrawing the session.
[[noreturn]] void end_by_signal(int sig) {
  restore_console();
  if (ControlHook hook = CONTROL_HOOK.load()) hook();
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}

// The signals are blocked in every thread of the process and taken here, on an ordinary thread,
// with sigwait: no work at all runs in signal context, and no thread can be interrupted with the
// signal pending while it waits in a read.
void signal_thread(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig != SIGWINCH) end_by_signal(sig);
    const int fd = RESIZE_PIPE.load();
    const unsigned char byte = SIGWINCH;
    ssize_t ignored = ::write(fd, &byte, 1);  // a full pipe already holds a wake-up
    (void)ignored;
  }
}

Result<void> make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (pipe(fds) < 0) return last_os_error();
  read_end = UniqueFd(fds[0]);
  write_end = UniqueFd(fds[1]);
  // The signal thread must never block on a full pipe: one pending byte is enough.
  if (!set_cloexec(fds[0]) || !set_cloexec(fds[1]) ||
      fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK) < 0) {
    return last_os_error();
  }
  return {};
}

// Adds `sig` to the set taken by the signal thread, unless it was ignored when we started (nohup,
// a background job): such a signal stays ignored.
Result<void> take_signal(int sig, sigset_t& set) {
  struct sigaction old {};
  if (sigaction(sig, nullptr, &old) < 0) return last_os_error();
  if (old.sa_handler == SIG_IGN) return {};
  sigaddset(&set, sig);
  return {};
}

// Runs on the main thread before any worker thread starts, so that every later thread inherits
// the blocked mask. The agent's child process resets it before exec.
Result<void> set_up_signals() {
  UniqueFd resize_read, resize_write;
  if (auto made = make_pipe(resize_read, resize_write); !made) return made;
  sigset_t set;
  sigemptyset(&set);
  for (int sig : CONTROL_SIGNALS) {
    if (auto taken = take_signal(sig, set); !taken) return taken;
  }
  struct sigaction resize {};
  resize.sa_handler = on_resize_signal;
  sigemptyset(&resize.sa_mask);
  resize.sa_flags = SA_RESTART;
  if (sigaction(SIGWINCH, &resize, nullptr) < 0) return last_os_error();
  sigaddset(&set, SIGWINCH);
  if (const int err = pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0) return os_error(err);
  RESIZE_WAIT = resize_read.release();
  RESIZE_PIPE = resize_write.release();
  try {
    std::thread(signal_thread, set).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return Error("failed to start the signal thread").context(e.what());
  }
  return {};
}

class StdinSource final : public ByteSource {
 public:
  Result<std::size_t> read(std::span<char> buffer) override {
    return read_some(STDIN_FILENO, buffer.data(), buffer.size());
  }
};

class StdoutSink final : public ByteSink {
 public:
  Result<void> write_all(std::string_view bytes) override {
    return platform::write_all(STDOUT_FILENO, bytes);
  }
  Result<void> flush() override { return {}; }
};

}  // namespace

Result<ConsoleSize> console_size() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) < 0) return last_os_error();
  return ConsoleSize{ws.ws_col, ws.ws_row};
}

void wait_for_resize(std::chrono::milliseconds bound) {
  const int fd = RESIZE_WAIT.load();
  if (fd < 0) {
    std::this_thread::sleep_for(bound);
    return;
  }
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(bound.count())) > 0) {
    char drain[64];
    ssize_t ignored = ::read(fd, drain, sizeof drain);
    (void)ignored;
  }
}

void set_control_hook(ControlHook hook) { CONTROL_HOOK = hook; }

Result<void> install_console_handler() {
  termios current{};
  if (tcgetattr(STDIN_FILENO, &current) < 0) return last_os_error();
  int expected = EMPTY;
  if (SAVED_STATE.compare_exchange_strong(expected, STORING)) {
    SAVED_INPUT_MODE = current;
    SAVED_STATE.store(SAVED, std::memory_order_release);
  }
  static std::once_flag once;
  static Result<void> set_up;
  std::call_once(once, [] { set_up = set_up_signals(); });
  return set_up;
}

Result<void> enter_relay_input_mode() {
  termios raw{};
  if (SAVED_STATE.load(std::memory_order_acquire) == SAVED) {
    raw = SAVED_INPUT_MODE;
  } else if (tcgetattr(STDIN_FILENO, &raw) < 0) {
    return last_os_error();
  }
  // Fully raw, output post-processing included: a full-screen agent that turned its own
  // newline translation off must not get it back from us.
  cfmakeraw(&raw);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) < 0) return last_os_error();
  return {};
}

void restore_console() {
  if (SAVED_STATE.load(std::memory_order_acquire) != SAVED) return;
  // TCSANOW: after a hangup there is nothing to drain, and a drain could wait.
  tcsetattr(STDIN_FILENO, TCSANOW, &SAVED_INPUT_MODE);
}

void use_binary_standard_streams() {}  // POSIX streams never translate line ends

std::unique_ptr<ByteSource> console_input() { return std::make_unique<StdinSource>(); }

std::unique_ptr<ByteSink> console_output() { return std::make_unique<StdoutSink>(); }

}  // namespace platform
