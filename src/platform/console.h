// The user's console: its size, its input mode for the run, its control events, and the
// standard input and output through which the relay talks to it.
//
// The input mode is saved once (SAVED_INPUT_MODE), switched to the relay mode for the run and put
// back on every way out. On Windows the relay mode is a console input mode, and the output mode
// (SAVED_OUTPUT_MODE) is saved, switched to virtual-terminal processing and put back alongside
// it; elsewhere it is the fully raw terminal mode of standard input.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/byte_stream.h"
#include "platform/error.h"

namespace platform {

// The visible window of the console, in character cells.
struct ConsoleSize {
  std::uint16_t columns = 0;
  std::uint16_t rows = 0;
  friend bool operator==(const ConsoleSize&, const ConsoleSize&) = default;
};

// The size of the window of the console behind standard output. Fails when standard output is
// not a console. Any thread.
[[nodiscard]] Result<ConsoleSize> console_size();

// Waits until the console window may have changed size. Where the system announces every change
// (POSIX), it waits for that alone, however long; elsewhere it waits `bound`. Any thread.
void wait_for_resize(std::chrono::milliseconds bound);

// Saves the input mode of standard input (only the first successful call saves one; on Windows
// also standard output's mode, when it is a console) and installs
// the control handling: on the console being closed, a break, or an interrupt or termination
// sent by another process, the console is restored, the hook below runs, and the process ends
// as the system would end it. On POSIX a job-control stop puts the saved mode back first, and the
// continuation takes the relay mode again (in the foreground) and has the window measured anew.
// On POSIX the handling is a thread of its own, started here, that takes the signals (they are
// blocked in every thread started after this call); on Windows the system calls the handler on
// a thread it starts for each event. Fails when standard input is not a console. Main thread,
// before any other thread starts; a later call installs nothing more.
[[nodiscard]] Result<void> install_console_handler();

// Runs, in the control handling, after the console has been restored (the launch layer installs
// the session's withdrawal here). Install before install_console_handler; runs on a thread of its
// own, never inside a signal handler.
using ControlHook = void (*)();
void set_control_hook(ControlHook hook);

// Switches standard input to the relay mode: no line editing, no echo, no interrupt key, keys as
// terminal sequences. On Windows standard output also interprets escape sequences and adds no
// line breaks of its own; on POSIX standard input and output also block (an earlier program may
// have left them non-blocking) until restore_console. A run started in the background waits for
// the foreground first. Main thread.
[[nodiscard]] Result<void> enter_relay_input_mode();

// Puts back the saved modes; does nothing when none was saved. Never reports. Any thread,
// any number of times.
void restore_console();

// The console input mode for the run, given the saved one (Windows mode bits): line input, echo
// and processed input off, virtual-terminal input on, every other bit as saved.
std::uint32_t relay_input_mode(std::optional<std::uint32_t> saved);

// Window size from the window rectangle's edges, in the console's 16-bit arithmetic (wrapping).
ConsoleSize window_size(std::int16_t left, std::int16_t top, std::int16_t right,
                        std::int16_t bottom);

// Makes the C library's standard output and error write bytes as they are: the launcher's texts
// end lines with "\n" alone on every platform (Windows' C library would otherwise write "\r\n").
// Main thread, before anything is written.
void use_binary_standard_streams();

// The console's standard input, as the relay reads it: keys as UTF-8 bytes. Each read returns
// what is there, waiting for at least one byte; 0 means end of input. On POSIX a terminal that
// is gone (hung up) ends the process as its hang-up signal would, even where that signal is
// ignored; so does the output below. Owned by the caller; the input pump's thread alone reads it.
std::unique_ptr<ByteSource> console_input();

// The console's standard output, as the relay writes it: the agent's bytes, shown unchanged.
// Owned by the caller; one thread writes it at a time.
std::unique_ptr<ByteSink> console_output();

}  // namespace platform
