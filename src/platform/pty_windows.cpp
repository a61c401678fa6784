#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/handle_windows.h"
#include "platform/pty.h"

namespace platform {
namespace {

// ConPTY's entry points, looked up at run time: Windows before 10 October 2018 lacks them (and
// the SDK declares them only when building for that version or newer).
using PseudoConsoleHandle = void*;                         // HPCON
constexpr DWORD_PTR PSEUDOCONSOLE_ATTRIBUTE = 0x00020016;  // PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE
using CreatePseudoConsoleFn = HRESULT(WINAPI*)(COORD, HANDLE, HANDLE, DWORD, PseudoConsoleHandle*);
using ResizePseudoConsoleFn = HRESULT(WINAPI*)(PseudoConsoleHandle, COORD);
using ClosePseudoConsoleFn = void(WINAPI*)(PseudoConsoleHandle);

struct ConPtyApi {
  CreatePseudoConsoleFn create = nullptr;
  ResizePseudoConsoleFn resize = nullptr;
  ClosePseudoConsoleFn close = nullptr;
};

// Inherit the cursor (0x1), plus the resize-quirk (0x2) and Win32-input-mode (0x4) flags that
// newer console hosts read.
constexpr DWORD PSEUDO_CONSOLE_FLAGS = 7;
constexpr DWORD INHERIT_CURSOR_FLAG = 1;
// The main thread's wake-up while it waits for the agent: auto-reset, so that one wake-up ends
// one wait; made on first use and kept until the process ends. Null when it cannot be made.
HANDLE exit_wait_wake_event() {
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

template <class Fn>
Fn lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

ConPtyApi load_api(HMODULE module) {
  ConPtyApi api;
  if (module == nullptr) return api;
  api.create = lookup<CreatePseudoConsoleFn>(module, "CreatePseudoConsole");
  api.resize = lookup<ResizePseudoConsoleFn>(module, "ResizePseudoConsole");
  api.close = lookup<ClosePseudoConsoleFn>(module, "ClosePseudoConsole");
  return api;
}

bool complete(const ConPtyApi& api) { return api.create && api.resize && api.close; }

// Wine's console host refuses inherit-cursor: the pseudo-console dies at once and the agent's
// console handles are invalid. Its ntdll is the one that exports wine_get_version.
DWORD pseudo_console_flags() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  return wine ? PSEUDO_CONSOLE_FLAGS & ~INHERIT_CURSOR_FLAG : PSEUDO_CONSOLE_FLAGS;
}

// A separately installed conpty.dll (newer than the system's) wins when it has all three. It is
// looked for beside talvane.exe and in the system directory only: the plain search would also
// load a conpty.dll lying in the current directory or on PATH into the launcher.
const ConPtyApi* conpty_api() {
  static const ConPtyApi API = [] {
    constexpr DWORD SEARCH = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
    if (HMODULE module = LoadLibraryExW(L"conpty.dll", nullptr, SEARCH)) {
      ConPtyApi api = load_api(module);
      if (complete(api)) return api;
      FreeLibrary(module);
    }
    return load_api(GetModuleHandleW(L"kernel32.dll"));
  }();
  return complete(API) ? &API : nullptr;
}

Error hresult_error(HRESULT hr) {
  const auto code = static_cast<unsigned long>(hr);
  if ((code & 0xFFFF0000UL) == 0x80070000UL) return os_error(code & 0xFFFF);
  char text[32];
  std::snprintf(text, sizeof text, "HRESULT 0x%08lX", code);
  return Error(text);
}

// A COORD holds at most 32,767 a side: a larger console gets the largest pseudo-console there is,
// not a negative size that fails.
COORD to_coord(ConsoleSize size) {
  constexpr std::uint16_t LARGEST = 0x7FFF;
  return COORD{static_cast<SHORT>(std::min(size.columns, LARGEST)),
               static_cast<SHORT>(std::min(size.rows, LARGEST))};
}

class PipeReader final : public ByteSource {
 public:
  explicit PipeReader(UniqueHandle pipe) : pipe_(std::move(pipe)) {}

  Result<std::size_t> read(std::span<char> buffer) override {
    if (buffer.empty()) return std::size_t{0};
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    for (;;) {
      DWORD count = 0;
      if (ReadFile(pipe_.get(), buffer.data(), wanted, &count, nullptr)) {
        // A read of no bytes that succeeds is the other end's empty write, not the end of the
        // output: the end comes as a broken pipe.
        if (count == 0) continue;
        return std::size_t{count};
      }
      const DWORD error = GetLastError();
      // The pseudo-console closed its end: the normal end of output.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) return std::size_t{0};
      return os_error(error);
    }
  }

 private:
  UniqueHandle pipe_;
};

class PipeWriter final : public ByteSink {
 public:
  explicit PipeWriter(UniqueHandle pipe) : pipe_(std::move(pipe)) {}

  Result<void> write_all(std::string_view bytes) override {
    while (!bytes.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
      DWORD written = 0;
      if (!WriteFile(pipe_.get(), bytes.data(), chunk, &written, nullptr)) return last_os_error();
      if (written == 0) return Error("the write took no bytes");
      bytes.remove_prefix(written);
    }
    return {};
  }

  // Anonymous pipes are not buffered on our side.
  Result<void> flush() override { return {}; }

 private:
  UniqueHandle pipe_;
};

// The file to start: a program's path as it is, and for a batch file the system directory's
// cmd.exe only. Looked for along PATH, or left to CreateProcessW (beside talvane.exe, the current
// directory), cmd.exe could be anyone's program of that name.
Result<OsString> program_path(const AgentCommand& agent) {
  if (agent.kind == AgentCommand::Kind::Program) return agent.program;
  std::wstring system(MAX_PATH, L'\0');
  const UINT length = GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
  // Given a bare name, CreateProcessW would take it from the current directory: fail instead.
  if (length == 0) return last_os_error().context("failed to find the system directory");
  if (length >= system.size()) return Error("failed to find the system directory");
  system.resize(length);
  return OsString(system + L"\\cmd.exe");
}

// What a wait on the process handle (first) and the wake-up event says. The wait decides whether
// the agent has ended: an agent may well exit with 259 (STILL_ACTIVE).
Result<std::optional<std::uint32_t>> exit_after_wait(HANDLE process, DWORD waited) {
  if (waited == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
      return last_os_error().context("failed to query the agent's exit");
    }
    return std::optional<std::uint32_t>(code);
  }
  if (waited == WAIT_OBJECT_0 + 1 || waited == WAIT_TIMEOUT) return std::optional<std::uint32_t>();
  return last_os_error().context("failed to wait for the agent");
}

}  // namespace

// The pseudo-console itself, closed when the last holder (master, child side) lets go. Never
// released by the output-reading thread, which holds only a pipe handle: before Windows 11 24H2
// the close waits for the output to be drained.
struct PseudoConsole {
  const ConPtyApi* api;
  PseudoConsoleHandle handle;
  PseudoConsole(const ConPtyApi* functions, PseudoConsoleHandle console)
      : api(functions), handle(console) {}
  PseudoConsole(const PseudoConsole&) = delete;
  PseudoConsole& operator=(const PseudoConsole&) = delete;
  ~PseudoConsole() { api->close(handle); }
};

struct PtyState {
  std::shared_ptr<PseudoConsole> console;
  UniqueHandle input;   // we write, the agent reads
  UniqueHandle output;  // the agent writes, we read
};

struct ChildState {
  std::shared_ptr<PseudoConsole> console;
};

struct AgentState {
  UniqueHandle process;
};

PtyChildSide::PtyChildSide(std::unique_ptr<ChildState> state) : state_(std::move(state)) {}
PtyChildSide::PtyChildSide(PtyChildSide&&) noexcept = default;
PtyChildSide& PtyChildSide::operator=(PtyChildSide&&) noexcept = default;
PtyChildSide::~PtyChildSide() = default;

PtyMaster::PtyMaster(std::unique_ptr<PtyState> state) : state_(std::move(state)) {}
PtyMaster::PtyMaster(PtyMaster&&) noexcept = default;
PtyMaster& PtyMaster::operator=(PtyMaster&&) noexcept = default;
PtyMaster::~PtyMaster() = default;

Result<std::unique_ptr<ByteSource>> PtyMaster::clone_reader() {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), state_->output.get(), GetCurrentProcess(), &copy, 0,
                       FALSE, DUPLICATE_SAME_ACCESS)) {
    return last_os_error().context("failed to clone the terminal reader");
  }
  return std::unique_ptr<ByteSource>(std::make_unique<PipeReader>(UniqueHandle(copy)));
}

Result<std::unique_ptr<ByteSink>> PtyMaster::take_writer() {
  if (!state_->input) return Error("the terminal writer was already taken");
  return std::unique_ptr<ByteSink>(std::make_unique<PipeWriter>(std::move(state_->input)));
}

void PtyMaster::close() {
  // The pseudo-console keeps the output pipe open after the agent has exited; closing it (the
  // child side is gone, so this is the last holder) drains the output and breaks the pipe.
  // Our own read end goes first: the reader has its own copy, and should the reader already have
  // ended, no read end is left open, so that the close finds the pipe broken instead of waiting
  // for a drain that would never come.
  state_->output.reset();
  state_->console.reset();
}

Result<void> PtyMaster::resize(ConsoleSize size) {
  if (!state_->console) return Error("the pseudo-console is closed");
  const HRESULT hr = state_->console->api->resize(state_->console->handle, to_coord(size));
  if (FAILED(hr)) return hresult_error(hr).context("failed to resize the pseudo-console");
  return {};
}

Result<PtyPair> open_pty(ConsoleSize size) {
  const ConPtyApi* api = conpty_api();
  if (api == nullptr) return Error(NO_CONPTY_MESSAGE);
  HANDLE ends[4] = {};
  if (!CreatePipe(&ends[0], &ends[1], nullptr, 0)) return last_os_error();
  UniqueHandle agent_input(ends[0]), our_input(ends[1]);
  if (!CreatePipe(&ends[2], &ends[3], nullptr, 0)) return last_os_error();
  UniqueHandle our_output(ends[2]), agent_output(ends[3]);

  PseudoConsoleHandle console = nullptr;
  const HRESULT hr = api->create(to_coord(size), agent_input.get(), agent_output.get(),
                                 pseudo_console_flags(), &console);
  if (FAILED(hr)) return hresult_error(hr).context("failed to create the pseudo-console");
  // The pseudo-console holds its own copies of its ends; ours close as the locals go.
  auto shared = std::make_shared<PseudoConsole>(api, console);
  auto pty = std::make_unique<PtyState>();
  pty->console = shared;
  pty->input = std::move(our_input);
  pty->output = std::move(our_output);
  auto child = std::make_unique<ChildState>();
  child->console = std::move(shared);
  return PtyPair{PtyMaster(std::move(pty)), PtyChildSide(std::move(child))};
}

Result<AgentProcess> spawn_agent(PtyChildSide&& child_side, AgentCommand&& command) {
  const PtyChildSide child = std::move(child_side);
  const AgentCommand agent = std::move(command);
  const std::string program_text = to_utf8_lossy(agent.program);
  const auto failure = [&](const Error& cause) {
    return cause.context("failed to start " + program_text);
  };
  Result<std::wstring> line = windows_command_line(agent);
  if (!line) return failure(line.error());
  std::wstring command_line = std::move(line).value();
  std::wstring environment = environment_block(agent.env);
  const Result<OsString> program = program_path(agent);
  if (!program) return failure(program.error());

  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size)) return failure(last_os_error());
  PseudoConsoleHandle console = child.state_->console->handle;
  const bool attached = UpdateProcThreadAttribute(list, 0, PSEUDOCONSOLE_ATTRIBUTE, console,
                                                  sizeof console, nullptr, nullptr);
  if (!attached) {
    Error error = last_os_error();
    DeleteProcThreadAttributeList(list);
    return failure(error);
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = INVALID_HANDLE_VALUE;
  startup.StartupInfo.hStdOutput = INVALID_HANDLE_VALUE;
  startup.StartupInfo.hStdError = INVALID_HANDLE_VALUE;
  startup.lpAttributeList = list;
  PROCESS_INFORMATION info{};
  const BOOL started =
      CreateProcessW(program.value().c_str(), command_line.data(), nullptr, nullptr, FALSE,
                     EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                     nullptr, &startup.StartupInfo, &info);
  const Error start_error = started ? Error("") : last_os_error();
  DeleteProcThreadAttributeList(list);
  if (!started) return failure(start_error);
  CloseHandle(info.hThread);
  auto state = std::make_unique<AgentState>();
  state->process = UniqueHandle(info.hProcess);
  return AgentProcess(std::move(state));
}

AgentProcess::AgentProcess(std::unique_ptr<AgentState> state) : state_(std::move(state)) {}
AgentProcess::AgentProcess(AgentProcess&&) noexcept = default;
AgentProcess& AgentProcess::operator=(AgentProcess&&) noexcept = default;
AgentProcess::~AgentProcess() = default;

Result<std::optional<std::uint32_t>> AgentProcess::exit_code() {
  return exit_after_wait(state_->process.get(), WaitForSingleObject(state_->process.get(), 0));
}

Result<std::optional<std::uint32_t>> AgentProcess::wait_exit(std::chrono::milliseconds bound) {
  const HANDLE handles[] = {state_->process.get(), exit_wait_wake_event()};
  const DWORD count = handles[1] != nullptr ? 2 : 1;
  return exit_after_wait(
      handles[0], WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(bound.count())));
}

void wake_exit_wait() {
  if (const HANDLE event = exit_wait_wake_event()) SetEvent(event);
}

}  // namespace platform
