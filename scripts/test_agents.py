#!/usr/bin/env python3
"""make test-agents: talvane with the real Claude Code and Codex CLI, in two sets: the pinned
versions (tests/agents/package-lock.json, installed with `npm ci` into build/agents) and the
current releases (tests/agents/current/package-lock.json, into build/agents-current), run offline
against the mock model servers of agent_harness.py, with talvane-standin as the app. A version
that both sets pin is run once.

Per agent and set, in fresh sessions (a fresh HOME each): the agent reaches its prompt; typed keys
reach its input; a window resize reaches the agent's terminal; short voice replies (several lines,
quotes, non-ASCII text) are submitted, the first of every session included, 20 in all; long
replies of 2, 6, 12 and 16 KB over many lines are submitted, each the first of its session;
replies are submitted while every CPU is kept busy; the app's shutdown request ends talvane with
0 and the terminal's modes as they were. A reply or a typed line counts as submitted when the
mock model server receives a request whose last user message holds it exactly (or holds a paste
the agent wrapped whose text between the markers is exactly it).

Prints one line per check and ends with "N passed, N failed". When the npm registry cannot be
reached to install the agents, prints one "SKIPPED" line and exits 77; it never reports a pass
then. Any other failure to install them is a failure. TEST_AGENTS=claude (or codex) runs one
agent only, TEST_AGENT_SETS=pinned (or current) one set only.
"""

import fcntl
import os
import shutil
import struct
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import agent_harness as a  # noqa: E402
import pty_harness as h  # noqa: E402

SESSIONS = 5
REPLIES_PER_SESSION = 4  # 20 in all, the first of each fresh session among them
START_TIMEOUT_S = 60
SUBMIT_TIMEOUT_S = 30
QUIET_S = 1.0
RESIZED = (117, 37)  # columns, rows
LONG_KIB = (2, 6, 12, 16)
LOADED = ("short", 6, "short")  # the replies typed while every CPU is busy: short, or KiB
SKIPPED = 77


class Suite:
    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        self.versions = {agent: a.agent_version(bin_dir, agent) for agent in ("claude", "codex")}
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        print("%s  %s%s" % ("ok  " if ok else "FAIL", name, " (%s)" % detail if detail else ""),
              flush=True)
        return ok


def reply_text(agent, session, number):
    return ("%s reply %d.%d, several lines:\nsaid \"double\" and 'single' quotes\n"
            "gr\u00fc\u00dfe \u00e9t\u00e9 \u2713 \u65e5\u672c\u8a9e" % (agent, session, number))


def standin_escape(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n")


def miss(server, text, start):
    """Why `text` was not found: no request since `start`, or how the last one differed."""
    with server.changed:
        bodies = [body for path, body in server.requests[start:] if a.last_user_texts(body)]
    if not bodies:
        return "no model request"
    got = max(a.submitted_texts(bodies[-1]), key=len, default="")
    at = next((i for i, (x, y) in enumerate(zip(got, text)) if x != y), min(len(got), len(text)))
    return "last user text %d chars, not %d; differs at %d: %r, not %r" % (
        len(got), len(text), at, got[max(0, at - 20):at + 40], text[max(0, at - 20):at + 40])


def agent_pid(talvane_pid):
    """The agent's process: the descendant of talvane whose terminal is not talvane's."""
    own = os.readlink("/proc/%d/fd/0" % talvane_pid)
    for pid in a.descendants(talvane_pid):
        try:
            if os.readlink("/proc/%d/fd/0" % pid) != own:
                return pid
        except OSError:
            pass
    return None


def terminal_size_of(pid):
    """(columns, rows) of the terminal on `pid`'s standard input."""
    fd = os.open("/proc/%d/fd/0" % pid, os.O_RDWR | os.O_NOCTTY)
    try:
        rows, columns, _, _ = struct.unpack("HHHH", fcntl.ioctl(fd, termios.TIOCGWINSZ, b"\0" * 8))
        return columns, rows
    finally:
        os.close(fd)


class Session:
    """One talvane run of `agent` in a fresh HOME, with its own stand-in app."""

    def __init__(self, suite, agent, number, server, name=None):
        self.suite, self.agent, self.number, self.server = suite, agent, number, server
        self.label = "%s %s session %s" % (agent, suite.versions[agent], name or number)
        self.root = h.temp_dir("talvane-agents-")
        self.cwd = os.path.join(self.root, "work")
        os.makedirs(self.cwd)
        home, extra = a.agent_home(self.root, agent, server.url, self.cwd)
        self.app = h.Standin(os.path.join(self.root, "app"))
        env = a.agent_env(home, suite.bin_dir, extra, self.app.data_dir)
        os.chdir(self.cwd)
        self.term = a.AnsweringTerminal([h.TALVANE, agent] + a.agent_argv(agent), env)
        self.pids = []

    def close(self):
        self.pids += a.descendants(self.term.pid)
        self.term.close()
        a.kill_all(self.pids)
        self.app.close()
        os.chdir(h.ROOT)
        shutil.rmtree(self.root, ignore_errors=True)

    def reach_prompt(self):
        began = time.monotonic()
        try:
            # Both agents switch bracketed paste on once their input is up; then let them settle.
            self.term.wait_for(b"\x1b[?2004h", START_TIMEOUT_S)
            self.app.wait_line(lambda line: "/pending" in line, START_TIMEOUT_S)
            ok = self.term.wait_quiet(QUIET_S, START_TIMEOUT_S)
        except h.Timeout as e:
            return self.suite.check(self.label + ": prompt reached", False, str(e))
        self.pids = a.descendants(self.term.pid)
        return self.suite.check(self.label + ": prompt reached", ok,
                                "%.1f s" % (time.monotonic() - began))

    def wait_submitted(self, text, start):
        """Seconds until the model saw `text` as the last user message; None on time-out."""
        began = time.monotonic()
        deadline = began + SUBMIT_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.server.wait_for_user_text(text, 0.05, start) is not None:
                took = time.monotonic() - began
                self.term.wait_quiet(QUIET_S, 15)  # the turn ends before the next input
                return took
            self.term.read_some(0.05)
        return None

    def type_keys(self):
        text = "typed keys reach %s \u00fc" % self.agent
        start = self.server.count()
        for ch in text:
            self.term.type(ch.encode())
            time.sleep(0.01)
        time.sleep(0.3)  # Enter apart from the keys, as a person presses it
        self.term.type(b"\r")
        took = self.wait_submitted(text, start)
        return self.suite.check(self.label + ": typed keys reach the agent", took is not None)

    def resize(self):
        pid = agent_pid(self.term.pid)
        if pid is None:
            return self.suite.check(self.label + ": resize followed", False, "no agent process")
        mark = len(self.term.output)
        self.term.set_size(*RESIZED)
        deadline = time.monotonic() + 10
        size = None
        while time.monotonic() < deadline:
            size = terminal_size_of(pid)
            if size == RESIZED and len(self.term.output) > mark:
                break
            self.term.read_some(0.05)
        self.term.wait_quiet(QUIET_S, 15)
        return self.suite.check(self.label + ": resize followed", size == RESIZED and
                                len(self.term.output) > mark,
                                "agent's terminal %sx%s, %d bytes redrawn" % (
                                    size + (len(self.term.output) - mark,)))

    def reply(self, text):
        """Seconds until the app's reply `text` was submitted; None if it never was."""
        start = self.server.count()
        self.app.command("reply " + standin_escape(text))
        took = self.wait_submitted(text, start)
        self.missed = None if took is not None else miss(self.server, text, start)
        return took

    def replies(self, count, results):
        for number in range(1, count + 1):
            took = self.reply(reply_text(self.agent, self.number, number))
            results.append(took is not None)
            name = "%s: %s reply submitted" % (self.label, "first" if number == 1 else
                                               "reply %d" % number)
            if number == 1 or took is None:
                self.suite.check(name, took is not None,
                                 "%.2f s" % took if took is not None else self.missed)

    def check_reply(self, name, text, results):
        took = self.reply(text)
        results.append(took is not None)
        return self.suite.check("%s: %s submitted" % (self.label, name), took is not None,
                                "%.2f s" % took if took is not None else self.missed)

    def shutdown(self):
        self.pids += a.descendants(self.term.pid)
        self.app.command("shutdown")
        try:
            status = self.term.wait_exit(15)
        except h.Timeout:
            return self.suite.check(self.label + ": shutdown ends talvane with 0", False,
                                    "still running")
        restored = self.term.attributes() == self.term.initial_attributes
        return self.suite.check(self.label + ": shutdown ends talvane with 0, terminal restored",
                                status == 0 and restored,
                                "status %d%s" % (status, "" if restored else
                                                 ", terminal modes changed"))


def run_agent_checks(suite, agent):
    version = suite.versions[agent]
    began = time.monotonic()
    server = a.ModelServer()
    replies, others = [], []
    try:
        for number in range(1, SESSIONS + 1):
            session = Session(suite, agent, number, server)
            try:
                if not session.reach_prompt():
                    replies += [False] * REPLIES_PER_SESSION
                    continue
                if number == 1:
                    session.type_keys()
                    session.resize()
                session.replies(REPLIES_PER_SESSION, replies)
                session.shutdown()
            finally:
                session.close()
        for kib in LONG_KIB:
            session = Session(suite, agent, SESSIONS + len(others) + 1, server, "long %d KB" % kib)
            try:
                if session.reach_prompt():
                    session.check_reply("%d KB reply" % kib, a.long_text(session.label, kib),
                                        others)
                else:
                    others.append(False)
            finally:
                session.close()
        session = Session(suite, agent, SESSIONS + len(others) + 1, server, "under load")
        try:
            if session.reach_prompt():
                with a.BusyCpus() as busy:
                    for number, kind in enumerate(LOADED, 1):
                        text = (reply_text(agent, session.number, number) if kind == "short"
                                else a.long_text(session.label, kind))
                        name = "%s reply %d with %d CPUs busy" % (
                            "short" if kind == "short" else "%d KB" % kind, number,
                            len(busy.procs))
                        session.check_reply(name, text, others)
            else:
                others += [False] * len(LOADED)
        finally:
            session.close()
    finally:
        server.close()
    suite.check("%s %s: short replies submitted %d/%d" % (agent, version, sum(replies),
                                                          len(replies)),
                all(replies) and len(replies) == SESSIONS * REPLIES_PER_SESSION)
    suite.check("%s %s: long and loaded replies submitted %d/%d, %.0f s for the agent" % (
        agent, version, sum(others), len(LONG_KIB) + len(LOADED), time.monotonic() - began),
                all(others) and len(others) == len(LONG_KIB) + len(LOADED))


def main():
    for program in (h.TALVANE, h.STANDIN):
        if not os.access(program, os.X_OK):
            print("test-agents: %s is missing; build first (make build)" % program)
            return 1
    chosen = os.environ.get("TEST_AGENT_SETS", "pinned current").split()
    sets = []
    for name in chosen:
        try:
            bin_dir, why = a.install_agent_set(*a.agent_set(name))
        except a.RegistryUnreachable as e:
            print("test-agents: SKIPPED, nothing was tested: the npm registry cannot be reached "
                  "(%s)" % e)
            print("0 passed, 0 failed, 1 skipped")
            return SKIPPED
        if bin_dir is None:
            print("test-agents: the %s agents could not be installed: %s" % (name, why))
            print("0 passed, 1 failed")
            return 1
        sets.append((name, bin_dir))
    agents = os.environ.get("TEST_AGENTS", "claude codex").split()
    began = time.monotonic()
    passed = failed = 0
    run = {}  # (agent, version): the set it was run in
    for name, bin_dir in sets:
        suite = Suite(bin_dir)
        for agent in agents:
            version = suite.versions[agent]
            if (agent, version) in run:
                print("== %s %s (%s set): the same version as the %s set, run once above" % (
                    agent, version, name, run[agent, version]), flush=True)
                continue
            run[agent, version] = name
            print("== %s %s (%s set)" % (agent, version, name), flush=True)
            run_agent_checks(suite, agent)
        passed += suite.passed
        failed += suite.failed
    print("took %.0f s" % (time.monotonic() - began))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
