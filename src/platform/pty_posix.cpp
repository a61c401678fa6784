#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fd_posix.h"
#include "platform/posix_features.h"
#include "platform/pty.h"
#include "platform/wake_posix.h"

#if TALVANE_LINUX_CALLS
#include <sys/syscall.h>
#endif

namespace platform {

struct PtyState {
  UniqueFd master;
  bool writer_taken = false;
};

struct ChildState {
  UniqueFd slave;
};

struct AgentState {
  pid_t pid = -1;
  UniqueFd pidfd;  // readable once the agent has exited; empty where the system has none
  std::optional<std::uint32_t> exit_code;
};

namespace {

// Without anything to wake it on the agent's exit, the wait looks this often.
constexpr std::chrono::milliseconds UNWOKEN_SLICE{10};

class FdReader final : public ByteSource {
 public:
  explicit FdReader(UniqueFd fd) : fd_(std::move(fd)) {}

  Result<std::size_t> read(std::span<char> buffer) override {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      // Linux reports EIO on the master once every descriptor of the agent's side is closed:
      // that is the end of its output, not a failure.
      if (errno == EIO) return std::size_t{0};
      return last_os_error();
    }
  }

 private:
  UniqueFd fd_;
};

class FdWriter final : public ByteSink {
 public:
  explicit FdWriter(UniqueFd fd) : fd_(std::move(fd)) {}

  Result<void> write_all(std::string_view bytes) override {
    return platform::write_all(fd_.get(), bytes);
  }
  Result<void> flush() override { return {}; }

 private:
  UniqueFd fd_;
};

winsize to_winsize(ConsoleSize size) {
  winsize ws{};
  ws.ws_col = size.columns;
  ws.ws_row = size.rows;
  return ws;
}

std::uint32_t decode_status(int status) {
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

UniqueFd open_pidfd(pid_t pid) {
#if TALVANE_LINUX_CALLS && defined(SYS_pidfd_open)
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    // pidfd_open sets close-on-exec itself.
    return UniqueFd(static_cast<int>(fd));
  }
#else
  (void)pid;
#endif
  return UniqueFd();
}

// What the child needs, prepared before fork: after fork only async-signal-safe calls are made.
struct ExecPlan {
  std::vector<std::string> storage;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

ExecPlan plan_exec(const AgentCommand& command) {
  ExecPlan plan;
  plan.storage.reserve(command.args.size() + command.env.entries().size());
  for (const OsString& arg : command.args) plan.storage.push_back(arg);
  for (const Environment::Entry& var : command.env.entries()) {
    if (is_valid_variable_name(var.name)) plan.storage.push_back(var.name + "=" + var.value);
  }
  std::size_t i = 0;
  for (; i < command.args.size(); ++i) plan.argv.push_back(plan.storage[i].data());
  plan.argv.push_back(nullptr);
  for (; i < plan.storage.size(); ++i) plan.envp.push_back(plan.storage[i].data());
  plan.envp.push_back(nullptr);
  return plan;
}

// Closes every descriptor above standard error except `keep` (the error pipe, close-on-exec).
void close_inherited_fds(int keep) {
#if TALVANE_LINUX_CALLS && defined(CLOSE_RANGE_CLOEXEC)
  // Marking them close-on-exec keeps `keep` usable until exec succeeds.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  const long limit = sysconf(_SC_OPEN_MAX);
  const int last = limit > 0 && limit < 65536 ? static_cast<int>(limit) : 65536;
  for (int fd = 3; fd < last; ++fd) {
    if (fd != keep) ::close(fd);
  }
}

// The child after fork: becomes a session leader with the slave as its controlling terminal and
// standard streams, then execs. On failure the errno goes up the pipe.
[[noreturn]] void exec_child(int slave, int error_pipe, const char* program, const ExecPlan& plan) {
  int err = 0;
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGWINCH, SIGCHLD})
    signal(sig, SIG_DFL);
  if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) {
    err = errno;
  } else if (dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0) {
    err = errno;
  } else {
    if (slave > 2) ::close(slave);
    close_inherited_fds(error_pipe);
    execve(program, plan.argv.data(), plan.envp.data());
    err = errno;
  }
  ssize_t ignored = ::write(error_pipe, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// The child's exec error, or 0 once the pipe closed on a successful exec.
int read_exec_error(int fd) {
  int err = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &err, sizeof err);
    if (n < 0 && errno == EINTR) continue;
    return n == static_cast<ssize_t>(sizeof err) ? err : 0;
  }
}

}  // namespace

PtyChildSide::PtyChildSide(std::unique_ptr<ChildState> state) : state_(std::move(state)) {}
PtyChildSide::PtyChildSide(PtyChildSide&&) noexcept = default;
PtyChildSide& PtyChildSide::operator=(PtyChildSide&&) noexcept = default;
PtyChildSide::~PtyChildSide() = default;

PtyMaster::PtyMaster(std::unique_ptr<PtyState> state) : state_(std::move(state)) {}
PtyMaster::PtyMaster(PtyMaster&&) noexcept = default;
PtyMaster& PtyMaster::operator=(PtyMaster&&) noexcept = default;
PtyMaster::~PtyMaster() = default;

Result<std::unique_ptr<ByteSource>> PtyMaster::clone_reader() {
  const int fd = fcntl(state_->master.get(), F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return last_os_error().context("failed to clone the terminal reader");
  return std::unique_ptr<ByteSource>(std::make_unique<FdReader>(UniqueFd(fd)));
}

Result<std::unique_ptr<ByteSink>> PtyMaster::take_writer() {
  if (state_->writer_taken) return Error("the terminal writer was already taken");
  const int fd = fcntl(state_->master.get(), F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return last_os_error().context("failed to take the terminal writer");
  state_->writer_taken = true;
  return std::unique_ptr<ByteSink>(std::make_unique<FdWriter>(UniqueFd(fd)));
}

void PtyMaster::close() {
  // Nothing to do: the output ends by itself once the agent's side is closed.
}

Result<void> PtyMaster::resize(ConsoleSize size) {
  const winsize ws = to_winsize(size);
  if (ioctl(state_->master.get(), TIOCSWINSZ, &ws) < 0) {
    return last_os_error().context("failed to resize the terminal");
  }
  return {};
}

Result<PtyPair> open_pty(ConsoleSize size) {
  int master = -1;
  int slave = -1;
  winsize ws = to_winsize(size);
  if (openpty(&master, &slave, nullptr, nullptr, &ws) < 0) {
    return last_os_error().context("failed to open a pseudo-terminal");
  }
  UniqueFd master_fd(master);
  UniqueFd slave_fd(slave);
  // openpty cannot open them close-on-exec; no other thread of ours starts a program meanwhile.
  if (!set_cloexec(master) || !set_cloexec(slave)) {
    return last_os_error().context("failed to open a pseudo-terminal");
  }
  auto pty = std::make_unique<PtyState>();
  pty->master = std::move(master_fd);
  auto child = std::make_unique<ChildState>();
  child->slave = std::move(slave_fd);
  return PtyPair{PtyMaster(std::move(pty)), PtyChildSide(std::move(child))};
}

Result<AgentProcess> spawn_agent(PtyChildSide&& child_side, AgentCommand&& command) {
  const PtyChildSide child = std::move(child_side);
  const std::string program_text = to_utf8_lossy(command.program);
  const auto failure = [&](const Error& cause) {
    return cause.context("failed to start " + program_text);
  };
  if (command.args.empty()) return Error("failed to start " + program_text + ": no arguments");
  const ExecPlan plan = plan_exec(command);

  int pipe_fds[2];
  if (!cloexec_pipe(pipe_fds)) return failure(last_os_error());
  UniqueFd error_read(pipe_fds[0]);
  UniqueFd error_write(pipe_fds[1]);

  const pid_t pid = fork();
  if (pid < 0) return failure(last_os_error());
  if (pid == 0) {
    exec_child(child.state_->slave.get(), error_write.get(), command.program.c_str(), plan);
  }
  error_write.reset();
  const int exec_error = read_exec_error(error_read.get());
  if (exec_error != 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return failure(os_error(static_cast<unsigned long>(exec_error)));
  }
  auto state = std::make_unique<AgentState>();
  state->pid = pid;
  state->pidfd = open_pidfd(pid);
  return AgentProcess(std::move(state));
}

AgentProcess::AgentProcess(std::unique_ptr<AgentState> state) : state_(std::move(state)) {}
AgentProcess::AgentProcess(AgentProcess&&) noexcept = default;
AgentProcess& AgentProcess::operator=(AgentProcess&&) noexcept = default;
AgentProcess::~AgentProcess() = default;

Result<std::optional<std::uint32_t>> AgentProcess::exit_code() {
  if (state_->exit_code) return state_->exit_code;
  int status = 0;
  pid_t done;
  do {
    done = waitpid(state_->pid, &status, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return last_os_error().context("failed to query the agent's exit");
  if (done == 0) return std::optional<std::uint32_t>();
  state_->exit_code = decode_status(status);
  return state_->exit_code;
}

Result<std::optional<std::uint32_t>> AgentProcess::wait_exit(std::chrono::milliseconds bound) {
  if (state_->exit_code) return state_->exit_code;
  // The agent's process descriptor (Linux) is readable once it has exited; elsewhere the signal
  // thread turns SIGCHLD into a wake-up. A wait that nothing would wake on the agent's exit
  // looks at it in short slices instead.
  const bool exit_wakes = state_->pidfd || (child_exit_wakes() && exit_wait_wake_fd() >= 0);
  const std::chrono::milliseconds slice = exit_wakes ? bound : std::min(bound, UNWOKEN_SLICE);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  pollfd fds[2] = {{exit_wait_wake_fd(), POLLIN, 0}, {state_->pidfd.get(), POLLIN, 0}};
  const nfds_t count = state_->pidfd ? 2 : 1;
  for (;;) {
    const int n = poll(fds, count, static_cast<int>(slice.count()));
    if (n < 0 && errno != EINTR) return last_os_error().context("failed to wait for the agent");
    if (n > 0 && (fds[0].revents & POLLIN)) drain_exit_wait_wake();
    // A wake-up that is not the agent's exit is for the caller to read.
    if (n != 0) return exit_code();
    // The bound passed without a wake-up: still running, no need to ask.
    if (exit_wakes) return std::optional<std::uint32_t>();
    Result<std::optional<std::uint32_t>> now = exit_code();
    if (!now.ok() || now.value() || std::chrono::steady_clock::now() >= deadline) return now;
  }
}

}  // namespace platform
