#include "tests/wine/wine_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "tests/support/run_program.h"

namespace testing_support {
namespace {

using namespace std::string_literals;

struct SuiteState {
  std::string wine;
  std::string wineserver;
  std::optional<TempDir> root;  // the prefix and HOME
  pid_t waiter = -1;            // a Wine program kept running for the whole suite
};
SuiteState SUITE;

std::string on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string find_wine() {
  for (const std::string& candidate :
       {on_path("wine64"), "/usr/lib/wine/wine64"s, on_path("wine")}) {
    if (!candidate.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string find_wineserver(const std::string& wine) {
  const std::string beside = std::filesystem::path(wine).parent_path() / "wineserver";
  if (access(beside.c_str(), X_OK) == 0) return beside;
  return on_path("wineserver");
}

std::string hex(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += DIGITS[c >> 4];
    out += DIGITS[c & 15];
  }
  return out;
}

}  // namespace

std::string windows_program(const char* name) { return WINDOWS_BUILD_DIR "/"s + name; }

std::string windows_path(const std::filesystem::path& path) {
  std::string text = "Z:" + std::filesystem::absolute(path).string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::string WineSuite::missing() {
  SUITE.wine = find_wine();
  if (SUITE.wine.empty()) return "Wine (wine64) is not installed";
  SUITE.wineserver = find_wineserver(SUITE.wine);
  if (SUITE.wineserver.empty()) return "wineserver is not installed";
  for (const char* program : {"talvane.exe", "fake_agent.exe", "console_tool.exe"}) {
    if (access(windows_program(program).c_str(), R_OK) != 0) {
      return "the Windows build has no " + windows_program(program) +
             " (cmake --preset windows && cmake --build --preset windows)";
    }
  }
  return "";
}

const std::string& WineSuite::wine() { return SUITE.wine; }

std::map<std::string, std::string> WineSuite::environment() {
  const std::string root = SUITE.root->path().string();
  const char* path = std::getenv("PATH");
  return {{"PATH", path ? path : "/usr/bin:/bin"},
          {"HOME", root},
          {"USER", "talvane"},
          {"LANG", "C.UTF-8"},
          {"TERM", "xterm-256color"},
          {"WINEPREFIX", root + "/prefix"},
          {"WINEDEBUG", "-all"},
          // No Mono or Gecko installer at the prefix's first start.
          {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
}

bool WineSuite::set_up(std::string* reason) {
  SUITE.root.emplace();
  const std::map<std::string, std::string> env = environment();
  // The prefix is made at the first start, which is slow (a second try finishes a start that
  // ran out of time); later starts are fast.
  ProgramResult r = run_program(SUITE.wine, {windows_program("talvane.exe"), "--help"}, env);
  if (r.status != 0) r = run_program(SUITE.wine, {windows_program("talvane.exe"), "--help"}, env);
  if (r.status != 0) {
    *reason =
        "Wine could not run talvane.exe --help (status " + std::to_string(r.status) + "): " + r.err;
    return false;
  }
  SUITE.waiter = fork();
  if (SUITE.waiter == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    for (const int fd : {0, 1, 2}) dup2(null_fd, fd);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    const std::string tool = windows_program("console_tool.exe");
    execl(SUITE.wine.c_str(), SUITE.wine.c_str(), tool.c_str(), "wait", nullptr);
    _exit(127);
  }
  return SUITE.waiter > 0;
}

void WineSuite::tear_down() {
  if (SUITE.root) run_program(SUITE.wineserver, {"-k"}, environment());
  if (SUITE.waiter > 0) {
    kill(SUITE.waiter, SIGKILL);
    waitpid(SUITE.waiter, nullptr, 0);
  }
  SUITE.root.reset();
}

WineRun::WineRun() {
  for (const char* agent : {"claude.exe", "codex.exe"}) {
    std::filesystem::copy_file(windows_program("fake_agent.exe"), bin_.path() / agent);
  }
}

std::string WineRun::record(const char* name) const { return record_.path().string() + "/" + name; }

std::string WineRun::received() const { return read_file(record("input")).value_or(""); }

void WineRun::expect_received(const std::string& bytes) {
  EXPECT_TRUE(eventually([&] { return received().size() >= bytes.size(); }, BOUND));
  EXPECT_EQ(received(), bytes);
}

LauncherProcess::Options WineRun::options(std::vector<std::string> args,
                                          std::map<std::string, std::string> env,
                                          bool around) const {
  LauncherProcess::Options o;
  o.program = WineSuite::wine();
  o.args = {windows_program("talvane.exe")};
  if (around) o.args = {windows_program("console_tool.exe"), "around", windows_path(o.args[0])};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.env = WineSuite::environment();
  o.env["WINEPATH"] = windows_path(bin_.path());
  o.env["TALVANE_DATA_DIR"] = windows_path(data_.path());
  o.env["FAKE_AGENT_DIR"] = windows_path(record_.path());
  o.env["FAKE_AGENT_EXIT_ON"] = std::to_string(EXIT_KEY);
  for (auto& [name, value] : env) o.env[name] = value;
  o.cwd = work_.path().string();
  return o;
}

std::unique_ptr<LauncherProcess> WineRun::start(const LauncherProcess::Options& o) {
  std::filesystem::remove(record("ready"));
  auto talvane = std::make_unique<LauncherProcess>(o);
  EXPECT_TRUE(talvane->started()) << talvane->start_error();
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(record("ready")); }, BOUND))
      << "agent did not start; output: " << talvane->output();
  return talvane;
}

void WineRun::end_agent(LauncherProcess& talvane) {
  talvane.type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane.wait_exit(BOUND), 0) << talvane.output();
}

int WineRun::console_tool(const std::vector<std::string>& args) const {
  std::vector<std::string> all{windows_program("console_tool.exe")};
  all.insert(all.end(), args.begin(), args.end());
  return run_program(WineSuite::wine(), all, WineSuite::environment()).status;
}

void WineRun::type_as_keys(std::string_view keys) const {
  EXPECT_EQ(console_tool({"type", "talvane.exe", hex(keys)}), 0);
}

std::vector<std::string> WineRun::modes(const std::string& output) {
  std::vector<std::string> found;
  const std::string text = plain_text(output);
  for (std::size_t at = 0; (at = text.find("[modes ", at)) != std::string::npos; ++at) {
    found.push_back(text.substr(at, text.find(']', at) - at + 1));
  }
  return found;
}

void WineRun::expect_modes_restored(const LauncherProcess& talvane) {
  const std::vector<std::string> found = modes(talvane.output());
  ASSERT_GE(found.size(), 2u) << talvane.output();
  EXPECT_EQ(found.front(), found.back());
}

std::string plain_text(std::string_view output) {
  std::string text;
  for (std::size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\r' || c == '\a') continue;
    if (c != '\x1b') {
      text += c;
      continue;
    }
    if (i + 1 >= output.size()) break;
    const char kind = output[++i];
    if (kind == '[') {  // CSI: parameters up to a final byte in @..~
      const std::size_t start = i + 1;
      while (i + 1 < output.size() && !(output[i + 1] >= '@' && output[i + 1] <= '~')) ++i;
      ++i;
      // Wine's console draws a run of spaces as a cursor move to the right.
      if (i < output.size() && output[i] == 'C') {
        const int n = std::atoi(std::string(output.substr(start, i - start)).c_str());
        text.append(static_cast<std::size_t>(n > 0 ? n : 1), ' ');
      }
    } else if (kind == ']') {  // OSC: up to BEL or ESC backslash
      while (i + 1 < output.size() && output[i + 1] != '\a' && output[i + 1] != '\x1b') ++i;
      ++i;
      if (i < output.size() && output[i] == '\x1b') ++i;
    }
  }
  return text;
}

}  // namespace testing_support
