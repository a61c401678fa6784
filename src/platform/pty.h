// The agent's pseudo-terminal (a ConPTY pseudo-console on Windows, a pty pair elsewhere): open a
// pair of a size, start the agent on its child side, read its output, write its input, follow
// the window's size, and learn when the agent has exited.
//
// Ownership: every object here owns what it holds and releases it when destroyed. Destroying the
// master closes the pseudo-terminal; destroying the agent handle does not end the agent.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/byte_stream.h"
#include "platform/console.h"
#include "platform/environment.h"
#include "platform/error.h"

namespace platform {

struct PtyState;    // defined by each platform's implementation
struct ChildState;  // likewise
struct AgentState;  // likewise
class AgentProcess;

// The child side of a new pair, used for one spawn.
class PtyChildSide {
 public:
  explicit PtyChildSide(std::unique_ptr<ChildState> state);
  PtyChildSide(PtyChildSide&&) noexcept;
  PtyChildSide& operator=(PtyChildSide&&) noexcept;
  ~PtyChildSide();

 private:
  friend Result<AgentProcess> spawn_agent(PtyChildSide&&, AgentCommand&&);
  std::unique_ptr<ChildState> state_;
};

// The master side. Not thread-safe: the run shares it behind a mutex.
class PtyMaster {
 public:
  explicit PtyMaster(std::unique_ptr<PtyState> state);
  PtyMaster(PtyMaster&&) noexcept;
  PtyMaster& operator=(PtyMaster&&) noexcept;
  ~PtyMaster();

  // A reader of the agent's terminal output; end of stream once the agent's side is closed.
  [[nodiscard]] Result<std::unique_ptr<ByteSource>> clone_reader();

  // The writer into the agent's terminal input. Once only.
  [[nodiscard]] Result<std::unique_ptr<ByteSink>> take_writer();

  // Sets the terminal's size; the agent is told of the change. Fails after close().
  [[nodiscard]] Result<void> resize(ConsoleSize size);

  // After the agent has exited: lets the agent's output come to its end, so that a reader gets
  // what is left and then the end of the stream. Never call it from the reading thread (on
  // Windows it waits until the output has been read).
  void close();

 private:
  std::unique_ptr<PtyState> state_;
};

struct PtyPair {
  PtyMaster master;
  PtyChildSide child;
};

// Opens a pair of the given size. Fails on Windows when the system has no pseudo-console.
[[nodiscard]] Result<PtyPair> open_pty(ConsoleSize size);

// The message of a Windows system without a pseudo-console.
inline constexpr const char* NO_CONPTY_MESSAGE =
    "this system does not support conpty.  Windows 10 October 2018 or newer is required";

// The started agent. Main thread only.
class AgentProcess {
 public:
  explicit AgentProcess(std::unique_ptr<AgentState> state);
  AgentProcess(AgentProcess&&) noexcept;
  AgentProcess& operator=(AgentProcess&&) noexcept;
  ~AgentProcess();

  // The exit code once the agent has exited, nothing while it runs. Does not wait. An agent
  // ended by signal N exits with 128 + N.
  [[nodiscard]] Result<std::optional<std::uint32_t>> exit_code();

  // As exit_code(), but first waits up to `bound` for the agent to exit, returning as soon as it
  // has, or as soon as wake_exit_wait() is called.
  [[nodiscard]] Result<std::optional<std::uint32_t>> wait_exit(std::chrono::milliseconds bound);

 private:
  std::unique_ptr<AgentState> state_;
};

// Ends a wait_exit that is under way at once, or else the next one: the main thread then looks
// at what woke it (the reply poller calls it after the app asked the session to end). Any
// thread.
void wake_exit_wait();

// Starts the command on the child side, which is released. A program that cannot be started is
// an error here, never an exit code.
[[nodiscard]] Result<AgentProcess> spawn_agent(PtyChildSide&& child, AgentCommand&& command);

}  // namespace platform
