#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/console.h"
#include "platform/console_text.h"

namespace platform {
namespace {

// SAVED_INPUT_MODE, SAVED_OUTPUT_MODE: the modes found by the first successful
// install_console_handler. The output mode is saved only when standard output is a console.
struct SavedMode {
  std::atomic<bool> claimed{false};  // set by the one call that stores the mode
  std::atomic<bool> saved{false};    // set once the mode is stored
  std::atomic<std::uint32_t> mode{0};

  void save_once(DWORD found) {
    bool expected = false;
    if (claimed.compare_exchange_strong(expected, true)) {
      mode = found;
      saved = true;
    }
  }
};
SavedMode SAVED_INPUT_MODE;
SavedMode SAVED_OUTPUT_MODE;

std::atomic<ControlHook> CONTROL_HOOK{nullptr};

constexpr DWORD LAST_HANDLED_EVENT = CTRL_CLOSE_EVENT;  // 0 Ctrl+C, 1 Ctrl+Break, 2 close

Result<HANDLE> std_handle(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE) return last_os_error();
  if (handle == nullptr) return os_error(ERROR_INVALID_HANDLE);
  return handle;
}

// The system runs this on a thread of its own for each event. It only restores and withdraws;
// returning FALSE lets the default handler end the process. The agent is left alone.
BOOL WINAPI on_console_control(DWORD event) {
  if (event > LAST_HANDLED_EVENT) return FALSE;
  restore_console();
  if (ControlHook hook = CONTROL_HOOK.load()) hook();
  return FALSE;
}

// Keys: one process-wide reader, so that what one console read returned beyond a caller's
// buffer is handed to the next read.
constexpr DWORD CONSOLE_READ_UNITS = 4096;
constexpr ULONG CTRL_Z_WAKEUP_MASK = 1UL << 0x1A;

struct KeyReader {
  std::mutex mutex;
  std::string buffered;    // GUARDED_BY(mutex): converted keys not yet handed out
  std::size_t offset = 0;  // GUARDED_BY(mutex)
  KeyDecoder decoder;      // GUARDED_BY(mutex)
  std::u16string units;    // GUARDED_BY(mutex): the console read's buffer, reused
};
KeyReader KEY_READER;

// One console read into KEY_READER.buffered; false when the console gave no key at all, which
// is the end of input. A Ctrl+Z is a key like any other here, and a surrogate without its
// partner shows as U+FFFD: neither ends the user's input.
Result<bool> read_console_keys(KeyReader& reader) {
  reader.units.resize(CONSOLE_READ_UNITS);
  for (;;) {
    Result<HANDLE> input = std_handle(STD_INPUT_HANDLE);
    if (!input) return input.error();
    CONSOLE_READCONSOLE_CONTROL control{};
    control.nLength = sizeof control;
    control.nInitialChars = 0;
    control.dwCtrlWakeupMask = CTRL_Z_WAKEUP_MASK;
    control.dwControlKeyState = 0;
    DWORD count = 0;
    // A successful read leaves the last error alone: clear it, so that an old
    // ERROR_OPERATION_ABORTED cannot make an empty read look interrupted.
    SetLastError(ERROR_SUCCESS);
    if (!ReadConsoleW(input.value(), reinterpret_cast<wchar_t*>(reader.units.data()),
                      CONSOLE_READ_UNITS, &count, &control)) {
      return last_os_error();
    }
    if (count == 0) {
      if (GetLastError() == ERROR_OPERATION_ABORTED) continue;
      return false;
    }
    reader.buffered.clear();
    reader.offset = 0;
    reader.decoder.decode(std::u16string_view(reader.units.data(), count), reader.buffered);
    return true;
  }
}

class ConsoleKeys final : public ByteSource {
 public:
  Result<std::size_t> read(std::span<char> buffer) override {
    std::lock_guard<std::mutex> lock(KEY_READER.mutex);
    // A console read that held back a lone high surrogate yields nothing yet: read again. An
    // empty console read ends the input rather than being read again at once, over and over.
    while (KEY_READER.offset == KEY_READER.buffered.size()) {
      Result<bool> read = read_console_keys(KEY_READER);
      if (!read) return read.error();
      if (!read.value()) return std::size_t{0};
    }
    const std::size_t n = std::min(buffer.size(), KEY_READER.buffered.size() - KEY_READER.offset);
    KEY_READER.buffered.copy(buffer.data(), n, KEY_READER.offset);
    KEY_READER.offset += n;
    return n;
  }
};

// The screen: one process-wide state for every writer, so that a character split between two
// writes is joined.
constexpr UINT UTF8_CODE_PAGE = 65001;
constexpr std::size_t CONVERT_BYTES = 4096;

struct ScreenState {
  std::mutex mutex;
  ScreenEncoder encoder;  // GUARDED_BY(mutex)
  std::u16string wide;    // GUARDED_BY(mutex): reused conversion buffer
};
ScreenState SCREEN_STATE;

Result<void> write_file_all(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return last_os_error();
    if (written == 0) return Error("the write took no bytes");
    bytes.remove_prefix(written);
  }
  return {};
}

Result<void> write_console_all(HANDLE handle, std::u16string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
      return last_os_error();
    }
    if (written == 0) return Error("the write took no characters");
    text.remove_prefix(written);
  }
  return {};
}

class ConsoleScreen final : public ByteSink {
 public:
  Result<void> write_all(std::string_view bytes) override {
    std::lock_guard<std::mutex> lock(SCREEN_STATE.mutex);
    Result<HANDLE> output = std_handle(STD_OUTPUT_HANDLE);
    if (!output) return output.error();
    if (GetConsoleOutputCP() == UTF8_CODE_PAGE) {
      // The console takes UTF-8 as it is: split characters and all, nothing to convert.
      const std::string held = SCREEN_STATE.encoder.take_held();
      if (auto done = write_file_all(output.value(), held); !done) return done;
      return write_file_all(output.value(), bytes);
    }
    // Bytes that are not UTF-8 show as U+FFFD; the relay goes on.
    while (!bytes.empty()) {
      const std::string_view piece = bytes.substr(0, CONVERT_BYTES);
      bytes.remove_prefix(piece.size());
      SCREEN_STATE.wide.clear();
      SCREEN_STATE.encoder.encode(piece, SCREEN_STATE.wide);
      if (auto done = write_console_all(output.value(), SCREEN_STATE.wide); !done) return done;
    }
    return {};
  }

  Result<void> flush() override { return {}; }
};

// The pseudo-console writes escape sequences: the console must interpret them (the classic
// console host of Windows 10 shows them as text otherwise) and must not add its own line breaks
// at the right edge. Without these modes the run goes on: a console that refuses them is one
// that cannot be helped.
void enter_relay_output_mode() {
  if (!SAVED_OUTPUT_MODE.saved) return;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  const DWORD saved = SAVED_OUTPUT_MODE.mode.load();
  const DWORD vt = saved | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
  if (!SetConsoleMode(output, vt | DISABLE_NEWLINE_AUTO_RETURN)) SetConsoleMode(output, vt);
}

}  // namespace

Result<ConsoleSize> console_size() {
  Result<HANDLE> output = std_handle(STD_OUTPUT_HANDLE);
  if (!output) return output.error();
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(output.value(), &info)) return last_os_error();
  return window_size(info.srWindow.Left, info.srWindow.Top, info.srWindow.Right,
                     info.srWindow.Bottom);
}

void wait_for_resize(std::chrono::milliseconds bound) {
  // The console announces resizes only as input records, which belong to the input pump.
  std::this_thread::sleep_for(bound);
}

void set_control_hook(ControlHook hook) { CONTROL_HOOK = hook; }

Result<void> install_console_handler() {
  Result<HANDLE> input = std_handle(STD_INPUT_HANDLE);
  if (!input) return input.error();
  DWORD mode = 0;
  if (!GetConsoleMode(input.value(), &mode)) return last_os_error();
  SAVED_INPUT_MODE.save_once(mode);
  if (Result<HANDLE> output = std_handle(STD_OUTPUT_HANDLE);
      output && GetConsoleMode(output.value(), &mode)) {
    SAVED_OUTPUT_MODE.save_once(mode);
  }
  // Once: a handler added twice would run twice for each event.
  static std::atomic<bool> added{false};
  if (added.load()) return {};
  if (!SetConsoleCtrlHandler(on_console_control, TRUE)) return last_os_error();
  added = true;
  return {};
}

Result<void> enter_relay_input_mode() {
  std::optional<std::uint32_t> saved;
  if (SAVED_INPUT_MODE.saved) saved = SAVED_INPUT_MODE.mode.load();
  const DWORD mode = relay_input_mode(saved);
  Result<HANDLE> input = std_handle(STD_INPUT_HANDLE);
  if (!input) return input.error();
  if (!SetConsoleMode(input.value(), mode)) return last_os_error();
  enter_relay_output_mode();
  return {};
}

void restore_console() {
  // A failure leaves the console as it is; there is nobody to tell.
  if (SAVED_INPUT_MODE.saved) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input != nullptr && input != INVALID_HANDLE_VALUE) {
      SetConsoleMode(input, SAVED_INPUT_MODE.mode.load());
    }
  }
  if (SAVED_OUTPUT_MODE.saved) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) {
      SetConsoleMode(output, SAVED_OUTPUT_MODE.mode.load());
    }
  }
}

void use_binary_standard_streams() {
  // Without a standard handle the C library's descriptor is invalid, and _setmode on it would
  // end an MSVC build in the invalid-parameter handler.
  for (auto [stream, which] :
       {std::pair{stdout, STD_OUTPUT_HANDLE}, std::pair{stderr, STD_ERROR_HANDLE}}) {
    const HANDLE handle = GetStdHandle(which);
    const int fd = _fileno(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || fd < 0) continue;
    (void)_setmode(fd, _O_BINARY);
  }
}

std::unique_ptr<ByteSource> console_input() { return std::make_unique<ConsoleKeys>(); }

std::unique_ptr<ByteSink> console_output() { return std::make_unique<ConsoleScreen>(); }

}  // namespace platform
