#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/launch/agent_lookup.h"
#include "platform/command_line.h"
#include "platform/process.h"

namespace launch {
namespace {

using platform::OsString;

// When this variable names a file, the test program is standing in for an agent behind a batch
// file: it writes the arguments it was given there (UTF-16, each ended by NUL) and exits before
// any test runs.
constexpr const wchar_t* DUMP_VARIABLE = L"TALVANE_TEST_ARGUMENT_DUMP";
constexpr std::chrono::milliseconds CHILD_TIMEOUT{60000};

// The arguments as the Microsoft C runtime splits this process's command line, which is how
// an agent sees them.
std::vector<std::wstring> runtime_arguments() {
  struct StartupInfo {
    int new_mode;
  };
  using GetMainArgs = int(__cdecl*)(int*, wchar_t***, wchar_t***, int, StartupInfo*);
  const HMODULE runtime = LoadLibraryW(L"msvcrt.dll");
  const auto get_main_args = runtime ? reinterpret_cast<GetMainArgs>(reinterpret_cast<void*>(
                                           GetProcAddress(runtime, "__wgetmainargs")))
                                     : nullptr;
  std::vector<std::wstring> args;
  int argc = 0;
  wchar_t** argv = nullptr;
  wchar_t** envp = nullptr;
  StartupInfo info{0};
  if (get_main_args != nullptr && get_main_args(&argc, &argv, &envp, 0, &info) == 0) {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  }
  return args;
}

bool dump_arguments_if_asked() {
  wchar_t target[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(DUMP_VARIABLE, target, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  std::wstring out;
  for (const std::wstring& arg : runtime_arguments()) out += arg + L'\0';
  std::ofstream(std::filesystem::path(target), std::ios::binary)
      .write(reinterpret_cast<const char*>(out.data()),
             static_cast<std::streamsize>(out.size() * sizeof(wchar_t)));
  ExitProcess(0);
}

[[maybe_unused]] const bool DUMPING_ARGUMENTS = dump_arguments_if_asked();

std::wstring module_path() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

std::wstring system_cmd() {
  wchar_t dir[MAX_PATH];
  const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir, n) + L"\\cmd.exe";
}

// Wine's cmd.exe expands %name% again inside the text that %* inserts; Windows' does not.
bool under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A scratch directory; PATH and PATHEXT are put back as they were afterwards.
class WindowsLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    std::error_code error;
    root_ = std::filesystem::temp_directory_path(error) /
            (L"talvane-lookup-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter));
    ASSERT_TRUE(std::filesystem::create_directories(root_, error)) << error.message();
    saved_path_ = platform::get_env(L"PATH");
    saved_pathext_ = platform::get_env(L"PATHEXT");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"PATH", saved_path_ ? saved_path_->c_str() : nullptr);
    SetEnvironmentVariableW(L"PATHEXT", saved_pathext_ ? saved_pathext_->c_str() : nullptr);
    std::error_code error;
    std::filesystem::remove_all(root_, error);
  }

  std::wstring dir(const std::wstring& name) {
    const std::filesystem::path d = root_ / name;
    std::error_code error;
    std::filesystem::create_directories(d, error);
    return d.wstring();
  }
  std::wstring file(const std::wstring& path, const std::string& content = "") {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << content;
    return path;
  }

  // Runs `command` with the dump variable in its environment; the arguments the program behind
  // it was given, or nothing when it did not run.
  std::optional<std::vector<std::wstring>> run(platform::AgentCommand command) {
    const std::wstring dump = (root_ / L"arguments.bin").wstring();
    DeleteFileW(dump.c_str());
    command.env.set(DUMP_VARIABLE, dump);
    platform::Result<OsString> line = platform::windows_command_line(command);
    if (!line) return std::nullopt;
    OsString block = platform::environment_block(command.env);
    const std::wstring application =
        command.kind == platform::AgentCommand::Kind::BatchFile ? system_cmd() : command.program;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application.c_str(), line.value().data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process)) {
      return std::nullopt;
    }
    const DWORD waited =
        WaitForSingleObject(process.hProcess, static_cast<DWORD>(CHILD_TIMEOUT.count()));
    if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::ifstream in(std::filesystem::path(dump), std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    std::vector<std::wstring> args;
    for (size_t start = 0; start < text.size();) {
      const size_t end = text.find(L'\0', start);
      args.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return args;
  }

  std::filesystem::path root_;
  std::optional<OsString> saved_path_;
  std::optional<OsString> saved_pathext_;
};

TEST_F(WindowsLookup, SkipsDirectoriesAndPrefersABatchFileToTheBareName) {
  const std::wstring a = dir(L"a");
  dir(L"a\\claude.exe");  // a directory named like the agent
  const std::wstring b = dir(L"b");
  file(b + L"\\claude");
  file(b + L"\\claude.cmd");
  SetEnvironmentVariableW(L"PATH", (a + L";\"" + b + L"\"").c_str());
  SetEnvironmentVariableW(L"PATHEXT", nullptr);
  const std::optional<OsString> found = find_agent(cli::AgentKind::Claude);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, b + L"\\claude.CMD");  // the extension as PATHEXT writes it
  EXPECT_EQ(find_agent(cli::AgentKind::Codex), std::nullopt);
}

TEST_F(WindowsLookup, ExecutableGetsEveryArgumentUnchanged) {
  const std::vector<OsString> args = {L"a b",       L"",       L"say \"hi\"", L"dir\\",
                                      L"back\\\"q", L"%PATH%", L"caf\u00e9"};
  auto command = make_agent_command(module_path(), args, std::nullopt,
                                    platform::launcher_environment(), platform::PathRules::Windows);
  ASSERT_TRUE(command.ok());
  EXPECT_EQ(run(std::move(command.value())), args);
}

TEST_F(WindowsLookup, BatchFileGetsHostileArgumentsUnchanged) {
  // With the standard quoting cmd.exe reads a&b as two commands, strips ^, and mangles quotes:
  // an argument could run a command of its choosing.
  const std::wstring batch = file(dir(L"npm") + L"\\codex.CMD",
                                  "@\"" + platform::to_utf8_lossy(module_path()) + "\" %*\r\n");
  std::vector<OsString> args = {L"a&b",     L"\"q\"",     L"^",   L"|",         L"<>",
                                L"dir\\",   L"two words", L"",    L"x\"y z",    L"a\\\"b",
                                L"!x!",     L"(x)",       L";,=", L"tab\there", L"caf\u00e9",
                                L"--model", L"opus"};
  if (!under_wine()) {  // Wine's %* re-expansion would show its own fault here, not ours
    for (const wchar_t* percent : {L"%PATH%", L"50%", L"%%", L"%cd:~,%"}) args.push_back(percent);
  }
  auto command = make_agent_command(batch, args, std::nullopt, platform::launcher_environment(),
                                    platform::PathRules::Windows);
  ASSERT_TRUE(command.ok()) << command.error().display();
  ASSERT_EQ(command.value().kind, platform::AgentCommand::Kind::BatchFile);
  EXPECT_EQ(run(std::move(command.value())), args);
}

TEST_F(WindowsLookup, PercentSignsSurviveCmdsExpansion) {
  // cmd.exe expands %name% even inside quotes; the command line must keep every "%" literal.
  // Run through cmd.exe straight into the program, the step that both Windows and Wine share.
  const std::vector<OsString> args = {L"%PATH%", L"50%", L"%%", L"%cd:~,%", L"a % b"};
  platform::AgentCommand command;
  command.kind = platform::AgentCommand::Kind::BatchFile;
  command.program = module_path();
  command.args = {command.program};
  command.args.insert(command.args.end(), args.begin(), args.end());
  command.env = platform::launcher_environment();
  EXPECT_EQ(run(std::move(command)), args);
}

}  // namespace
}  // namespace launch
