#!/usr/bin/env python3
"""make bench: talvane side by side with the agent run directly on a pseudo-terminal and with
`script -q -f -e -c` relaying the same agent. Prints one table and writes the raw samples to
build/bench/samples.json.

The agent is the test suite's fake agent (build/linux/fake_agent) on a temporary PATH as
`claude` and `codex`; the app is talvane-standin. Runs "with no app" point TALVANE_DATA_DIR at
an empty directory. BENCH_QUICK=1 takes a handful of samples of each (a smoke run);
BENCH_IDLE_SECONDS sets the idle window (20 by default).
"""

import json
import os
import re
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pty_harness as h  # noqa: E402

QUICK = os.environ.get("BENCH_QUICK") == "1"
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "5" if QUICK else "20"))
FLOOD_BYTES = (8 if QUICK else 64) * 1024 * 1024
RUNS = {"throughput": 2 if QUICK else 5, "rtt": 100 if QUICK else 2000, "start": 5 if QUICK else 40,
        "resize": 5 if QUICK else 60, "exit": 5 if QUICK else 40, "reply_claude": 5 if QUICK else 40,
        "reply_codex": 2 if QUICK else 10, "reply_claude_12k": 2 if QUICK else 10,
        "reply_codex_12k": 2 if QUICK else 10, "start_env": 2 if QUICK else 10}
# The start with a large environment: its cost must grow in step with the environment's size.
LARGE_ENV_VARIABLES = 100000
GO = b"[go]"
FLOOD_END = b"[flood end]"
EXIT_KEY = b"\x11"  # Ctrl+Q: outside the keys the round trip types
SCRIPT = shutil.which("script") or "/usr/bin/script"
# Both real agents switch bracketed paste on at start; the fake agent is told to do the same.
PASTE_ON = "\x1b[?2004h"
LONG_REPLY_BYTES = 12 * 1024


def long_reply(i):
    """A reply of about LONG_REPLY_BYTES over many lines, in the stand-in's escaped form."""
    line = "line %%04d of long reply %d: \"quoted\" and 'single', gr\u00fc\u00dfe \u2713" % i
    lines, size = [], 0
    while size < LONG_REPLY_BYTES:
        lines.append(line % len(lines))
        size += len(lines[-1].encode()) + 1
    return "\\n".join(lines)


def enter_delay_ms(name):
    """A reply's pause before its Enter, as the launcher is built with it."""
    with open(os.path.join(h.ROOT, "src", "cli", "replies", "reply_shaping.h")) as f:
        return int(re.search(name + r"\{(\d+)\}", f.read()).group(1))


CLAUDE_ENTER_MS = enter_delay_ms("CLAUDE_ENTER_DELAY")
CODEX_ENTER_MS = enter_delay_ms("CODEX_ENTER_DELAY")


class Bench:
    def __init__(self):
        self.tmp = h.temp_dir("talvane-bench-")
        self.no_app_dir = os.path.join(self.tmp, "no-app")
        os.makedirs(self.no_app_dir)
        self.app_dir = os.path.join(self.tmp, "app")
        self.app = h.Standin(self.app_dir)
        self.app_mark = 0
        self.samples = {}
        self.app_mark = 0

    def close(self):
        self.app.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def argv(self, mode, agent="claude"):
        if mode == "direct":
            return [os.path.join(h.agent_bin_dir(self.tmp), agent)]
        if mode == "script":
            return [SCRIPT, "-q", "-f", "-e", "-c", agent, "/dev/null"]
        return [h.TALVANE, agent]

    def fresh_app(self):
        """A new stand-in, so that no poll held for an earlier, ended run takes a reply."""
        self.app.close()
        shutil.rmtree(self.app_dir, ignore_errors=True)
        self.app = h.Standin(self.app_dir)

    def start(self, mode, agent_env, app=False, agent="claude"):
        agent_env = dict(agent_env, FAKE_AGENT_EXIT_ON=str(EXIT_KEY[0]))
        env = h.base_env(self.tmp, self.app_dir if app else self.no_app_dir, agent_env)
        return h.Terminal(self.argv(mode, agent), env)

    def record(self, figure, mode, values):
        self.samples.setdefault(figure, {})[mode] = values

    def add(self, figure, mode, value):
        self.samples.setdefault(figure, {}).setdefault(mode, []).append(value)

    # Output throughput: MiB/s of the flood, from the agent's first byte to the flood's end.
    def throughput(self, modes):
        for _ in range(RUNS["throughput"]):
            for mode in modes:
                term = self.start(mode, {"FAKE_AGENT_PRINT": GO.decode(),
                                         "FAKE_AGENT_FLOOD": str(FLOOD_BYTES),
                                         "FAKE_AGENT_EXIT_AT_ONCE": "1"})
                term.wait_for(GO)
                began = h.now_ns()
                # Only the tail is searched, and the output is not kept: 64 MiB per run.
                tail = b""
                while FLOOD_END not in tail:
                    data = term.read_some(30)
                    if not data:
                        raise h.Timeout("flood ended early")
                    tail = (tail + data)[-4096:]  # the end may come with what follows it
                    term.output.clear()
                rate = FLOOD_BYTES / (1 << 20) / ((h.now_ns() - began) / 1e9)
                self.add("throughput", mode, rate)
                term.wait_exit()
                term.close()

    def open_all(self, modes, agent_env):
        terms = {mode: self.start(mode, dict(agent_env, FAKE_AGENT_PRINT=GO.decode()))
                 for mode in modes}
        for term in terms.values():
            term.wait_for(GO)
        return terms

    def close_all(self, terms):
        for term in terms.values():
            term.type(EXIT_KEY)
            term.wait_exit()
            term.close()

    # Keystroke round trip: one byte typed until the echoing agent's echo is back, in ms. The
    # programs take turns key by key, so that they meet the same load on a shared machine.
    def round_trip(self, modes):
        terms = self.open_all(modes, {"FAKE_AGENT_ECHO": "1"})
        for i in range(RUNS["rtt"] + 50):
            key = bytes([ord("a") + i % 26])
            for mode, term in terms.items():
                term.drain()
                mark = len(term.output)
                began = h.now_ns()
                term.type(key)
                term.wait_for(key, 5, mark)
                if i >= 50:  # the first ones warm caches and page in code
                    self.add("rtt", mode, (h.now_ns() - began) / 1e6)
        self.close_all(terms)

    # Start: from the spawn of the program to the agent's first output on the terminal, in ms.
    def start_time(self, modes):
        for _ in range(RUNS["start"]):
            for mode, app in modes:
                term = self.start(mode, {"FAKE_AGENT_PRINT": GO.decode(),
                                         "FAKE_AGENT_EXIT_AT_ONCE": "1"}, app)
                term.wait_for(GO)
                self.add("start_app" if app else "start", mode,
                         (h.now_ns() - term.spawned_ns) / 1e6)
                term.wait_exit()
                term.close()

    # Start with LARGE_ENV_VARIABLES more variables in the environment, in ms.
    def start_time_large_env(self, modes):
        large = {"V%d" % i: "" for i in range(LARGE_ENV_VARIABLES)}
        for _ in range(RUNS["start_env"]):
            for mode in modes:
                term = self.start(mode, dict(large, FAKE_AGENT_PRINT=GO.decode(),
                                             FAKE_AGENT_EXIT_AT_ONCE="1"))
                term.wait_for(GO)
                self.add("start_env", mode, (h.now_ns() - term.spawned_ns) / 1e6)
                term.wait_exit()
                term.close()

    # Resize: from the outer terminal's size change until the agent reports the new size, in ms.
    def resize(self, modes):
        terms = self.open_all(modes, {"FAKE_AGENT_SIZE_REPORT": "1"})
        for i in range(RUNS["resize"]):
            columns, rows = 90 + i % 40, 30 + i % 2
            for mode, term in terms.items():
                term.drain()
                mark = len(term.output)
                began = h.now_ns()
                term.set_size(columns, rows)
                term.wait_for(b"[size %d %d]" % (columns, rows), 5, mark)
                self.add("resize", mode, (h.now_ns() - began) / 1e6)
        self.close_all(terms)

    # Exit: from the agent's last moment (its own stamp) to the program's exit, in ms.
    def exit_time(self, modes):
        stamp = os.path.join(self.tmp, "exit-stamp")
        for _ in range(RUNS["exit"]):
            for mode, app in modes:
                term = self.start(mode, {"FAKE_AGENT_PRINT": GO.decode(),
                                         "FAKE_AGENT_EXIT_STAMP": stamp}, app)
                term.wait_for(GO)
                if app:  # let the session's first poll be held, as in a real run
                    self.app.wait_line(lambda l: l.endswith("/pending"), 10, self.app_mark)
                    self.app_mark = len(self.app.snapshot())
                term.type(EXIT_KEY)
                while os.waitpid(term.pid, 0)[0] != term.pid:
                    pass
                ended = h.now_ns()
                term.status = 0
                with open(stamp) as f:
                    self.add("exit_app" if app else "exit", mode, (ended - int(f.read())) / 1e6)
                os.unlink(stamp)
                term.close()

    # Reply latency: from the app's answer to a held poll to the CR at the agent, in ms; the
    # long form with replies of LONG_REPLY_BYTES.
    def reply_latency(self, agent, long=False):
        figure = "reply_" + agent + ("_12k" if long else "")
        stamps = os.path.join(self.tmp, "cr-stamps-" + figure)
        self.fresh_app()
        term = self.start("talvane", {"FAKE_AGENT_PRINT": PASTE_ON + GO.decode(),
                                      "FAKE_AGENT_CR_STAMPS": stamps}, True, agent)
        term.wait_for(GO)
        times = []
        held = self.app.wait_line(lambda l: " GET " in l and l.endswith("/pending"), 10)
        answered = held
        for i in range(RUNS[figure]):
            self.app.command("reply " + (long_reply(i) if long else "voice reply number %d" % i))
            answered = self.app.wait_line(
                lambda l: "answered 200 GET" in l and l.endswith("/pending"), 10, answered + 1)
            began = h.line_stamp(self.app.snapshot()[answered])
            deadline = time.monotonic() + 10
            while True:
                term.drain()
                if os.path.exists(stamps):
                    with open(stamps) as f:
                        lines = f.read().split()
                    if len(lines) > i:
                        break
                if time.monotonic() > deadline:
                    raise h.Timeout("reply %d not typed" % i)
                time.sleep(0.001)
            times.append((int(lines[i]) - began) / 1e6)
            # The next poll may be logged before the answer to this one.
            held = self.app.wait_line(lambda l: " GET " in l and l.endswith("/pending"), 10,
                                      held + 1)
        term.type(EXIT_KEY)
        term.wait_exit()
        term.close()
        self.record(figure, "talvane", times)

    # Idle: CPU time, wake-ups and peak resident memory of the launcher over the idle window,
    # with no app (the goal) and with the app holding a poll.
    def idle(self):
        self.fresh_app()
        mark = len(self.app.snapshot())
        env = {"FAKE_AGENT_PRINT": GO.decode()}
        terms = {"talvane": self.start("talvane", env),
                 "talvane_app": self.start("talvane", env, True),
                 "script": self.start("script", env)}
        for term in terms.values():
            term.wait_for(GO)
        self.app.wait_line(lambda l: " GET " in l and l.endswith("/pending"), 10, mark)
        time.sleep(0.5)
        before = {m: (h.cpu_ns(t.pid), h.cpu_ticks_ns(t.pid), h.context_switches(t.pid))
                  for m, t in terms.items()}
        deadline = time.monotonic() + IDLE_SECONDS
        while time.monotonic() < deadline:
            for term in terms.values():
                term.read_some(0.1)
        for mode, term in terms.items():
            sched = h.cpu_ns(term.pid) - before[mode][0]
            ticks = h.cpu_ticks_ns(term.pid) - before[mode][1]
            wakeups = (h.context_switches(term.pid) - before[mode][2]) / IDLE_SECONDS
            # schedstat counts nanoseconds; the tick count (10 ms steps) only where it is missing.
            share = (sched if sched > 0 else ticks) / (IDLE_SECONDS * 1e9) * 100
            figure, shown = ("idle_app", "talvane") if mode == "talvane_app" else ("idle", mode)
            self.record(figure + "_cpu", shown, [share])
            self.record(figure + "_wakeups", shown, [wakeups])
            if figure == "idle":
                self.record("idle_rss", shown, [h.peak_rss_kib(term.pid) / 1024])
            term.type(EXIT_KEY)
            term.wait_exit()
            term.close()


def median(values):
    return statistics.median(values) if values else None


def p99(values):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(0.99 * (len(ordered) - 1))))]


# (figure, label, statistic, unit, higher is better)
ROWS = [
    ("throughput", "output throughput", median, "MiB/s", True),
    ("rtt", "keystroke round trip p50", median, "ms", False),
    ("rtt", "keystroke round trip p99", p99, "ms", False),
    ("start", "start, no app", median, "ms", False),
    ("start_app", "start, app registers", median, "ms", False),
    ("start_env", "start, 100,000 variables", median, "ms", False),
    ("resize", "resize p50", median, "ms", False),
    ("resize", "resize p99", p99, "ms", False),
    ("exit", "exit, no app p50", median, "ms", False),
    ("exit_app", "exit, app deregisters p50", median, "ms", False),
    ("reply_claude", "reply latency Claude CR p50", median, "ms", False),
    ("reply_claude", "reply latency Claude CR p99", p99, "ms", False),
    ("reply_codex", "reply latency Codex CR p50", median, "ms", False),
    ("reply_claude_12k", "reply 12 KB Claude CR p50", median, "ms", False),
    ("reply_codex_12k", "reply 12 KB Codex CR p50", median, "ms", False),
    ("idle_cpu", "idle CPU, no app", median, "%", False),
    ("idle_wakeups", "idle wake-ups, no app", median, "/s", False),
    ("idle_app_cpu", "idle CPU, app holds a poll", median, "%", False),
    ("idle_app_wakeups", "idle wake-ups, app", median, "/s", False),
    ("idle_rss", "idle peak RSS", median, "MiB", False),
]


def value(samples, figure, mode, stat):
    return stat(samples.get(figure, {}).get(mode, []))


def goals(s):
    """(goal text, met) for each goal, from the table's figures."""
    def v(figure, mode, stat=median):
        return value(s, figure, mode, stat)

    def added(stat):
        return (v("rtt", "talvane", stat) - v("rtt", "direct", stat),
                v("rtt", "script", stat) - v("rtt", "direct", stat))

    t50, s50 = added(median)
    t99, s99 = added(p99)
    return [
        ("throughput >= script and >= 0.85 x direct",
         v("throughput", "talvane") >= v("throughput", "script") and
         v("throughput", "talvane") >= 0.85 * v("throughput", "direct")),
        ("round trip added over direct <= script's, p50 (%.3f vs %.3f ms)" % (t50, s50), t50 <= s50),
        ("round trip added over direct <= script's, p99 (%.3f vs %.3f ms)" % (t99, s99), t99 <= s99),
        ("start no app <= script", v("start", "talvane") <= v("start", "script")),
        ("start with 100,000 variables adds <= 200 ms over direct",
         v("start_env", "talvane") - v("start_env", "direct") <= 200),
        ("app registration adds <= 5 ms",
         v("start_app", "talvane") - v("start", "talvane") <= 5),
        ("exit p50 <= 2 ms with no app", v("exit", "talvane") <= 2),
        ("exit p50 <= 5 ms with the app deregistering", v("exit_app", "talvane") <= 5),
        ("resize p50 <= 5 ms (POSIX)", v("resize", "talvane") <= 5),
        ("reply latency Claude CR p50 <= %d ms" % (CLAUDE_ENTER_MS + 5),
         v("reply_claude", "talvane") <= CLAUDE_ENTER_MS + 5),
        ("reply latency Codex CR p50 <= %d ms" % (CODEX_ENTER_MS + 5),
         v("reply_codex", "talvane") <= CODEX_ENTER_MS + 5),
        ("idle CPU <= 0.05% of a core, no app", v("idle_cpu", "talvane") <= 0.05),
        ("idle wake-ups <= 2.5/s, no app", v("idle_wakeups", "talvane") <= 2.5),
        ("idle peak RSS <= 6 MiB", v("idle_rss", "talvane") <= 6),
    ]


def fmt(x):
    if x is None:
        return "-"
    return "%.3f" % x if abs(x) < 10 else "%.1f" % x


def ratio(a, b):
    return "-" if a is None or b is None or b == 0 else "%.2f" % (a / b)


def print_table(samples):
    head = "%-30s %10s %10s %10s %8s %8s  %s" % ("figure", "talvane", "direct", "script",
                                                 "t/direct", "t/script", "unit")
    print(head)
    print("-" * len(head))
    for figure, label, stat, unit, _ in ROWS:
        t, d, s = (value(samples, figure, m, stat) for m in ("talvane", "direct", "script"))
        print("%-30s %10s %10s %10s %8s %8s  %s" % (label, fmt(t), fmt(d), fmt(s), ratio(t, d),
                                                    ratio(t, s), unit))
    print()
    failed = 0
    for text, met in goals(samples):
        failed += 0 if met else 1
        print("%s  %s" % ("met   " if met else "MISSED", text))
    return failed


def main():
    for program in (h.TALVANE, h.STANDIN, h.FAKE_AGENT):
        if not os.access(program, os.X_OK):
            sys.exit("bench: %s is missing; run make build first" % program)
    bench = Bench()
    began = time.monotonic()
    try:
        modes = ("direct", "script", "talvane")
        with_app = [(mode, False) for mode in modes] + [("talvane", True)]
        bench.throughput(modes)
        bench.round_trip(modes)
        bench.start_time(with_app)
        bench.start_time_large_env(("direct", "talvane"))
        bench.resize(modes)
        bench.exit_time(with_app)
        bench.reply_latency("claude")
        bench.reply_latency("codex")
        bench.reply_latency("claude", long=True)
        bench.reply_latency("codex", long=True)
        bench.idle()
    finally:
        bench.close()
    out_dir = os.path.join(h.ROOT, "build", "bench")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "samples.json"), "w") as f:
        json.dump({"machine": {"cpus": os.cpu_count(), "uname": " ".join(os.uname())},
                   "flood_bytes": FLOOD_BYTES, "idle_seconds": IDLE_SECONDS,
                   "samples": bench.samples}, f, indent=1)
    print("talvane benchmarks on %d CPUs, %.0f s; samples in build/bench/samples.json\n"
          % (os.cpu_count(), time.monotonic() - began))
    print_table(bench.samples)
    # Goals are reported, not enforced: a busy machine must not fail a build.
    return 0


if __name__ == "__main__":
    sys.exit(main())
