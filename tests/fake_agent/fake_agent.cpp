// A stand-in coding agent for the tests. It runs inside the pseudo-terminal (on Windows it opens
// CONIN$ and CONOUT$ itself when its standard handles are not the console), puts its terminal
// in raw mode, records what it was given and what it receives, echoes if asked, and exits as
// asked. Controlled by environment variables:
//
//   FAKE_AGENT_DIR=<dir>      record into <dir>:
//                               argv   every argument (argv[0] first), each followed by a NUL
//                               cwd    the working directory
//                               env    every NAME=VALUE, each followed by a NUL
//                               pid    the agent's process id
//                               ppid   its parent's (talvane's) process id
//                               fds    (POSIX) the open descriptors, one number per line
//                               size   "COLUMNS ROWS\n" at start, and again on every change
//                               input  every byte received, appended and flushed on arrival
//                               reads  the byte count of each read, one per line
//                               ready  created last, once all of the above is set up
//   FAKE_AGENT_ECHO=1         write every byte received back to standard output
//   FAKE_AGENT_PRINT=<text>   write <text> to standard output at start, as it stands
//   FAKE_AGENT_PRINT_BYTES=N  then write N bytes of a fixed pattern (see pattern_byte)
//   FAKE_AGENT_EXIT_ON=N      exit once the byte with the decimal value N has been received
//   FAKE_AGENT_EXIT_CODE=N    the exit code (default 0), also at end of input
//   FAKE_AGENT_EXIT_AT_ONCE=1 once ready and printed, exit without reading any input
//   FAKE_AGENT_SIGNAL=N       (POSIX) once ready, end by signal N
//   FAKE_AGENT_CLOSE_STDIN=1  once ready, close standard input and wait to be ended
//   FAKE_AGENT_RAW=0          leave the terminal's mode alone
//   FAKE_AGENT_OUTLIVE=1      (POSIX) survive the terminal's hang-up: ignore SIGHUP and, at end
//                             of input, wait to be ended instead of exiting (an agent that is
//                             still busy when the launcher goes)
// For the benchmarks and the soak (times are the steady clock's nanoseconds, which on Linux
// are CLOCK_MONOTONIC's, as Python's time.monotonic_ns()):
//   FAKE_AGENT_FLOOD=N        after the printing, write N bytes of text mixed with colour and
//                             cursor sequences in large writes, then FLOOD_END
//   FAKE_AGENT_SIZE_REPORT=1  (POSIX) write "[size COLUMNS ROWS]" on every size change
//   FAKE_AGENT_EXIT_STAMP=<f> write the time to <f> right before exiting
//   FAKE_AGENT_CR_STAMPS=<f>  append the time of every read that brought a CR, one per line
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

#ifdef _WIN32
std::string utf8(const wchar_t* text, int length = -1);

// As UTF-8: getenv would give the ANSI code page's bytes.
std::string env(const char* name) {
  const std::wstring wide(name, name + std::strlen(name));
  const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (size == 0) return "";
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
  return utf8(value.c_str(), static_cast<int>(length));
}
#else
std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}
#endif

std::string RECORD_DIR;

void record(const char* file, const std::string& bytes, bool append = false) {
  if (RECORD_DIR.empty()) return;
  std::ofstream out(RECORD_DIR + "/" + file,
                    std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << bytes;
}

// The n-th byte of FAKE_AGENT_PRINT_BYTES: printable, with a line end every 64 bytes.
char pattern_byte(std::size_t n) {
  if (n % 64 == 62) return '\r';
  if (n % 64 == 63) return '\n';
  return static_cast<char>('a' + n % 26);
}

constexpr const char* FLOOD_END = "\r\n[flood end]\r\n";

std::string now_stamp() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

void stamp_to(const std::string& path, bool append) {
  if (path.empty()) return;
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << now_stamp() << "\n";
}

// One block of what a busy agent draws: coloured words, cursor moves, line ends.
std::string flood_block() {
  std::string block;
  for (int line = 0; block.size() < 16384; ++line) {
    block += "\x1b[" + std::to_string(line % 50 + 1) + ";1H\x1b[2K";
    for (int word = 0; word < 8; ++word) {
      block += "\x1b[3" + std::to_string((line + word) % 8) + "mword" + std::to_string(word) +
               " lorem ipsum\x1b[0m ";
    }
    block += "\r\n";
  }
  return block;
}

#ifdef _WIN32

// The console's input and output. An agent attached to a pseudo-console by Wine gets no standard
// handles; it opens the console itself, as it may on any Windows.
HANDLE CONSOLE_IN = INVALID_HANDLE_VALUE;
HANDLE CONSOLE_OUT = INVALID_HANDLE_VALUE;

HANDLE console_handle(DWORD which, const wchar_t* name) {
  const HANDLE standard = GetStdHandle(which);
  DWORD mode = 0;
  if (standard != nullptr && standard != INVALID_HANDLE_VALUE && GetConsoleMode(standard, &mode)) {
    return standard;
  }
  const HANDLE opened =
      CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  return opened != INVALID_HANDLE_VALUE ? opened : standard;
}

void open_console() {
  CONSOLE_IN = console_handle(STD_INPUT_HANDLE, L"CONIN$");
  CONSOLE_OUT = console_handle(STD_OUTPUT_HANDLE, L"CONOUT$");
}

std::string utf8(const wchar_t* text, int length) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return "";
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  if (length < 0) out.pop_back();  // the terminating NUL
  return out;
}

void write_out(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(CONSOLE_OUT, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                   &written, nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

std::string terminal_size() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(CONSOLE_OUT, &info);
  return std::to_string(info.srWindow.Right - info.srWindow.Left + 1) + " " +
         std::to_string(info.srWindow.Bottom - info.srWindow.Top + 1) + "\n";
}

DWORD parent_pid() {
  DWORD parent = 0;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

void record_start(int argc, wchar_t** argv) {
  open_console();
  std::string args;
  for (int i = 0; i < argc; ++i) args += utf8(argv[i]) + '\0';
  record("argv", args);
  wchar_t cwd[MAX_PATH * 4];
  GetCurrentDirectoryW(MAX_PATH * 4, cwd);
  record("cwd", utf8(cwd));
  std::string vars;
  wchar_t* block = GetEnvironmentStringsW();
  for (wchar_t* p = block; *p; p += wcslen(p) + 1) vars += utf8(p) + '\0';
  FreeEnvironmentStringsW(block);
  record("env", vars);
  record("pid", std::to_string(GetCurrentProcessId()));
  record("ppid", std::to_string(parent_pid()));
  record("size", terminal_size());
}

void make_raw() {
  SetConsoleCP(CP_UTF8);
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleMode(CONSOLE_IN, ENABLE_VIRTUAL_TERMINAL_INPUT);
  DWORD mode = 0;
  GetConsoleMode(CONSOLE_OUT, &mode);
  SetConsoleMode(CONSOLE_OUT, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// Bytes received, or 0 at end of input. Keys are read as UTF-16 and passed on as UTF-8; a high
// surrogate that ends one read waits for its partner in the next.
long read_in(char* buffer, std::size_t size) {
  static std::wstring held;
  DWORD mode = 0;
  if (!GetConsoleMode(CONSOLE_IN, &mode)) {
    DWORD count = 0;
    if (!ReadFile(CONSOLE_IN, buffer, static_cast<DWORD>(size), &count, nullptr)) return 0;
    return static_cast<long>(count);
  }
  for (;;) {
    wchar_t units[4096];
    DWORD count = 0;
    if (!ReadConsoleW(CONSOLE_IN, units, static_cast<DWORD>(size / 4 < 4096 ? size / 4 : 4096),
                      &count, nullptr) ||
        count == 0) {
      return 0;
    }
    held.append(units, count);
    std::size_t whole = held.size();
    if (held.back() >= 0xD800 && held.back() <= 0xDBFF) --whole;
    if (whole == 0) continue;
    const std::string bytes = utf8(held.data(), static_cast<int>(whole));
    held.erase(0, whole);
    bytes.copy(buffer, bytes.size());
    return static_cast<long>(bytes.size());
  }
}

void close_stdin_and_wait() {
  CloseHandle(CONSOLE_IN);
  Sleep(INFINITE);
}

#else

int RESIZE_PIPE[2] = {-1, -1};
bool SIZE_REPORT = false;

extern "C" void on_winch(int) {
  const int saved = errno;
  const char byte = 1;
  ssize_t ignored = write(RESIZE_PIPE[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

void write_out(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(1, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string terminal_size() {
  winsize ws{};
  ioctl(0, TIOCGWINSZ, &ws);
  return std::to_string(ws.ws_col) + " " + std::to_string(ws.ws_row) + "\n";
}

std::string open_fds() {
  std::string fds;
  // Listed through /proc where there is one; the listing's own descriptor is left out.
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
      fds += std::string(entry->d_name) + "\n";
    }
    closedir(dir);
    return fds;
  }
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) fds += std::to_string(fd) + "\n";
  }
  return fds;
}

void record_start(int argc, char** argv) {
  // Taken before this program opens anything of its own.
  const std::string fds = open_fds();
  std::string args;
  for (int i = 0; i < argc; ++i) args += std::string(argv[i]) + '\0';
  record("argv", args);
  char cwd[4096] = {};
  record("cwd", getcwd(cwd, sizeof cwd) ? cwd : "");
  std::string vars;
  for (char** e = environ; *e; ++e) vars += std::string(*e) + '\0';
  record("env", vars);
  record("pid", std::to_string(getpid()));
  record("ppid", std::to_string(getppid()));
  record("fds", fds);
  record("size", terminal_size());
}

void make_raw() {
  termios t{};
  if (tcgetattr(0, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(0, TCSANOW, &t);
  }
}

// Bytes received, or 0 at end of input; records a size change while it waits.
long read_in(char* buffer, std::size_t size) {
  for (;;) {
    pollfd fds[2] = {{0, POLLIN, 0}, {RESIZE_PIPE[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (fds[1].revents & POLLIN) {
      char drain[16];
      ssize_t ignored = read(RESIZE_PIPE[0], drain, sizeof drain);
      (void)ignored;
      record("size", terminal_size(), true);
      if (SIZE_REPORT) {
        std::string size = terminal_size();
        size.pop_back();
        write_out("[size " + size + "]");
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = read(0, buffer, size);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<long>(n) : 0;
    }
  }
}

void close_stdin_and_wait() {
  close(0);
  for (;;) pause();
}

#endif

void flood(unsigned long long count) {
  const std::string block = flood_block();
  std::string big;
  while (big.size() < 65536) big += block;
  while (count > 0) {
    const std::size_t n = count < big.size() ? static_cast<std::size_t>(count) : big.size();
    write_out(big.substr(0, n));
    count -= n;
  }
  write_out(FLOOD_END);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
  RECORD_DIR = env("FAKE_AGENT_DIR");
  const unsigned long exit_code = std::strtoul(env("FAKE_AGENT_EXIT_CODE").c_str(), nullptr, 10);
  const std::string exit_on_text = env("FAKE_AGENT_EXIT_ON");
  const int exit_on = exit_on_text.empty() ? -1 : std::atoi(exit_on_text.c_str());
  const bool echo = env("FAKE_AGENT_ECHO") == "1";
  const std::string exit_stamp = env("FAKE_AGENT_EXIT_STAMP");
  const std::string cr_stamps = env("FAKE_AGENT_CR_STAMPS");
#ifndef _WIN32
  SIZE_REPORT = env("FAKE_AGENT_SIZE_REPORT") == "1";
#endif

  record_start(argc, argv);
  if (env("FAKE_AGENT_RAW") != "0") make_raw();
#ifndef _WIN32
  if (pipe(RESIZE_PIPE) == 0) {
    fcntl(RESIZE_PIPE[0], F_SETFD, FD_CLOEXEC);
    fcntl(RESIZE_PIPE[1], F_SETFD, FD_CLOEXEC);
    fcntl(RESIZE_PIPE[1], F_SETFL, O_NONBLOCK);
  }
  struct sigaction action {};
  action.sa_handler = on_winch;
  sigemptyset(&action.sa_mask);
  sigaction(SIGWINCH, &action, nullptr);
  const bool outlive = env("FAKE_AGENT_OUTLIVE") == "1";
  if (outlive) signal(SIGHUP, SIG_IGN);
#endif
  record("input", "");
  record("ready", "");

  std::string print = env("FAKE_AGENT_PRINT");
  const unsigned long print_bytes =
      std::strtoul(env("FAKE_AGENT_PRINT_BYTES").c_str(), nullptr, 10);
  for (std::size_t i = 0; i < print_bytes; ++i) print += pattern_byte(i);
  write_out(print);
  if (const auto count = std::strtoull(env("FAKE_AGENT_FLOOD").c_str(), nullptr, 10); count > 0) {
    flood(count);
  }

  if (env("FAKE_AGENT_EXIT_AT_ONCE") == "1") {
    stamp_to(exit_stamp, false);
    return static_cast<int>(exit_code);
  }
#ifndef _WIN32
  if (const int sig = std::atoi(env("FAKE_AGENT_SIGNAL").c_str()); sig > 0) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
#endif
  if (env("FAKE_AGENT_CLOSE_STDIN") == "1") close_stdin_and_wait();

  std::vector<char> buffer(65536);
  for (;;) {
    const long n = read_in(buffer.data(), buffer.size());
    if (n <= 0) break;
    const std::string bytes(buffer.data(), static_cast<std::size_t>(n));
    if (bytes.find('\r') != std::string::npos) stamp_to(cr_stamps, true);
    record("input", bytes, true);
    record("reads", std::to_string(n) + "\n", true);
    if (echo) write_out(bytes);
    if (exit_on >= 0 && bytes.find(static_cast<char>(exit_on)) != std::string::npos) break;
  }
#ifndef _WIN32
  if (outlive) close_stdin_and_wait();
#endif
  stamp_to(exit_stamp, false);
  return static_cast<int>(exit_code);
}
