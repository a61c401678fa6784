#!/usr/bin/env python3
"""How long must Enter wait behind a bracketed paste for Claude Code to submit it? Runs the
pinned Claude Code directly (no talvane) against the mock model server, in fresh sessions, and
writes the first paste of each session with its CR after a pause; a paste counts as submitted
when the model request's last user message holds its text exactly. A paste that was not is
followed by a second CR, to tell a lost Enter from a lost paste.

    scripts/claude_paste_pause.py [--sessions 20] [--every] [PAUSE_MS ...]

Pauses are tried in the order given (default 0 5 10 20 30 50 75 100 150 200); unless --every, a
pause stops at its first failure, and the run stops after the first pause that passes every
session. Prints one
line per pause and the pause to use: the shortest that passed, doubled, at most 250 ms.
"""

import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import agent_harness as a  # noqa: E402
import pty_harness as h  # noqa: E402

TEXT = 'first paste\nof a "fresh" session: gr\u00fc\u00dfe \u2713'
PASTE = b"\x1b[200~" + TEXT.encode() + b"\x1b[201~"
SUBMIT_TIMEOUT_S = 6.0
CAP_MS = 250


def submitted(term, server, start):
    deadline = time.monotonic() + SUBMIT_TIMEOUT_S
    while time.monotonic() < deadline:
        if server.wait_for_user_text(TEXT, 0.05, start) is not None:
            return True
        term.read_some(0.05)
    return False


def first_paste(bin_dir, server, pause_ms):
    root = h.temp_dir("talvane-paste-")
    term = None
    try:
        cwd = os.path.join(root, "work")
        os.makedirs(cwd)
        home, extra = a.agent_home(root, "claude", server.url, cwd)
        os.chdir(cwd)
        term = a.AnsweringTerminal([os.path.join(bin_dir, "claude")],
                                   a.agent_env(home, bin_dir, extra))
        term.wait_for(b"\x1b[?2004h", 60)  # bracketed paste on: the prompt is up
        term.wait_quiet(1.0, 20)
        start = server.count()
        if pause_ms == 0:
            term.type(PASTE + b"\r")
        else:
            term.type(PASTE)
            time.sleep(pause_ms / 1000)
            term.type(b"\r")
        if submitted(term, server, start):
            return "submitted"
        # Not submitted: was only the Enter lost (a second one submits the paste) or the paste?
        term.type(b"\r")
        return "Enter lost" if submitted(term, server, start) else "paste lost"
    finally:
        if term:
            a.kill_all(a.descendants(term.pid))
            term.close()
        os.chdir(h.ROOT)
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--every", action="store_true",
                        help="run every session of every pause given")
    parser.add_argument("pauses", nargs="*", type=int, default=[0, 5, 10, 20, 30, 50, 75, 100, 150, 200])
    args = parser.parse_args()
    try:
        bin_dir, why = a.install_agents()
    except a.RegistryUnreachable as e:
        bin_dir, why = None, "the npm registry cannot be reached: %s" % e
    if bin_dir is None:
        print("skipped: the agents cannot be installed (%s)" % why)
        return 2
    server = a.ModelServer()
    print("Claude Code %s, first paste of %d fresh sessions per pause" % (
        a.agent_version(bin_dir, "claude"), args.sessions))
    chosen = None
    for pause in args.pauses:
        outcomes = {}
        for _ in range(args.sessions):
            outcome = first_paste(bin_dir, server, pause)
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            if outcome != "submitted" and not args.every:
                break
        passed = outcomes.pop("submitted", 0)
        print("pause %3d ms: %d/%d submitted%s" % (
            pause, passed, args.sessions,
            "".join(", %s %d" % item for item in sorted(outcomes.items()))), flush=True)
        if passed == args.sessions and chosen is None:
            chosen = pause
            if not args.every:
                break
    server.close()
    if chosen is None:
        print("no pause passed every session")
        return 1
    print("shortest pause with %d/%d: %d ms; to use: %d ms" % (
        args.sessions, args.sessions, chosen, min(2 * chosen, CAP_MS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
