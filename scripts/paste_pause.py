"""How long must Enter wait behind a bracketed paste for an agent to submit it? Runs the agent of
a pinned set directly (no talvane) against the mock model server, in fresh sessions, and writes
the first paste of each session (ESC[200~ text ESC[201~) with its CR after a pause; a paste counts
as submitted when the model request's last user message holds its text exactly (or a paste the
agent wrapped whose text between the markers is exactly it). A paste that was not is followed by
a second CR, to tell a lost Enter from a lost paste. claude_paste_pause.py and
codex_paste_pause.py run this for their agent:

    scripts/AGENT_paste_pause.py [--sessions 20] [--every] [--set pinned|current] [--kib N]
                                 [PAUSE_MS ...]

Pauses are tried in the order given; unless --every, a pause stops at its first failure, and the
run stops after the first pause that passes every session. --kib pastes N KiB over many lines
instead of the short text. Prints one line per pause and the shortest that passed, doubled.
"""

import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import agent_harness as a  # noqa: E402
import pty_harness as h  # noqa: E402

SHORT_TEXT = 'first paste\nof a "fresh" session: gr\u00fc\u00dfe \u2713'
SUBMIT_TIMEOUT_S = 6.0
NAMES = {"claude": "Claude Code", "codex": "Codex CLI"}


def submitted(term, server, text, start, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if server.wait_for_user_text(text, 0.05, start) is not None:
            return True
        term.read_some(0.05)
    return False


def first_paste(agent, bin_dir, server, pause_ms, text):
    root = h.temp_dir("talvane-paste-")
    term = None
    paste = b"\x1b[200~" + text.encode() + b"\x1b[201~"
    timeout_s = SUBMIT_TIMEOUT_S + len(paste) / 4096
    try:
        cwd = os.path.join(root, "work")
        os.makedirs(cwd)
        home, extra = a.agent_home(root, agent, server.url, cwd)
        os.chdir(cwd)
        term = a.AnsweringTerminal([os.path.join(bin_dir, agent)] + a.agent_argv(agent),
                                   a.agent_env(home, bin_dir, extra))
        term.wait_for(b"\x1b[?2004h", 60)  # bracketed paste on: the prompt is up
        term.wait_quiet(1.0, 20)
        start = server.count()
        if pause_ms == 0:
            term.type(paste + b"\r")
        else:
            term.type(paste)
            time.sleep(pause_ms / 1000)
            term.type(b"\r")
        if submitted(term, server, text, start, timeout_s):
            return "submitted"
        # Not submitted: was only the Enter lost (a second one submits the paste) or the paste?
        term.type(b"\r")
        return "Enter lost" if submitted(term, server, text, start, timeout_s) else "paste lost"
    finally:
        if term:
            a.kill_all(a.descendants(term.pid))
            term.close()
        os.chdir(h.ROOT)
        shutil.rmtree(root, ignore_errors=True)


def main(agent, default_pauses, cap_ms=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--every", action="store_true",
                        help="run every session of every pause given")
    parser.add_argument("--set", default="pinned", choices=[s[0] for s in a.AGENT_SETS],
                        help="the agent set to run (default: pinned)")
    parser.add_argument("--kib", type=int, help="paste this many KiB instead of a short text")
    parser.add_argument("--busy", action="store_true",
                        help="keep every CPU busy with a busy loop throughout")
    parser.add_argument("pauses", nargs="*", type=int, default=default_pauses)
    args = parser.parse_args()
    try:
        bin_dir, why = a.install_agent_set(*a.agent_set(args.set))
    except a.RegistryUnreachable as e:
        bin_dir, why = None, "the npm registry cannot be reached: %s" % e
    if bin_dir is None:
        print("skipped: the agents cannot be installed (%s)" % why)
        return 2
    text = a.long_text("first paste", args.kib) if args.kib else SHORT_TEXT
    server = a.ModelServer()
    print("%s %s, first paste (%d bytes) of %d fresh sessions per pause%s" % (
        NAMES[agent], a.agent_version(bin_dir, agent), len(text.encode()), args.sessions,
        ", every CPU busy" if args.busy else ""), flush=True)
    busy = a.BusyCpus().__enter__() if args.busy else None
    try:
        return measure(agent, bin_dir, server, text, args, cap_ms)
    finally:
        if busy:
            busy.__exit__(None, None, None)
        server.close()


def measure(agent, bin_dir, server, text, args, cap_ms):
    chosen = None
    for pause in args.pauses:
        outcomes = {}
        for _ in range(args.sessions):
            outcome = first_paste(agent, bin_dir, server, pause, text)
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
    if chosen is None:
        print("no pause passed every session")
        return 1
    doubled = 2 * chosen if cap_ms is None else min(2 * chosen, cap_ms)
    print("shortest pause with %d/%d: %d ms; to use: %d ms%s" % (
        args.sessions, args.sessions, chosen, doubled,
        "" if cap_ms is None else " (doubled, at most %d ms)" % cap_ms))
    return 0
