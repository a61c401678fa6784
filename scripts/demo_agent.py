#!/usr/bin/env python3
"""A demo coding agent for `make demo`: it runs in talvane's pseudo-terminal in place of
`claude` or `codex` and shows every byte it receives, readably:

  - what you type appears as you type it;
  - a bracketed paste (how a voice reply reaches Claude Code) starts a new line
    "voice reply ▸ «…»", the paste markers shown as « and »;
  - Enter (CR) shows as ⏎ and starts a new line; inside a paste CR shows as ␍;
  - a line feed shows as ↵;
  - other control bytes show as ^X (ESC as ^[).

Ctrl+C or Ctrl+D ends it. It changes no terminal mode of the outer terminal: it prints no
mode-setting sequences, so the terminal is left as it was whichever side ends first.
"""
import os
import sys
import termios
import time
import tty

PASTE_START = b"\x1b[200~"
PASTE_END = b"\x1b[201~"
BOLD, DIM, CYAN, RESET = "\x1b[1m", "\x1b[2m", "\x1b[36m", "\x1b[0m"
START = time.monotonic()
in_paste = False  # between the paste markers, which may arrive in different reads


def out(text):
    os.write(1, text.encode("utf-8", "replace"))


def render(data):
    """The received bytes as text to show; paste markers and line breaks made visible."""
    global in_paste
    shown = []
    i = 0
    while i < len(data):
        if data.startswith(PASTE_START, i):
            stamp = "%.1fs" % (time.monotonic() - START)
            shown.append("\r\n%s[%s]%s %svoice reply ▸%s %s«" % (DIM, stamp, RESET, BOLD, RESET, CYAN))
            i += len(PASTE_START)
            in_paste = True
        elif data.startswith(PASTE_END, i):
            shown.append("»" + RESET)
            i += len(PASTE_END)
            in_paste = False
        else:
            byte = data[i]
            if byte == 0x0D:
                shown.append("␍" if in_paste else "⏎\r\n> ")
            elif byte == 0x0A:
                shown.append("↵")
            elif byte == 0x7F:
                shown.append("\b \b")
            elif byte < 0x20:
                shown.append("^" + chr(byte + 0x40))
            else:
                # Gather the run of ordinary bytes so that UTF-8 text stays whole.
                end = i
                while end < len(data) and data[end] >= 0x20 and data[end] != 0x7F and \
                        not data.startswith(PASTE_START, end) and not data.startswith(PASTE_END, end):
                    end += 1
                shown.append(data[i:end].decode("utf-8", "replace"))
                i = end
                continue
            i += 1
    return "".join(shown)


def main():
    name = os.path.basename(sys.argv[0])
    token = os.environ.get("TALVANE_SESSION_TOKEN")
    saved = termios.tcgetattr(0) if os.isatty(0) else None
    if saved:
        tty.setraw(0)
    try:
        out("%sdemo agent%s, started by talvane as `%s`%s\r\n" % (
            BOLD, RESET, name, " with a session token" if token else " (no session token)"))
        out("Type anything; voice replies from the stand-in app appear below. "
            "Ctrl+C or Ctrl+D ends.\r\n> ")
        while True:
            try:
                data = os.read(0, 4096)
            except OSError:
                break  # the terminal is gone (talvane has ended)
            if not data or data in (b"\x03", b"\x04"):
                break
            out(render(data))
        out("\r\n%sdemo agent ends%s\r\n" % (DIM, RESET))
    finally:
        if saved:
            termios.tcsetattr(0, termios.TCSADRAIN, saved)


if __name__ == "__main__":
    main()
