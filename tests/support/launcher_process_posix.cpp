#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/launcher_process.h"

namespace testing_support {
namespace {

constexpr int DRAIN_POLL_MS = 50;

// In the forked child, which leads the terminal's session: forks again; the new child returns
// to exec the program in a foreground process group of its own, this one waits for it and ends
// with its status (128 + N for signal N). Only async-signal-safe calls.
void run_as_job() {
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);  // taking the foreground from the background
    tcsetpgrp(0, getpid());
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return;
  }
  int status = 0;
  while (waitpid(job, &status, 0) < 0) {
    if (errno != EINTR) _exit(125);
  }
  _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

}  // namespace

LauncherProcess::LauncherProcess(const Options& options) {
  winsize ws{};
  ws.ws_col = options.columns;
  ws.ws_row = options.rows;
  if (openpty(&master_, &slave_, nullptr, nullptr, &ws) < 0) {
    start_error_ = std::string("openpty: ") + strerror(errno);
    return;
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  tcgetattr(slave_, &initial_);

  // Everything the child needs is built before fork.
  std::vector<std::string> argv_storage{options.program};
  argv_storage.insert(argv_storage.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage;
  for (const auto& [name, value] : options.env) env_storage.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& var : env_storage) envp.push_back(var.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) {
    start_error_ = std::string("fork: ") + strerror(errno);
    return;
  }
  if (pid_ == 0) {
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(options.stdin_from_null ? null_fd : slave_, 0);
    dup2(options.stdout_to_null ? null_fd : slave_, 1);
    dup2(slave_, 2);
    if (options.nonblocking) fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
    for (int sig : options.ignored_signals) signal(sig, SIG_IGN);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) < 0) _exit(126);
    if (options.job_control) run_as_job();
    execve(options.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  drainer_ = std::thread([this] { drain(); });
}

LauncherProcess::~LauncherProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (drainer_.joinable()) drainer_.join();
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void LauncherProcess::drain() {
  char buffer[8192];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, DRAIN_POLL_MS) <= 0 || !(pfd.revents & POLLIN)) continue;
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    output_grew_.notify_all();
  }
}

void LauncherProcess::type(std::string_view keys) {
  while (!keys.empty()) {
    const ssize_t n = write(master_, keys.data(), keys.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    keys.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string LauncherProcess::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool LauncherProcess::wait_for_output(std::string_view text,
                                      std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return output_grew_.wait_for(lock, bound,
                               [&] { return output_.find(text) != std::string::npos; });
}

void LauncherProcess::resize(std::uint16_t columns, std::uint16_t rows) {
  winsize ws{};
  ws.ws_col = columns;
  ws.ws_row = rows;
  ioctl(master_, TIOCSWINSZ, &ws);
}

termios LauncherProcess::terminal_attributes() const {
  termios t{};
  tcgetattr(slave_, &t);
  return t;
}

void LauncherProcess::send_signal(int sig) { kill(pid_, sig); }

pid_t LauncherProcess::foreground_group() const { return tcgetpgrp(master_); }

bool LauncherProcess::terminal_nonblocking() const {
  return (fcntl(slave_, F_GETFL) & O_NONBLOCK) != 0;
}

void LauncherProcess::hang_up() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (drainer_.joinable()) drainer_.join();
  close(master_);
  master_ = -1;
  // Our own descriptor of its side would keep nothing alive, but is of no use any more either.
  close(slave_);
  slave_ = -1;
}

std::optional<int> LauncherProcess::wait_exit(std::chrono::milliseconds bound) {
  if (status_) return status_;
  eventually(
      [&] {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        return true;
      },
      bound);
  return status_;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace testing_support
