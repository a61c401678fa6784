// A small Windows program that works on a console from inside it, for the tests that run
// talvane.exe under Wine:
//
//   console_tool type PROGRAM.EXE HEX   attaches to the console of the newest running process
//                                       named PROGRAM.EXE and writes the UTF-8 text given as
//                                       hexadecimal bytes into its input as key events, one
//                                       press and release per UTF-16 unit: keys that a terminal
//                                       would turn into signals (Ctrl+C) reach the program as a
//                                       console host delivers them
//   console_tool modes PROGRAM.EXE      attaches likewise and writes "[modes INPUT OUTPUT]"
//   console_tool end PID                ends the process PID: exit status 0 when it was still
//                                       running, 1 when it had already exited
//   console_tool wait                   waits until it is ended (keeps a Wine prefix's server up)
//   console_tool around PROGRAM [ARGS]  runs PROGRAM in this console and writes, before and
//                                       after, "[modes INPUT OUTPUT]" (the console's modes, in
//                                       hexadecimal); exits with PROGRAM's exit code
//
// Exit status 2 when the tool itself fails.
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD EVENTS_PER_WRITE = 512;
constexpr int TOOL_FAILED = 2;

HANDLE open_console(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The newest process with this executable name, or 0.
DWORD find_process(const wchar_t* name) {
  DWORD found = 0;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return found;
}

bool attach_to(const wchar_t* name) {
  const DWORD pid = find_process(name);
  FreeConsole();
  return pid != 0 && AttachConsole(pid);
}

std::wstring from_hex_utf8(const wchar_t* hex) {
  std::string bytes;
  for (std::size_t i = 0; hex[i] != L'\0' && hex[i + 1] != L'\0'; i += 2) {
    const wchar_t pair[3] = {hex[i], hex[i + 1], L'\0'};
    bytes.push_back(static_cast<char>(std::wcstoul(pair, nullptr, 16)));
  }
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
  std::wstring units(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, units.data(), n);
  return units;
}

int type_keys(const wchar_t* program, const wchar_t* hex) {
  if (!attach_to(program)) return TOOL_FAILED;
  const HANDLE input = open_console(L"CONIN$");
  if (input == INVALID_HANDLE_VALUE) return TOOL_FAILED;
  std::vector<INPUT_RECORD> events;
  for (const wchar_t unit : from_hex_utf8(hex)) {
    for (const BOOL down : {TRUE, FALSE}) {
      INPUT_RECORD record{};
      record.EventType = KEY_EVENT;
      record.Event.KeyEvent.bKeyDown = down;
      record.Event.KeyEvent.wRepeatCount = 1;
      record.Event.KeyEvent.uChar.UnicodeChar = unit;
      if (unit < 0x20) record.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
      events.push_back(record);
    }
  }
  for (std::size_t done = 0; done < events.size();) {
    const std::size_t left = events.size() - done;
    const DWORD chunk = static_cast<DWORD>(left < EVENTS_PER_WRITE ? left : EVENTS_PER_WRITE);
    DWORD written = 0;
    if (!WriteConsoleInputW(input, events.data() + done, chunk, &written) || written == 0) {
      return TOOL_FAILED;
    }
    done += written;
  }
  return 0;
}

BOOL WINAPI ignore_event(DWORD) { return TRUE; }

int end_process(const wchar_t* pid_text) {
  const DWORD pid = static_cast<DWORD>(std::wcstoul(pid_text, nullptr, 10));
  const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return 1;  // gone, its id no longer names a process
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  if (running) TerminateProcess(process, 1);
  CloseHandle(process);
  return running ? 0 : 1;
}

void print_modes() {
  const HANDLE input = open_console(L"CONIN$");
  const HANDLE output = open_console(L"CONOUT$");
  DWORD in_mode = 0, out_mode = 0;
  GetConsoleMode(input, &in_mode);
  GetConsoleMode(output, &out_mode);
  char line[64];
  const int n =
      std::snprintf(line, sizeof line, "[modes %lx %lx]\r\n", static_cast<unsigned long>(in_mode),
                    static_cast<unsigned long>(out_mode));
  DWORD written = 0;
  WriteFile(output, line, static_cast<DWORD>(n), &written, nullptr);
  CloseHandle(input);
  CloseHandle(output);
}

std::wstring quoted(const std::wstring& arg) {
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

int run_around(int argc, wchar_t** argv) {
  // A Ctrl+C that a test sends is meant for the program, not for this tool.
  SetConsoleCtrlHandler(ignore_event, TRUE);
  std::wstring line;
  for (int i = 0; i < argc; ++i) line += (i ? L" " : L"") + quoted(argv[i]);
  print_modes();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(argv[0], line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return TOOL_FAILED;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = TOOL_FAILED;
  GetExitCodeProcess(info.hProcess, &code);
  print_modes();
  return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"type") == 0) return type_keys(argv[2], argv[3]);
  if (argc == 2 && std::wcscmp(argv[1], L"wait") == 0) Sleep(INFINITE);
  if (argc == 3 && std::wcscmp(argv[1], L"modes") == 0) {
    if (!attach_to(argv[2])) return TOOL_FAILED;
    print_modes();
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"end") == 0) return end_process(argv[2]);
  if (argc >= 3 && std::wcscmp(argv[1], L"around") == 0) return run_around(argc - 2, argv + 2);
  return TOOL_FAILED;
}
