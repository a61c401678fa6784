// A console program for the real-agent suite under Wine, in the agent's place:
//
//   key_log wait              waits until it is ended (keeps a Wine prefix's server up)
//   key_log record FILE [vt]  switches the console's input to raw keys (with "vt", to virtual
//                             terminal input, as some agents do), writes ESC[?2004h as both
//                             agents do, then appends one line per input event to FILE:
//                             "MS key DOWN VK SCAN CHAR CTRL" or "MS other TYPE", MS being the
//                             milliseconds since the first event; ends at Ctrl+] (0x1d)
//
// It shows what the console hands an agent for the keys that talvane.exe types, and when.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static HANDLE open_console(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                     OPEN_EXISTING, 0, NULL);
}

static int record(const wchar_t* file, int vt) {
  HANDLE in = open_console(L"CONIN$");
  HANDLE out = open_console(L"CONOUT$");
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) return 2;
  DWORD mode = ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS;
  if (vt) mode |= ENABLE_VIRTUAL_TERMINAL_INPUT;
  SetConsoleMode(in, mode);
  DWORD out_mode = 0;
  GetConsoleMode(out, &out_mode);
  SetConsoleMode(out, out_mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  FILE* log = _wfopen(file, L"wb");
  if (!log) return 2;
  fprintf(log, "ready\n");
  fflush(log);
  DWORD written = 0;
  WriteConsoleA(out, "\x1b[?2004hkey_log>", 16, &written, NULL);
  LARGE_INTEGER frequency, first, now;
  QueryPerformanceFrequency(&frequency);
  first.QuadPart = 0;
  for (;;) {
    INPUT_RECORD events[64];
    DWORD n = 0;
    if (!ReadConsoleInputW(in, events, 64, &n)) return 2;
    QueryPerformanceCounter(&now);
    if (first.QuadPart == 0) first = now;
    const double ms = (double)(now.QuadPart - first.QuadPart) * 1000.0 / (double)frequency.QuadPart;
    for (DWORD i = 0; i < n; ++i) {
      if (events[i].EventType != KEY_EVENT) {
        fprintf(log, "%.1f other %u\n", ms, (unsigned)events[i].EventType);
        continue;
      }
      const KEY_EVENT_RECORD* k = &events[i].Event.KeyEvent;
      fprintf(log, "%.1f key %d %u %u %04x %lx\n", ms, k->bKeyDown ? 1 : 0,
              (unsigned)k->wVirtualKeyCode, (unsigned)k->wVirtualScanCode,
              (unsigned)k->uChar.UnicodeChar, (unsigned long)k->dwControlKeyState);
      if (k->uChar.UnicodeChar == 0x1d) {
        fclose(log);
        WriteConsoleA(out, "\x1b[?2004l", 8, &written, NULL);
        return 0;
      }
    }
    fflush(log);
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && wcscmp(argv[1], L"wait") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (argc >= 3 && wcscmp(argv[1], L"record") == 0) {
    return record(argv[2], argc >= 4 && wcscmp(argv[3], L"vt") == 0);
  }
  fprintf(stderr, "usage: key_log wait | key_log record FILE [vt]\n");
  return 2;
}
