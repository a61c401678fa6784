#!/usr/bin/env python3
"""How long must Enter wait behind a bracketed paste for Claude Code to submit it? The shortest
pause that submits the first paste of 20 fresh sessions, doubled, at most 250 ms (paste_pause.py
says how it is measured).

    scripts/claude_paste_pause.py [--sessions 20] [--every] [--set pinned|current] [--kib N]
                                  [PAUSE_MS ...]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import paste_pause  # noqa: E402

if __name__ == "__main__":
    sys.exit(paste_pause.main("claude", [0, 5, 10, 20, 30, 50, 75, 100, 150, 200], cap_ms=250))
