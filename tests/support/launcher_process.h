// Runs a program (the real talvane, or any other) in a fresh pseudo-terminal of its own, as a
// user's terminal would: the harness holds the terminal's master side, drains everything the
// program writes on a thread of its own, types bytes, resizes, signals, and waits for the exit.
//
//   LauncherProcess::Options options;
//   options.program = TALVANE_EXE;
//   options.args = {"claude", "--flag"};
//   options.env = {{"PATH", dir}, {"FAKE_AGENT_DIR", dir}};
//   LauncherProcess talvane(options);
//   ASSERT_TRUE(talvane.started()) << talvane.start_error();
//   talvane.type("hello");
//   EXPECT_TRUE(talvane.wait_for_output("hello", std::chrono::seconds(10)));
//   EXPECT_EQ(talvane.wait_exit(std::chrono::seconds(10)), 0);
//
// The object is used from the test's thread; output() and wait_for_output() may be called any
// time. Destroying it kills the program (SIGKILL) if it is still running. POSIX only.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testing_support {

class LauncherProcess {
 public:
  struct Options {
    std::string program;                     // path of the program
    std::vector<std::string> args;           // after argv[0], which is the program
    std::map<std::string, std::string> env;  // the whole environment (nothing is inherited)
    std::string cwd;                         // empty: the test's own
    std::uint16_t columns = 80;
    std::uint16_t rows = 24;
    bool stdin_from_null = false;      // standard input is /dev/null instead of the terminal
    bool stdout_to_null = false;       // standard output is /dev/null instead of the terminal
    std::vector<int> ignored_signals;  // ignored when the program starts, as nohup leaves SIGHUP
    bool nonblocking = false;  // the terminal is left non-blocking, as by an earlier program
    // Runs the program as a shell runs a job: in a process group of its own, in the foreground,
    // under a parent (pid()) that waits for it and ends with its status.
    bool job_control = false;
  };

  explicit LauncherProcess(const Options& options);
  LauncherProcess(const LauncherProcess&) = delete;
  LauncherProcess& operator=(const LauncherProcess&) = delete;
  ~LauncherProcess();

  bool started() const { return pid_ > 0; }
  const std::string& start_error() const { return start_error_; }
  pid_t pid() const { return pid_; }

  // Writes the bytes to the terminal, as typed keys (all of them, in order).
  void type(std::string_view keys);

  // Everything the program has written to the terminal so far.
  std::string output() const;

  // Waits until output() contains `text`; false when `bound` passes first.
  bool wait_for_output(std::string_view text, std::chrono::milliseconds bound) const;

  // Sets the terminal's size; the kernel sends the program SIGWINCH.
  void resize(std::uint16_t columns, std::uint16_t rows);

  // The terminal's current attributes, as the program left them.
  termios terminal_attributes() const;

  // The attributes the terminal had before the program started (a fresh terminal's defaults).
  const termios& initial_attributes() const { return initial_; }

  void send_signal(int sig);

  // The terminal's foreground process group (the program's own, under job_control).
  pid_t foreground_group() const;

  // Whether the terminal is non-blocking now.
  bool terminal_nonblocking() const;

  // Closes the terminal's master side, as closing a terminal window does: the program's
  // terminal is hung up. No output is collected after this.
  void hang_up();

  // The exit status (128 + N when ended by signal N), or nothing when `bound` passes first.
  std::optional<int> wait_exit(std::chrono::milliseconds bound);

 private:
  void drain();

  int master_ = -1;
  int slave_ = -1;  // kept open so that no output is lost when the program closes its side
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string start_error_;
  termios initial_{};

  mutable std::mutex mutex_;
  mutable std::condition_variable output_grew_;
  std::string output_;  // GUARDED_BY(mutex_)
  bool stop_ = false;   // GUARDED_BY(mutex_)
  std::thread drainer_;
};

// Polls `predicate` until it holds or `bound` passes; the last result.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The whole file, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

}  // namespace testing_support
