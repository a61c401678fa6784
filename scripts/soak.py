#!/usr/bin/env python3
"""make soak: the real talvane in a pseudo-terminal with the fake agent recording every byte it
receives, while the stand-in app misbehaves at random (delays, 404/409/500, garbage bodies,
held and hung requests, port and token changes, restarts) and replies are queued, and a second
thread, the user, types a steady stream of keystrokes and now and then pastes a large bracketed
paste at ssh speed (about 500 KB/s, in small writes that split its markers and characters).
Then checks what the agent received.

Keystrokes come from the lower-case letters and replies from upper-case letters and digits,
each reply arriving as a bracketed paste, so a reply cut into pieces, typed twice, or mixed with
keys shows. The user's pastes begin with "U" and hold no ESC, so a reply inside one, or a paste
that lost, gained or reordered a byte, shows too. SOAK_SECONDS sets the length of the chaos
(60 by default); SOAK_SEED the random seed. Prints PASS or FAIL with the reasons; exits 1 on
failure.

With --hostile it runs the hostile-answer cases instead: the stand-in answers every pending poll
(or every registration) at once with the same answer of up to 10 MiB, and the script reports
talvane's peak resident memory in each case and its CPU while the keeper retries against a
hostile register answer, against the goals of 16 MiB and 10 % of a core.
"""

import os
import random
import re
import shutil
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pty_harness as h  # noqa: E402

SECONDS = float(os.environ.get("SOAK_SECONDS", "60"))
SEED = int(os.environ.get("SOAK_SEED", str(int(time.time()))))
EXIT_KEY = b"\x11"
EXIT_CODE = 37
PASTE_START = b"\x1b[200~"
PASTE_END = b"\x1b[201~"
FINAL_REPLY = "FINAL0REPLY"
# Long enough for a poll hung before the end to be cut by the closing restart, the keeper to
# register again (1 s cadence) and the final reply to be fetched.
SETTLE_S = 30.0
ENDPOINTS = ["register", "pending", "delivered"]
# The user's pastes: how often one starts instead of a burst of keys, their sizes, and the pace
# and pieces of an ssh link.
PASTE_CHANCE = 0.03
PASTE_BYTES = (32 * 1024, 160 * 1024)
PASTE_RATE = 500_000  # bytes a second
PASTE_PIECE = (1, 1024)
PASTE_TEXT = [b"abcdefghijklmnopqrstuvwxyz0123456789 "[i:i + 1] for i in range(37)] + [
    b"\r", b"\n", b"\r\n", "\u00e9".encode(), "\u20ac".encode(), "\U0001f600".encode()]


class Typist(threading.Thread):
    """The user: types lower-case keys in small bursts at an uneven pace, and now and then
    pastes, until stopped."""

    def __init__(self, term, seed):
        super().__init__(daemon=True)
        self.term = term
        self.random = random.Random(seed)
        self.typed = bytearray()
        self.pastes = []   # the text of each paste, between its markers
        self.windows = []  # (first write, last write) of each paste, monotonic nanoseconds
        self.stop = threading.Event()

    def paste(self):
        text = bytearray(b"U%05d:" % len(self.pastes))
        size = self.random.randint(*PASTE_BYTES)
        while len(text) < size:
            text += self.random.choice(PASTE_TEXT)
        whole = PASTE_START + bytes(text) + PASTE_END
        cuts = set()
        at = 0
        while at < len(whole):
            at += self.random.randint(*PASTE_PIECE)
            cuts.add(min(at, len(whole)))
        # Cut inside each marker every other time.
        if self.random.random() < 0.5:
            cuts.add(self.random.randint(1, len(PASTE_START) - 1))
        if self.random.random() < 0.5:
            cuts.add(len(whole) - self.random.randint(1, len(PASTE_END) - 1))
        started = time.monotonic()
        first_ns = h.now_ns()
        done = 0
        for cut in sorted(cuts):
            self.term.type(whole[done:cut])
            done = cut
            self.stop.wait(max(0.0, started + done / PASTE_RATE - time.monotonic()))
        self.pastes.append(bytes(text))
        self.windows.append((first_ns, h.now_ns()))

    def run(self):
        n = 0
        while not self.stop.is_set():
            if self.random.random() < PASTE_CHANCE:
                self.paste()
                continue
            burst = bytearray()
            for _ in range(self.random.randint(1, 6)):
                burst.append(ord("a") + n % 26)
                n += 1
            self.term.type(bytes(burst))
            self.typed += burst
            self.stop.wait(self.random.uniform(0.002, 0.03))


class Chaos:
    """Drives the stand-in: queues replies and sets and clears misbehaviour at random."""

    def __init__(self, app, rng):
        self.app = app
        self.random = rng
        self.queued = []
        self.overrides = {}  # endpoint -> when to clear it
        self.restarts = 0
        self.tokens = 0
        self.actions = 0

    def step(self, now):
        for endpoint, until in list(self.overrides.items()):
            if now >= until:
                self.app.command("clear " + endpoint)
                del self.overrides[endpoint]
        roll = self.random.random()
        self.actions += 1
        if roll < 0.40:
            text = "R%05d%s" % (len(self.queued),
                                "".join(self.random.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
                                        for _ in range(self.random.randint(1, 300))))
            self.queued.append(text)
            self.app.command("reply " + text)
        elif roll < 0.75:
            endpoint = self.random.choice(ENDPOINTS)
            kind = self.random.choice(["404", "409", "500", "delay", "garbage", "hang"])
            if kind == "hang" and endpoint == "pending":
                kind = "delay"  # a hung poll would stall replies for its whole 35 s
            if kind == "delay":
                self.app.command("delay %s %d" % (endpoint, self.random.randint(50, 2500)))
            elif kind in ("garbage", "hang"):
                self.app.command("%s %s" % (kind, endpoint))
            else:
                self.app.command("status %s %s" % (endpoint, kind))
            self.overrides[endpoint] = now + self.random.uniform(0.3, 3.0)
        elif roll < 0.85:
            self.app.command("hold %d" % self.random.randint(20, 3000))
        elif roll < 0.93:
            self.app.command("restart")
            self.restarts += 1
        else:
            self.tokens += 1
            self.app.command("token soak-token-%d" % self.tokens)

    def calm(self):
        for endpoint in ENDPOINTS:
            self.app.command("clear " + endpoint)
        self.overrides.clear()
        self.app.command("hold 25000")
        # Cuts any request still hung, as an app restart would.
        self.app.command("restart")
        self.restarts += 1


def parse_input(data):
    """Splits what the agent received into keys, pasted replies and the user's pastes; problems
    found on the way."""
    keys, replies, pastes, problems = bytearray(), [], [], []
    pos = 0
    while pos < len(data):
        if data.startswith(PASTE_START, pos):
            end = data.find(PASTE_END, pos)
            if end < 0:
                problems.append("a paste that never ends at byte %d" % pos)
                break
            text = bytes(data[pos + len(PASTE_START):end])
            if PASTE_START in text:
                problems.append("a paste inside a paste at byte %d: %r" % (
                    pos, text[text.find(PASTE_START) - 20:text.find(PASTE_START) + 20]))
            pos = end + len(PASTE_END)
            if text.startswith(b"U"):
                pastes.append(text)
                continue
            replies.append(text)
            if data[pos:pos + 1] != b"\r":
                problems.append("no Enter right after the paste ending at byte %d" % pos)
            else:
                pos += 1
        elif 0x61 <= data[pos] <= 0x7A:
            keys.append(data[pos])
            pos += 1
        elif data[pos:pos + 1] == EXIT_KEY and pos == len(data) - 1:
            pos += 1
        else:
            problems.append("stray byte %r at %d: %r" % (data[pos:pos + 1], pos,
                                                        bytes(data[max(0, pos - 20):pos + 20])))
            pos += 1
    return keys, replies, pastes, problems


def check_pastes(received, pasted):
    """The user's pastes must arrive whole, each byte in its place, in order."""
    if received == pasted:
        return []
    for i, (got, sent) in enumerate(zip(received, pasted)):
        if got != sent:
            at = next((k for k, (a, b) in enumerate(zip(got, sent)) if a != b),
                      min(len(got), len(sent)))
            return ["user paste %d (%d bytes) arrived as %d bytes, first difference at %d: %r"
                    % (i, len(sent), len(got), at, got[max(0, at - 20):at + 40])]
    return ["%d user pastes sent, %d arrived" % (len(pasted), len(received))]


def check_replies(replies, queued, acked, restarts):
    problems = []
    order = {text.encode(): i for i, text in enumerate(queued)}
    last = -1
    seen = set()
    for reply in replies:
        if reply not in order:
            problems.append("a pasted text that is no whole reply: %r" % reply[:60])
            continue
        if reply in seen:
            problems.append("reply %r typed twice" % reply[:12])
        seen.add(reply)
        if order[reply] <= last:
            problems.append("reply %r out of order" % reply[:12])
        last = max(last, order[reply])
    # Each acknowledgement follows one reply handed to the writer; an acknowledgement can be lost
    # only to a restart that closed its connection.
    if len(replies) < acked:
        problems.append("%d acknowledgements but only %d replies typed" % (acked, len(replies)))
    if len(replies) > acked + restarts:
        problems.append("%d replies typed, %d acknowledged, %d restarts"
                        % (len(replies), acked, restarts))
    if FINAL_REPLY.encode() not in seen:
        problems.append("the final reply, queued once the app behaved, was not typed")
    return problems


def self_check():
    """The checks must see the faults they are for: a reply cut by keys, a reply typed twice,
    replies out of order, a lost key. Runs before the soak, in a moment."""
    queued = ["R00000AB", "R00001CD", FINAL_REPLY]
    whole = b"ab" + PASTE_START + b"R00000AB" + PASTE_END + b"\rc"
    final = PASTE_START + FINAL_REPLY.encode() + PASTE_END + b"\r"
    keys, replies, pastes, found = parse_input(whole + final)
    assert not found and bytes(keys) == b"abc" and not check_replies(replies, queued, 2, 0)
    user = PASTE_START + b"U00000:ab\r" + PASTE_END
    keys, replies, pastes, found = parse_input(whole + user + final)
    assert not found and bytes(keys) == b"abc" and pastes == [b"U00000:ab\r"]
    assert not check_pastes(pastes, [b"U00000:ab\r"]) and check_pastes(pastes, [b"U00000:abc"])
    inside = (PASTE_START + b"U00000:a" + PASTE_START + b"R00000AB" + PASTE_END + b"\r" +
              b"b\r" + PASTE_END + final)
    keys, replies, pastes, found = parse_input(inside)
    assert found and check_pastes(pastes, [b"U00000:ab\r"])
    cut = PASTE_START + b"R000" + b"x" + b"00AB" + PASTE_END + b"\r" + final
    assert check_replies(parse_input(cut)[1], queued, 2, 0)
    twice = whole + whole[2:-1] + final
    assert check_replies(parse_input(twice)[1], queued, 3, 0)
    swapped = (PASTE_START + b"R00001CD" + PASTE_END + b"\r" + PASTE_START + b"R00000AB" +
               PASTE_END + b"\r" + final)
    assert check_replies(parse_input(swapped)[1], queued, 3, 0)
    assert parse_input(b"a" + PASTE_START + b"R00000AB" + PASTE_END + b"b")[3]  # no Enter
    assert parse_input(b"aR00000AB")[3]  # a reply's bytes outside a paste


def wait_until(predicate, timeout_s, term):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        term.drain()
        if predicate():
            return True
        time.sleep(0.05)
    return False


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def run():
    for program in (h.TALVANE, h.STANDIN, h.FAKE_AGENT):
        if not os.access(program, os.X_OK):
            sys.exit("soak: %s is missing; run make build first" % program)
    self_check()
    rng = random.Random(SEED)
    tmp = h.temp_dir("talvane-soak-")
    record = os.path.join(tmp, "agent")
    os.makedirs(record)
    app = h.Standin(os.path.join(tmp, "app"), hold_ms=1000)
    env = h.base_env(tmp, app.data_dir, {
        "FAKE_AGENT_DIR": record, "FAKE_AGENT_PRINT": "[go]",
        "FAKE_AGENT_EXIT_ON": str(EXIT_KEY[0]), "FAKE_AGENT_EXIT_CODE": str(EXIT_CODE)})
    term = h.Terminal([h.TALVANE, "claude"], env)
    problems = []
    typist = Typist(term, rng.random())
    chaos = Chaos(app, rng)
    try:
        term.wait_for(b"[go]")
        typist.start()
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            chaos.step(time.monotonic())
            end = time.monotonic() + rng.uniform(0.05, 0.6)
            while time.monotonic() < end:
                term.read_some(0.05)
        chaos.calm()
        chaos.queued.append(FINAL_REPLY)
        app.command("reply " + FINAL_REPLY)
        typist.stop.set()
        typist.join()
        received = os.path.join(record, "input")
        if not wait_until(lambda: FINAL_REPLY.encode() in read_bytes(received), SETTLE_S, term):
            problems.append("the final reply did not arrive within %d s" % SETTLE_S)
        typed = bytes(typist.typed)
        def all_arrived():
            parsed = parse_input(read_bytes(received))
            return bytes(parsed[0]) == typed and len(parsed[2]) >= len(typist.pastes)
        if not wait_until(all_arrived, 10, term):
            problems.append("not every key and paste arrived")
        term.type(EXIT_KEY)
        status = term.wait_exit(15)
        if status != EXIT_CODE:
            problems.append("talvane ended with %s, the agent with %d" % (status, EXIT_CODE))
        restored = term.attributes()
        if restored[:6] != term.initial_attributes[:6]:
            problems.append("the terminal's modes were not restored")
        keys, replies, pastes, found = parse_input(read_bytes(received))
        problems += found
        problems += check_pastes(pastes, typist.pastes)
        if bytes(keys) != typed:
            problems.append("keys differ: %d typed, %d received, first difference at %d" % (
                len(typed), len(keys),
                next((i for i, (a, b) in enumerate(zip(typed, keys)) if a != b),
                     min(len(typed), len(keys)))))
        time.sleep(0.2)
        lines = app.snapshot()
        acked = sum(1 for l in lines if re.search(r"\] POST \S+/delivered", l))
        registered = sum(1 for l in lines if re.search(r"answered 200 POST \S+/register", l))
        withdrawn = sum(1 for l in lines if re.search(r"\] POST \S+/deregister", l))
        # A reply is acknowledged as it is queued: one acknowledged while a paste was under way
        # had to wait for the paste's end.
        during = sum(1 for l in lines if re.search(r"\] POST \S+/delivered", l) and
                     any(a <= h.line_stamp(l) <= b for a, b in typist.windows))
        problems += check_replies(replies, chaos.queued, acked, chaos.restarts)
        if withdrawn > registered:
            problems.append("%d withdrawals for %d registrations" % (withdrawn, registered))
        if withdrawn < 1:
            problems.append("the session was not withdrawn at the end")
        summary = ("%.0f s, seed %d: %d keys, %d user pastes (%d bytes), %d replies queued, "
                   "%d typed (%d while a paste was under way), %d acknowledged, "
                   "%d registrations, %d withdrawals, %d restarts, %d token changes, %d actions"
                   % (SECONDS, SEED, len(typed), len(typist.pastes),
                      sum(len(p) for p in typist.pastes), len(chaos.queued), len(replies),
                      during, acked, registered, withdrawn, chaos.restarts, chaos.tokens,
                      chaos.actions))
    finally:
        typist.stop.set()
        term.close()
        app.close()
    shutil.rmtree(tmp, ignore_errors=True)
    print("soak: " + summary)
    if problems:
        for problem in problems:
            print("  " + problem)
        print("soak: FAIL")
        return 1
    print("soak: PASS")
    return 0


MAX_ANSWER = 10 * 1024 * 1024
PEAK_RSS_GOAL_KIB = 16 * 1024
KEEPER_CPU_GOAL = 0.10
HOSTILE_SECONDS = float(os.environ.get("HOSTILE_SECONDS", "10"))


def hostile_bodies():
    """(name, endpoint, body) of each case; every body is at most 10 MiB."""
    elements = b"[" + b"0," * 5_200_000 + b"0]"
    keys = b"{" + b",".join(b'"%x":0' % i for i in range(1_000_000)) + b"}"
    digits = b"1" + b"0" * 100_000
    reply = b"R" * (1024 * 1024)
    long_string = b'"' + b"s" * (MAX_ANSWER - 64) + b'"'
    return [
        ("5.2M-element array", "pending", b'{"x":' + elements + b',"reply":null}'),
        ("1M object keys", "pending", b'{"x":' + keys + b',"reply":null}'),
        ("1 MiB reply and a 100,001-digit number, every poll", "pending",
         b'{"id":' + digits + b',"reply":"' + reply + b'"}'),
        ("10 MiB string in an ignored member", "pending",
         b'{"x":' + long_string + b',"reply":null}'),
        ("register answer without session_handle", "register", b'{"x":' + elements + b"}"),
    ]


def run_hostile_case(tmp, name, endpoint, body):
    """Runs talvane against one hostile answer; (peak RSS KiB, CPU share, replies acknowledged)."""
    body_file = os.path.join(tmp, "body.json")
    with open(body_file, "wb") as f:
        f.write(body)
    app = h.Standin(os.path.join(tmp, "app-" + endpoint), hold_ms=1000)
    app.command("body %s %s" % (endpoint, body_file))
    app.wait_line(lambda line: line.startswith("body of"), 60)
    env = h.base_env(tmp, app.data_dir, {
        "FAKE_AGENT_PRINT": "[go]", "FAKE_AGENT_EXIT_ON": str(EXIT_KEY[0]),
        "FAKE_AGENT_EXIT_CODE": str(EXIT_CODE)})
    term = h.Terminal([h.TALVANE, "claude"], env)
    try:
        term.wait_for(b"[go]", 30)
        cpu_start, wall_start = h.cpu_ticks_ns(term.pid), time.monotonic()
        deadline = wall_start + HOSTILE_SECONDS
        while time.monotonic() < deadline:
            term.read_some(0.1)
        cpu = (h.cpu_ticks_ns(term.pid) - cpu_start) / ((time.monotonic() - wall_start) * 1e9)
        peak = h.peak_rss_kib(term.pid)
        term.type(EXIT_KEY)
        status = term.wait_exit(15)
    finally:
        term.close()
        lines = app.snapshot()
        app.close()
    acked = sum(1 for l in lines if re.search(r"\] POST \S+/delivered", l))
    if status != EXIT_CODE:
        print("  %s: talvane ended with %s" % (name, status))
    return peak, cpu, acked


def run_hostile():
    for program in (h.TALVANE, h.STANDIN, h.FAKE_AGENT):
        if not os.access(program, os.X_OK):
            sys.exit("soak: %s is missing; run make build first" % program)
    tmp = h.temp_dir("talvane-hostile-")
    failed = False
    try:
        for name, endpoint, body in hostile_bodies():
            assert len(body) <= MAX_ANSWER, name
            peak, cpu, acked = run_hostile_case(tmp, name, endpoint, body)
            ok = peak < PEAK_RSS_GOAL_KIB and (endpoint != "register" or cpu < KEEPER_CPU_GOAL)
            failed |= not ok
            print("hostile: %-55s peak RSS %6.1f MiB, CPU %5.1f %%, %d replies typed  %s" % (
                name, peak / 1024, cpu * 100, acked, "ok" if ok else "MISSED"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("hostile: " + ("FAIL" if failed else "PASS"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(run_hostile() if "--hostile" in sys.argv[1:] else run())
