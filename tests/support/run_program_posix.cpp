#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/fd_posix.h"
#include "tests/support/run_program.h"

namespace testing_support {

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
  ProgramResult result;
  int out[2], err[2];
  if (!platform::cloexec_pipe(out)) return result;
  if (!platform::cloexec_pipe(err)) {
    close(out[0]);
    close(out[1]);
    return result;
  }

  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  if (open_pipes > 0) kill(pid, SIGKILL);
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && open_pipes == 0) {
    result.status = WEXITSTATUS(status);
  }
  return result;
}

}  // namespace testing_support
