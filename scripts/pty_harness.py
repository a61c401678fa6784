"""Runs programs in pseudo-terminals of their own, as a user's terminal would, for the benchmark
and soak drivers. Python 3 standard library only; Linux (it reads /proc for CPU and memory).

A Terminal holds the master side; the program gets a fresh session whose controlling terminal is
the slave side, so it receives SIGWINCH when the Terminal is resized.
"""

import fcntl
import os
import select
import struct
import subprocess
import tempfile
import termios
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "linux")
# TALVANE_BIN runs another build's talvane (and the stand-in app beside it, if there is one).
TALVANE = os.environ.get("TALVANE_BIN") or os.path.join(BUILD, "talvane")
STANDIN = os.path.join(os.path.dirname(TALVANE), "talvane-standin")
if not os.access(STANDIN, os.X_OK):
    STANDIN = os.path.join(BUILD, "talvane-standin")
FAKE_AGENT = os.path.join(BUILD, "fake_agent")

READ_SIZE = 65536


def now_ns():
    return time.monotonic_ns()


class Timeout(Exception):
    pass


class Terminal:
    """One program in a pseudo-terminal of `columns` x `rows`."""

    def __init__(self, argv, env, columns=80, rows=24):
        self.master, slave = os.openpty()
        self.set_size(columns, rows)
        slave_name = os.ttyname(slave)
        self.initial_attributes = termios.tcgetattr(slave)
        os.close(slave)
        self.output = bytearray()
        self.spawned_ns = now_ns()
        # setsid comes before the file actions, so opening the slave makes it the controlling
        # terminal of the new session.
        self.pid = os.posix_spawn(
            argv[0], argv, env, setsid=True,
            file_actions=[(os.POSIX_SPAWN_OPEN, 0, slave_name, os.O_RDWR, 0),
                          (os.POSIX_SPAWN_DUP2, 0, 1), (os.POSIX_SPAWN_DUP2, 0, 2)])
        self.status = None
        self.eof = False

    def set_size(self, columns, rows):
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))

    def type(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def read_some(self, timeout_s):
        """Appends what one read returns to `output`; the bytes read (b"" on time-out or end)."""
        if self.eof:
            return b""
        ready, _, _ = select.select([self.master], [], [], max(timeout_s, 0))
        if not ready:
            return b""
        try:
            data = os.read(self.master, READ_SIZE)
        except OSError:  # EIO: every holder of the slave side has closed it
            data = b""
        if not data:
            self.eof = True
        self.output += data
        return data

    def wait_for(self, needle, timeout_s=10.0, start=0):
        """Reads until `needle` occurs in output[start:]; the index just past it."""
        deadline = time.monotonic() + timeout_s
        searched = start
        while True:
            at = self.output.find(needle, searched)
            if at >= 0:
                return at + len(needle)
            searched = max(start, len(self.output) - len(needle) + 1)
            left = deadline - time.monotonic()
            if left <= 0 or self.eof:
                raise Timeout("no %r in the output of %s" % (needle, self.pid))
            self.read_some(left)

    def drain(self):
        while self.read_some(0):
            pass

    def wait_exit(self, timeout_s=10.0):
        """The exit status (128 + N for signal N); reads output meanwhile."""
        deadline = time.monotonic() + timeout_s
        while self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
                if self.status < 0:
                    self.status = 128 - self.status
                break
            if time.monotonic() > deadline:
                raise Timeout("program %s did not exit" % self.pid)
            self.read_some(0.005)
        return self.status

    def kill(self):
        if self.status is None:
            try:
                os.kill(self.pid, 9)
                self.wait_exit(10)
            except (ProcessLookupError, ChildProcessError):
                pass

    def close(self):
        self.kill()
        os.close(self.master)

    def attributes(self):
        return termios.tcgetattr(self.master)


def agent_bin_dir(tmp):
    """A directory holding the fake agent as `claude` and as `codex`."""
    path = os.path.join(tmp, "bin")
    os.makedirs(path, exist_ok=True)
    for name in ("claude", "codex"):
        link = os.path.join(path, name)
        if not os.path.exists(link):
            os.symlink(FAKE_AGENT, link)
    return path


def base_env(tmp, data_dir, extra=None):
    env = {
        "PATH": agent_bin_dir(tmp) + ":/usr/bin:/bin",
        "HOME": tmp,
        "TERM": "xterm-256color",
        "SHELL": "/bin/sh",
        "LANG": "C.UTF-8",
        "TALVANE_DATA_DIR": data_dir,
    }
    env.update(extra or {})
    return env


class Standin:
    """talvane-standin with --stamps, driven through its standard input; its output lines are
    collected by a reader thread (which prints nothing)."""

    def __init__(self, data_dir, hold_ms=None):
        argv = [STANDIN, "--data-dir", data_dir, "--stamps"]
        if hold_ms is not None:
            argv += ["--hold-ms", str(hold_ms)]
        self.data_dir = data_dir
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, bufsize=0)
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.wait_line(lambda line: line.startswith("listening"), 10)

    def _read(self):
        for raw in self.proc.stdout:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.changed.notify_all()

    def command(self, text):
        self.proc.stdin.write(text.encode() + b"\n")

    def wait_line(self, predicate, timeout_s, start=0):
        """The index of the first line from `start` on that satisfies `predicate`."""
        deadline = time.monotonic() + timeout_s
        with self.changed:
            i = start
            while True:
                while i < len(self.lines):
                    if predicate(self.lines[i]):
                        return i
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Timeout("stand-in line not seen")
                self.changed.wait(left)

    def snapshot(self):
        with self.changed:
            return list(self.lines)

    def close(self):
        try:
            self.command("quit")
            self.proc.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def line_stamp(line):
    """The nanoseconds of a "[@NANOS] ..." line."""
    return int(line[2:line.index("]")])


def temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def cpu_ns(pid):
    """CPU time of all of the process's live threads, in nanoseconds (from schedstat)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def cpu_ticks_ns(pid):
    """utime + stime of the process (dead threads included), in nanoseconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks * 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    """Voluntary and involuntary context switches of all of the process's live threads: each
    time a thread went to sleep or was put off the CPU, that is, roughly its wake-ups."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        total += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0
