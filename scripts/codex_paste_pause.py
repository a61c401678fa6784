#!/usr/bin/env python3
"""How long must Enter wait behind a bracketed paste for Codex CLI to submit it? The shortest
pause that submits the first paste of 20 fresh sessions, doubled (paste_pause.py says how it is
measured).

    scripts/codex_paste_pause.py [--sessions 20] [--every] [--set pinned|current] [--kib N]
                                 [PAUSE_MS ...]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import paste_pause  # noqa: E402

if __name__ == "__main__":
    sys.exit(paste_pause.main("codex", [0, 10, 20, 50, 75, 100, 125, 150, 200, 250]))
