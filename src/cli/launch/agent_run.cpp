// How a run ends. Each way is marked "RUN END (n)" where it happens.
//
//   (1) The agent is not on PATH: its not-found message, status 1. The console is untouched and
//       the session (if any) stays registered.
//   (2) Preparing fails (standard output or input is not a console, the relay mode cannot be
//       set, the pseudo-terminal cannot be opened, the command cannot be built or started, its
//       ends cannot be taken): the console is restored if it had been switched, then one line
//       "talvane: <error>: <causes>", status 1. The session stays registered.
//   (3) A system without a pseudo-console, or a worker thread that cannot be started: the
//       fatal-error hook withdraws the session and reports; the main thread unwinds, restoring
//       the console on the way (status 101).
//   (4) The agent exits with code c: its remaining output is let through (for as long as it
//       keeps reaching the screen, within a bound without progress), then teardown; status c
//       modulo 256.
//   (5) The app asks the session to end (the reply poller sets shutdown_requested): the input
//       queued so far is written (bounded wait), then teardown; status 0. The agent is left
//       running.
//   (6) The exit query fails: restore the console, report as in (2), status 1; `running` is not
//       cleared and the session is not withdrawn.
//   (7) The console is closed, or a break, interrupt or termination comes from outside: the
//       console handling restores the console, withdraws the session and lets the system end the
//       process (platform/console.h). Nothing here runs. On POSIX a terminal found gone by a
//       pump ends the run the same way, even where the hang-up signal is ignored.
//
// Teardown, in this order: clear `running`; release the run's queue sender; withdraw the
// session (3 s, once a registration attempt under way has ended); release the run's references;
// close the screen (the modes the agent left on are switched off); restore the console; return.
// No worker thread is joined: the process ends with them.
#include "cli/launch/agent_run.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cli/launch/agent_lookup.h"
#include "cli/launch/fatal.h"
#include "cli/launch/output_drain.h"
#include "cli/relay/input_pump.h"
#include "cli/relay/output_pump.h"
#include "cli/relay/resize_watcher.h"
#include "cli/relay/screen.h"
#include "cli/relay/write_queue.h"
#include "cli/relay/writer.h"
#include "cli/replies/reply_poller.h"
#include "cli/replies/reply_shaping.h"
#include "platform/console.h"
#include "platform/pty.h"

namespace launch {
namespace {

// How long the main thread sleeps between two looks at the agent, at most: it wakes at once when
// the agent exits or the app asks the session to end, so this only bounds a lost wake-up.
constexpr std::chrono::milliseconds EXIT_WAIT_BOUND{std::chrono::seconds(5)};

// How long an exited agent's last output may go without reaching the screen before the run
// ends: output that keeps moving is passed on to its end, however slow the terminal. Longer
// than a second, as a slow terminal may take its input once a second.
constexpr std::chrono::milliseconds OUTPUT_DRAIN_BOUND{2000};
// And in all: what an exited agent leaves in its terminal (tens of KB at most) reaches a
// terminal of a few KB/s by then, while a process it left behind could write there for ever.
constexpr std::chrono::milliseconds OUTPUT_DRAIN_LIMIT{std::chrono::seconds(10)};
// How long the end of a run waits for queued input (a reply and its delayed Enter) to be typed:
// the longest wait before a reply's Enter, and a second for writing the reply.
constexpr std::chrono::milliseconds QUEUED_INPUT_LIMIT =
    replies::LONGEST_ENTER_WAIT + std::chrono::seconds(1);

constexpr int START_FAILURE_STATUS = 1;

// Restores the console when the run leaves by any way, an unwinding fatal error included.
class ConsoleRestorer {
 public:
  ConsoleRestorer() = default;
  ConsoleRestorer(const ConsoleRestorer&) = delete;
  ConsoleRestorer& operator=(const ConsoleRestorer&) = delete;
  ~ConsoleRestorer() { platform::restore_console(); }
  void restore_now() { platform::restore_console(); }
};

int report_failure(const platform::Error& error) {
  const std::string line = "talvane: " + error.display() + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return START_FAILURE_STATUS;
}

// Starts `body` on a worker thread, handing it `args` by move.
template <class Body, class... Args>
void start_worker(Body body, Args&&... args) {
  spawn_worker([body, ... moved = std::decay_t<Args>(std::forward<Args>(args))]() mutable {
    body(std::move(moved)...);
  });
}

// What the run holds once the agent is started.
struct StartedAgent {
  platform::AgentProcess agent;
  std::shared_ptr<relay::SharedMaster> master;
  std::unique_ptr<platform::ByteSource> output;
  std::unique_ptr<platform::ByteSink> input;
};

platform::Result<StartedAgent> start_agent(const platform::OsString& found,
                                           std::vector<platform::OsString> agent_args,
                                           const companion::SharedSession& session,
                                           platform::ConsoleSize size) {
  platform::Result<platform::PtyPair> pair = platform::open_pty(size);
  if (!pair) {
    // RUN END (3): no pseudo-console on this system.
    if (pair.error().message() == platform::NO_CONPTY_MESSAGE) fatal(pair.error().display());
    return pair.error();
  }
  platform::Result<platform::AgentCommand> command =
      build_agent_command(found, std::move(agent_args), session);
  if (!command) return command.error();
  platform::Result<platform::AgentProcess> agent =
      platform::spawn_agent(std::move(pair.value().child), std::move(command).value());
  if (!agent) return agent.error();
  platform::Result<std::unique_ptr<platform::ByteSource>> output =
      pair.value().master.clone_reader();
  if (!output) return output.error();
  platform::Result<std::unique_ptr<platform::ByteSink>> input = pair.value().master.take_writer();
  if (!input) return input.error();
  return StartedAgent{std::move(agent).value(),
                      std::make_shared<relay::SharedMaster>(std::move(pair.value().master)),
                      std::move(output).value(), std::move(input).value()};
}

// The relay threads and, with a session, the keeper and the reply poller, in this order.
// Returns a future that is ready once the output pump has ended.
std::shared_future<void> start_workers(StartedAgent& run, const companion::SharedSession& session,
                                       const cli::RunningFlag& running,
                                       const relay::QueueSender& sender,
                                       relay::QueueReceiver receiver, platform::ConsoleSize size,
                                       const std::shared_ptr<relay::Screen>& screen) {
  if (session) {
    start_worker(companion::run_keeper, running, session);
    start_worker(replies::run_reply_poller, running, session, sender.clone(), screen->paste_mode());
  }
  auto output_ended = std::make_shared<std::promise<void>>();
  std::shared_future<void> ended = output_ended->get_future().share();
  start_worker(
      [output_ended, screen](std::unique_ptr<platform::ByteSource> output) {
        relay::output_pump(std::move(output), relay::Screen::writer(screen));
        output_ended->set_value();
      },
      std::move(run.output));
  start_worker(relay::writer, std::move(receiver), std::move(run.input), screen->activity());
  start_worker(relay::resize_watcher, running, run.master, size);
  start_worker(
      [](relay::QueueSender keys, cli::RunningFlag flag) {
        relay::input_pump(std::move(keys), std::move(flag), platform::console_input());
      },
      sender.clone(), running);
  return ended;
}

struct Outcome {
  int status;
  bool agent_exited;
};

// Waits until the agent has exited or the app asked for shutdown; an error when the agent's
// state cannot be read.
platform::Result<Outcome> supervise(platform::AgentProcess& agent,
                                    const companion::SharedSession& session) {
  // The first look comes right after the threads have started, without waiting.
  platform::Result<std::optional<std::uint32_t>> exit = agent.exit_code();
  for (;;) {
    if (!exit) return exit.error();                                                  // RUN END (6)
    if (exit.value()) return Outcome{static_cast<int>(*exit.value() & 0xFF), true};  // RUN END (4)
    if (session && session->shutdown_requested.load()) return Outcome{0, false};     // RUN END (5)
    // Returns at once when the agent exits, else after the bound.
    exit = agent.wait_exit(EXIT_WAIT_BOUND);
  }
}

// The end-of-run withdrawal. A keeper attempt that is under way may store its registration just
// after a plain deregister has found none, and the keeper's own closing withdrawal would then
// never be sent: the process ends as soon as this returns. So wait for that attempt (it is
// bounded by its own time-out) and for a withdrawal the keeper makes after it (also under
// register_lock), and keep the lock until the process ends, so that nothing is registered after
// the withdrawal.
void withdraw_at_end(companion::ManagedSession& session) {
  session.register_lock.lock();  // never unlocked on purpose: the process is ending
  companion::deregister(session, companion::END_OF_RUN_DEREGISTER_TIMEOUT);
}

}  // namespace

int run_agent(cli::AgentKind agent_kind, std::vector<platform::OsString> agent_args,
              companion::SharedSession session) {
  std::optional<platform::OsString> found = find_agent(agent_kind);
  if (!found) {
    // RUN END (1)
    const std::string_view message = agent_not_found_message(agent_kind);
    std::fwrite(message.data(), 1, message.size(), stderr);
    return START_FAILURE_STATUS;
  }
  platform::Result<platform::ConsoleSize> size = platform::console_size();
  if (!size) return report_failure(size.error());  // RUN END (2)
  platform::set_control_hook(companion::deregister_global);
  if (auto installed = platform::install_console_handler(); !installed) {
    return report_failure(installed.error());  // RUN END (2)
  }
  ConsoleRestorer restorer;
  if (auto relay_mode = platform::enter_relay_input_mode(); !relay_mode) {
    restorer.restore_now();
    return report_failure(relay_mode.error());  // RUN END (2)
  }

  platform::Result<StartedAgent> started =
      start_agent(*found, std::move(agent_args), session, size.value());
  if (!started) {
    restorer.restore_now();
    return report_failure(started.error());  // RUN END (2)
  }
  StartedAgent& run = started.value();
  auto [sender, receiver] = relay::make_write_queue();
  cli::RunningFlag running = std::make_shared<std::atomic<bool>>(true);
  auto screen = std::make_shared<relay::Screen>(platform::console_output());
  const std::shared_future<void> output_ended =
      start_workers(run, session, running, sender, std::move(receiver), size.value(), screen);

  platform::Result<Outcome> outcome = supervise(run.agent, session);
  if (!outcome) {
    screen->close();
    restorer.restore_now();
    return report_failure(outcome.error());  // RUN END (6)
  }
  if (outcome.value().agent_exited) {
    // The close may wait until the output has been read: on a thread of its own, under the
    // master's lock, which the resize watcher also takes.
    (void)drain_output(
        [master = run.master] {
          std::lock_guard<std::mutex> lock(master->mutex);
          master->master.close();
        },
        output_ended, *screen, OUTPUT_DRAIN_BOUND, OUTPUT_DRAIN_LIMIT);
  }
  // A reply queued before the app asked the session to end is typed whole, the Enter that
  // follows its pause included, before the process ends and takes the writer with it.
  if (!outcome.value().agent_exited) (void)sender.wait_written(QUEUED_INPUT_LIMIT);

  // Teardown.
  running->exchange(false);
  sender.release();
  if (session) withdraw_at_end(*session);
  running.reset();
  run.master.reset();
  screen->close();
  restorer.restore_now();
  return outcome.value().status;
}

}  // namespace launch
