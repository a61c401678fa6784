// Stands first on the Windows PATH as claude.exe and codex.exe in the real-agent suite under Wine
// and starts the real agent named in the file beside it (claude.exe.target, codex.exe.target)
// with this console's CONIN$ and CONOUT$ as its standard handles; exits with its exit code.
//
// Why: talvane.exe starts the agent with STARTF_USESTDHANDLES and INVALID_HANDLE_VALUE handles,
// as the pseudo-console asks. Windows then gives the child the pseudo-console's handles; Wine 8
// gives it NULL, and the agents' first write to standard output fails. Wine gives this program
// NULL too, but it opens the console by name and hands the handles on.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static HANDLE open_console(const wchar_t* name) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, OPEN_EXISTING, 0, NULL);
}

// The rest of this program's command line after its own name.
static const wchar_t* arguments(void) {
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

// Ctrl+C and Ctrl+Break are the agent's to handle; this program only waits for it.
static BOOL WINAPI ignore_event(DWORD event) {
  (void)event;
  return TRUE;
}

int wmain(void) {
  wchar_t target_file[MAX_PATH + 16];
  const DWORD n = GetModuleFileNameW(NULL, target_file, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 120;
  wcscat(target_file, L".target");
  FILE* f = _wfopen(target_file, L"rb");
  if (!f) return 121;
  char utf8[2 * MAX_PATH];
  const size_t got = fread(utf8, 1, sizeof utf8 - 1, f);
  fclose(f);
  utf8[got] = 0;
  size_t len = strlen(utf8);
  while (len > 0 && (utf8[len - 1] == '\n' || utf8[len - 1] == '\r')) utf8[--len] = 0;
  wchar_t target[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, target, MAX_PATH) == 0) return 122;

  static wchar_t command[32768];
  _snwprintf(command, 32767, L"\"%ls\" %ls", target, arguments());

  STARTUPINFOW start;
  ZeroMemory(&start, sizeof start);
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = open_console(L"CONIN$");
  start.hStdOutput = open_console(L"CONOUT$");
  start.hStdError = open_console(L"CONOUT$");
  SetConsoleCtrlHandler(ignore_event, TRUE);
  PROCESS_INFORMATION child;
  if (!CreateProcessW(target, command, NULL, NULL, TRUE, 0, NULL, NULL, &start, &child)) {
    return 123;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  return (int)code;
}
