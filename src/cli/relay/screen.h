// The user's screen during the run. The output pump writes the agent's output through it; the end
// of the run closes it, switching off exactly what the agent left on in the user's terminal
// (TerminalModes): the modes that change what the terminal sends, a hidden cursor, and the
// alternate screen. An agent that left nothing on gets its output and nothing more.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/relay/output_activity.h"
#include "cli/relay/terminal_modes.h"
#include "platform/byte_stream.h"

namespace relay {

class Screen {
 public:
  explicit Screen(std::unique_ptr<platform::ByteSink> sink);

  // A sink that writes through `screen`, for the output pump.
  static std::unique_ptr<platform::ByteSink> writer(std::shared_ptr<Screen> screen);

  // Writes the agent's output; fails once the screen is closed. One writer thread at a time.
  platform::Result<void> write(std::string_view bytes);

  // Whether the agent has bracketed paste on, kept up to date as its output is written. The
  // caller shares it; any thread may read it.
  std::shared_ptr<const PasteMode> paste_mode() const { return paste_mode_; }

  // When the agent's output last reached the screen (the start and the end of every write). The
  // caller shares it; any thread may read it.
  std::shared_ptr<const OutputActivity> activity() const { return activity_; }

  // How many of the agent's bytes the terminal has taken so far, counted piece by piece within
  // a write (at most PROGRESS_PIECE_BYTES each): a terminal that reads slowly still shows
  // progress. Any thread.
  std::uint64_t taken() const { return taken_.load(std::memory_order_relaxed); }
  static constexpr std::size_t PROGRESS_PIECE_BYTES = 2048;

  // Waits for a write under way (within CLOSE_WAIT_BOUND: a terminal that takes nothing more gets
  // no reset either), writes the reset of what the agent left on, and takes no more writes. The
  // reset lands between two of the agent's writes; one cut inside an escape sequence is cut short
  // by it. Any thread; later calls do nothing.
  void close();

 private:
  static constexpr std::chrono::milliseconds CLOSE_WAIT_BOUND{1000};

  // Writes `bytes` to the sink in pieces, counting each in taken_.
  platform::Result<void> write_counted(std::string_view bytes);

  std::mutex mutex_;
  std::condition_variable write_ended_;
  std::unique_ptr<platform::ByteSink> sink_;  // written by the writer outside the lock while
                                              // writing_, by close() once closed_
  TerminalModes modes_;                       // GUARDED_BY(mutex_)
  const std::shared_ptr<PasteMode> paste_mode_ = std::make_shared<PasteMode>();
  const std::shared_ptr<OutputActivity> activity_ = std::make_shared<OutputActivity>();
  bool writing_ = false;  // GUARDED_BY(mutex_)
  bool closed_ = false;   // GUARDED_BY(mutex_)
  std::atomic<std::uint64_t> taken_{0};
};

}  // namespace relay
