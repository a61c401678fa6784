#include <windows.h>

#include <thread>

#include "platform/os_string.h"
#include "tests/support/run_program.h"

namespace testing_support {
namespace {

std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
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

void drain(HANDLE pipe, std::string* sink) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) sink->append(buffer, n);
}

}  // namespace

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
  ProgramResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inheritable, 0)) return result;
  if (!CreatePipe(&err_read, &err_write, &inheritable, 0)) return result;
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);

  std::wstring line = quote(platform::from_utf8(program));
  for (const std::string& a : args) line += L" " + quote(platform::from_utf8(a));
  std::wstring block;
  for (const auto& [name, value] : env) block += platform::from_utf8(name + "=" + value) + L'\0';
  block += L'\0';

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  const std::wstring application = platform::from_utf8(program);
  const BOOL created = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(),
                                      nullptr, &startup, &process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (created) {
    std::thread err_reader(drain, err_read, &result.err);
    drain(out_read, &result.out);
    err_reader.join();
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &code)) {
      result.status = static_cast<int>(code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out_read);
  CloseHandle(err_read);
  return result;
}

}  // namespace testing_support
