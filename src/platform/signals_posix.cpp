// The launcher's signals. They are blocked in every thread of the process and taken on an
// ordinary thread of their own with sigwait: no work at all runs in signal context, and no
// thread can be interrupted with the signal pending while it waits in a read.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/console.h"
#include "platform/fd_posix.h"
#include "platform/pty.h"
#include "platform/terminal_posix.h"
#include "platform/wake_posix.h"

namespace platform {
namespace {

std::atomic<ControlHook> CONTROL_HOOK{nullptr};

// The resize pipe: the signal thread writes a byte on every SIGWINCH, the resize watcher waits
// on the read end. -1 until set up.
std::atomic<int> RESIZE_PIPE{-1};
std::atomic<int> RESIZE_WAIT{-1};  // read end of the resize pipe

// The signals taken, fixed before the signal thread starts.
sigset_t TAKEN;

constexpr int CONTROL_SIGNALS[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT};
constexpr int STOP_SIGNALS[] = {SIGTSTP, SIGTTIN, SIGTTOU};
// Ignored by default, so some systems discard them even while blocked unless a handler is
// installed; the handler never runs, as every thread blocks them. For SIGCHLD this also undoes
// an ignore inherited from the parent, under which the agent would be reaped unseen.
constexpr int NOTICE_SIGNALS[] = {SIGWINCH, SIGCHLD, SIGCONT};

extern "C" void on_noticed_signal(int) {}

// A job-control stop: the terminal goes back to how the user had it, the process stops as the
// signal's default action stops it, and once continued (or when the system discarded the stop,
// as in an orphaned process group) the run takes the relay mode again.
void stop_for_job_control(int sig) {
  leave_relay_mode_for_stop();
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  // Delivered to this thread alone, with its default action, which stops the whole process.
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  pthread_kill(pthread_self(), sig);
  pthread_sigmask(SIG_BLOCK, &only, nullptr);
  resume_relay_mode();
}

void signal_thread() {
  for (;;) {
    int sig = 0;
    if (sigwait(&TAKEN, &sig) != 0) continue;
    switch (sig) {
      case SIGWINCH:
        wake_resize_watcher();
        break;
      case SIGCHLD:
        wake_exit_wait();
        break;
      case SIGCONT:
        resume_relay_mode();
        break;
      case SIGTSTP:
      case SIGTTIN:
      case SIGTTOU:
        stop_for_job_control(sig);
        break;
      default:
        end_by_signal(sig);
    }
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

// Adds `sig` to the set taken by the signal thread, unless it was ignored when we started (a
// background job, a shell without job control): such a signal stays ignored.
Result<void> take_signal(int sig, sigset_t& set) {
  struct sigaction old {};
  if (sigaction(sig, nullptr, &old) < 0) return last_os_error();
  if (old.sa_handler == SIG_IGN) return {};
  sigaddset(&set, sig);
  return {};
}

Result<void> notice_signal(int sig, sigset_t& set) {
  struct sigaction notice {};
  notice.sa_handler = on_noticed_signal;
  sigemptyset(&notice.sa_mask);
  notice.sa_flags = SA_RESTART;
  if (sigaction(sig, &notice, nullptr) < 0) return last_os_error();
  sigaddset(&set, sig);
  return {};
}

}  // namespace

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
  for (int sig : STOP_SIGNALS) {
    if (auto taken = take_signal(sig, set); !taken) return taken;
  }
  for (int sig : NOTICE_SIGNALS) {
    if (auto noticed = notice_signal(sig, set); !noticed) return noticed;
  }
  if (const int err = pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0) return os_error(err);
  TAKEN = set;
  RESIZE_WAIT = resize_read.release();
  RESIZE_PIPE = resize_write.release();
  try {
    std::thread(signal_thread).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return Error("failed to start the signal thread").context(e.what());
  }
  note_child_exit_wakes();
  return {};
}

[[noreturn]] void end_by_signal(int sig) {
  // Held until the process ends: a second way out (a hang-up seen by a pump while the signal
  // thread ends the run) must not end the process while the first one withdraws the session.
  static std::mutex ending;
  ending.lock();
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

bool takes_stop_signal(int sig) { return sigismember(&TAKEN, sig) == 1; }

void wake_resize_watcher() {
  const int fd = RESIZE_PIPE.load();
  if (fd < 0) return;
  const unsigned char byte = 1;
  ssize_t ignored = ::write(fd, &byte, 1);  // a full pipe already holds a wake-up
  (void)ignored;
}

void wait_for_resize(std::chrono::milliseconds bound) {
  const int fd = RESIZE_WAIT.load();
  if (fd < 0) {
    std::this_thread::sleep_for(bound);
    return;
  }
  // The system announces every change (SIGWINCH): no need to look before one comes.
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, -1) > 0) {
    char drain[64];
    ssize_t ignored = ::read(fd, drain, sizeof drain);
    (void)ignored;
  }
}

void set_control_hook(ControlHook hook) { CONTROL_HOOK = hook; }

}  // namespace platform
