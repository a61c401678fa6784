#!/usr/bin/env python3
"""The Windows part of make test-agents: talvane.exe (build/windows) under Wine with the real
Windows builds of Codex CLI (codex.exe) and Claude Code (claude.exe, the pinned release and the
current one), pinned in tests/agents/windows and installed with `npm ci` into
build/agents-windows, offline against the mock model servers of agent_harness.py, with
talvane-standin (build/linux) as the app.

Wine's console draws the agents' screens wrongly, so only the mock's requests and the
stand-in's log are asserted. Per agent: a typed prompt with non-ASCII text arrives exactly; the
first voice reply of every fresh session and all replies (several lines, quotes, non-ASCII
text, one of 6 KB) are submitted; the app's shutdown request ends talvane.exe with 0 and one
withdrawal; the agent's exit code comes back.

Wine 8 needs workarounds that live here and in tests/agents/windows only, never in talvane.exe
(the README lists them). Prints one line per check and "N passed, N failed"; prints one
"SKIPPED" line and exits 77 when Wine, mingw-w64 or the npm registry is missing.
TEST_AGENTS=claude (or codex) runs one agent only (claude: both its builds).
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import agent_harness as a  # noqa: E402
import pty_harness as h  # noqa: E402

PACKAGE_DIR = os.path.join(h.ROOT, "tests", "agents", "windows")
INSTALL_DIR = os.path.join(h.ROOT, "build", "agents-windows")
WINDOWS_BUILD = os.path.join(h.ROOT, "build", "windows")
TALVANE_EXE = os.path.join(WINDOWS_BUILD, "talvane.exe")
MODULES = os.path.join(INSTALL_DIR, "node_modules")
CODEX_EXE = os.path.join(MODULES, "codex-win32-x64", "vendor", "x86_64-pc-windows-msvc", "bin",
                         "codex.exe")
# The pinned claude.exe and the current release (users update weekly), by package name.
CLAUDE_PACKAGES = ("claude-code-win32-x64", "claude-code-win32-x64-current")
MINGW = "x86_64-w64-mingw32-gcc"

SESSIONS = 3
REPLIES = (4, 3, 3)  # per session: 10 in all, the first of each fresh session among them
LONG_REPLY_BYTES = 6 * 1024
START_TIMEOUT_S = 120
SUBMIT_TIMEOUT_S = 20
LONG_SUBMIT_TIMEOUT_S = 60  # codex.exe under Wine takes about 5 ms a byte
QUIET_S = 1.5
SKIPPED = 77


def skip(why):
    print("test-agents (Windows): SKIPPED, nothing was tested: %s" % why)
    print("0 passed, 0 failed, 1 skipped")
    return SKIPPED


def find_wine():
    for w in ("wine64", "/usr/lib/wine/wine64", "wine"):
        path = shutil.which(w)
        if path:
            return path
    return None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def digest(*paths):
    sha = hashlib.sha256()
    for path in paths:
        with open(path, "rb") as f:
            sha.update(f.read())
    return sha.hexdigest()


def stamped(stamp, value):
    return os.path.exists(stamp) and open(stamp).read() == value


# ---------------------------------------------------------------------------------------------
# Installation, helpers and the Wine prefix


def install_agents():
    """None once the pinned packages are in build/agents-windows, else why not. Raises
    agent_harness.RegistryUnreachable when the registry cannot be reached."""
    lock = os.path.join(PACKAGE_DIR, "package-lock.json")
    stamp = os.path.join(INSTALL_DIR, ".installed")
    if stamped(stamp, digest(lock)) and os.path.exists(CODEX_EXE) and all(
            os.path.exists(os.path.join(MODULES, p, "claude.exe")) for p in CLAUDE_PACKAGES):
        return None
    if shutil.which("npm") is None:
        return "npm is not installed (scripts/deps.sh installs it)"
    shutil.rmtree(INSTALL_DIR, ignore_errors=True)
    os.makedirs(INSTALL_DIR)
    for name in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(PACKAGE_DIR, name), INSTALL_DIR)
    # --force: npm refuses packages for another OS; these are run under Wine, not by npm.
    try:
        done = subprocess.run(["npm", "ci", "--force", "--ignore-scripts", "--no-audit",
                               "--no-fund", "--fetch-retries=1", "--fetch-timeout=30000"],
                              cwd=INSTALL_DIR, capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        return "npm ci took over 15 minutes"
    if done.returncode != 0:
        errors = [line[len("npm error "):] for line in done.stderr.splitlines()
                  if line.startswith("npm error ") and "complete log" not in line]
        why = next((e for e in errors if "Error" in e), errors[0] if errors else None)
        why = why or "exit %d" % done.returncode
        if any(code in done.stderr for code in a.UNREACHABLE):
            raise a.RegistryUnreachable(why)
        return "npm ci failed: " + why
    with open(stamp, "w") as f:
        f.write(digest(lock))
    return None


# claude.exe 2.1.197 imports KERNEL32.DiscardVirtualMemory, which Wine 8 lacks (the agent aborts
# a few seconds after start). The copy imports VirtualUnlock in its place: the same two arguments,
# and on memory that is not locked it changes nothing. A release without the import runs as is.
DISCARD_IMPORT = b"DiscardVirtualMemory\0"
HARMLESS_IMPORT = b"VirtualUnlock\0"


def patch_claude(package):
    """The claude.exe of `package` to run, patched where it needs it, and None; or None and why
    not."""
    source = os.path.join(MODULES, package, "claude.exe")
    target = os.path.join(INSTALL_DIR, "patched", package, "claude.exe")
    stamp = target + ".from"
    source_id = "%d %d" % (os.path.getsize(source), os.path.getmtime(source))
    if os.path.exists(target) and stamped(stamp, source_id):
        return target, None
    with open(source, "rb") as f:
        image = bytearray(f.read())
    at = image.find(DISCARD_IMPORT)
    if at < 0:
        return source, None
    if image.find(DISCARD_IMPORT, at + 1) >= 0:
        return None, "claude.exe imports DiscardVirtualMemory more than once"
    image[at:at + len(DISCARD_IMPORT)] = HARMLESS_IMPORT.ljust(len(DISCARD_IMPORT), b"\0")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target + ".part", "wb") as f:
        f.write(image)
    os.replace(target + ".part", target)
    with open(stamp, "w") as f:
        f.write(source_id)
    return target, None


def package_version(package):
    with open(os.path.join(MODULES, package, "package.json")) as f:
        return json.load(f)["version"]


def build_helpers(out):
    """Cross-builds the helpers of tests/agents/windows into `out`; None, else why not."""
    os.makedirs(out, exist_ok=True)
    builds = [
        ("bcryptprimitives.dll", ["process_prng.c", "process_prng.def"], ["-shared", "-lbcrypt"]),
        ("std_handles.exe", ["std_handles.c"], ["-municode"]),
        ("key_log.exe", ["key_log.c"], ["-municode"]),
    ]
    for name, sources, flags in builds:
        target = os.path.join(out, name)
        paths = [os.path.join(PACKAGE_DIR, s) for s in sources]
        if os.path.exists(target) and all(os.path.getmtime(p) <= os.path.getmtime(target)
                                          for p in paths):
            continue
        # The sources come before -l flags, or the linker drops the library.
        argv = [MINGW, "-O2", "-Wall", "-o", target] + paths + flags + ["-static"]
        done = subprocess.run(argv, capture_output=True, text=True)
        if done.returncode != 0:
            return "%s did not build: %s" % (name, done.stderr.strip()[-500:])
    return None


class Wine:
    """One Wine prefix for the whole run, with a Wine program kept running in it from the first
    session to the last (a console started while no Wine program runs can hang)."""

    def __init__(self, wine, helpers):
        self.wine, self.helpers = wine, helpers
        self.root = os.path.join(INSTALL_DIR, "wine")
        self.prefix = os.path.join(self.root, "prefix")
        self.waiter = None

    def env(self):
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.root,
                "USER": "talvane", "LANG": "C.UTF-8", "TERM": "xterm-256color",
                "WINEPREFIX": self.prefix, "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml="}

    def set_up(self):
        """None when the prefix is ready, else why not."""
        os.makedirs(self.root, exist_ok=True)
        for attempt in range(2):  # the prefix's first start can run out of time; a second ends it
            done = subprocess.run([self.wine, TALVANE_EXE, "--help"], env=self.env(),
                                  capture_output=True, timeout=300)
            if done.returncode == 0:
                break
        else:
            return "Wine could not run talvane.exe --help (status %d)" % done.returncode
        system32 = os.path.join(self.prefix, "drive_c", "windows", "system32")
        shutil.copy(os.path.join(self.helpers, "bcryptprimitives.dll"), system32)
        self.waiter = subprocess.Popen([self.wine, os.path.join(self.helpers, "key_log.exe"),
                                        "wait"], env=self.env(), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return None

    def tear_down(self):
        wineserver = os.path.join(os.path.dirname(self.wine), "wineserver")
        if not os.access(wineserver, os.X_OK):
            wineserver = shutil.which("wineserver") or "wineserver"
        subprocess.run([wineserver, "-k"], env=self.env(), capture_output=True)
        if self.waiter:
            self.waiter.kill()
            self.waiter.wait()


class WineTerminal(a.AnsweringTerminal):
    """Answers as AnsweringTerminal does, except the colour queries (OSC 10/11), the primary
    device attributes, the version query (XTVERSION) and the keyboard flags query (CSI ? u):
    Wine's console hands those answers to the agent as typed text."""

    def answer(self, match):
        query = match.group(0)
        if query.startswith(b"\x1b]") or query.endswith(b"q") or query == b"\x1b[?u" or (
                query.endswith(b"c") and not match.group(2)):
            return b""
        return super().answer(match)


# ---------------------------------------------------------------------------------------------
# Agent homes


def agent_home(root, agent, model_url, cwd):
    """A fresh configuration for `agent` under `root`; the environment that points it there."""
    home = os.path.join(root, "home")
    os.makedirs(home)
    win_cwd = windows_path(cwd)
    if agent == "claude":
        config = os.path.join(home, ".claude")
        os.makedirs(config)
        trusted = {"hasTrustDialogAccepted": True}
        state = {"hasCompletedOnboarding": True,
                 "customApiKeyResponses": {"approved": [a.API_KEY[-20:]], "rejected": []},
                 "projects": {win_cwd: trusted, win_cwd.replace("\\", "/"): trusted}}
        with open(os.path.join(config, ".claude.json"), "w") as f:
            json.dump(state, f)
        return {"CLAUDE_CONFIG_DIR": windows_path(config), "ANTHROPIC_API_KEY": a.API_KEY,
                "ANTHROPIC_BASE_URL": model_url, "DISABLE_AUTOUPDATER": "1",
                "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC": "1"}
    codex = os.path.join(home, ".codex")
    os.makedirs(codex)
    with open(os.path.join(codex, "auth.json"), "w") as f:
        json.dump({"auth_mode": "apikey", "OPENAI_API_KEY": a.API_KEY}, f)
    # Wine answers the unlock of a range that is not locked wrongly, so codex.exe's first write
    # of its installation id fails ("Lock violation"): the id is there already.
    with open(os.path.join(codex, "installation_id"), "w") as f:
        f.write(str(uuid.uuid4()))
    # The sandbox set-up dialog of codex.exe waits for a choice: no sandbox, no approvals.
    with open(os.path.join(codex, "config.toml"), "w") as f:
        f.write('model = "offline-model"\nmodel_provider = "offline"\n'
                'sandbox_mode = "danger-full-access"\napproval_policy = "never"\n\n'
                '[model_providers.offline]\nname = "offline"\nbase_url = "%s/v1"\n'
                'wire_api = "responses"\nenv_key = "OPENAI_API_KEY"\n'
                'request_max_retries = 0\nstream_max_retries = 0\n\n'
                '[tui]\nscreen_reader_detection_done = true\n\n'
                "[projects.'%s']\ntrust_level = \"trusted\"\n" % (model_url, win_cwd))
    return {"CODEX_HOME": windows_path(codex), "OPENAI_API_KEY": a.API_KEY}


def agent_bin(root, agent, exe):
    """A directory for the front of the Windows PATH with the handle wrapper as `agent`.exe,
    which starts the real agent, `exe`."""
    bin_dir = os.path.join(root, "bin")
    os.makedirs(bin_dir)
    wrapper = os.path.join(bin_dir, agent + ".exe")
    shutil.copy(os.path.join(HELPERS, "std_handles.exe"), wrapper)
    with open(wrapper + ".target", "w") as f:
        f.write(windows_path(exe))
    return bin_dir


HELPERS = os.path.join(INSTALL_DIR, "helpers")


class Suite:
    def __init__(self, wine):
        self.wine = wine
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
    return ("%s windows reply %d.%d, several lines:\nsaid \"double\" and 'single' quotes\n"
            "gr\u00fc\u00dfe \u00e9t\u00e9 \u2713 \u65e5\u672c\u8a9e" % (agent, session, number))


def long_reply(agent):
    line = "%s long reply, line %03d: \"quoted\" gr\u00fc\u00dfe and plain words to fill it\n"
    text = ""
    n = 0
    while len(text.encode()) < LONG_REPLY_BYTES:
        n += 1
        text += line % (agent, n)
    return text.rstrip("\n")


def standin_escape(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n")


class Build:
    """One Windows build of an agent: what talvane.exe is told to run (`agent`), how the checks
    name it, and its program."""

    def __init__(self, agent, name, exe):
        self.agent, self.name, self.exe = agent, name, exe


class Session:
    """One talvane.exe run of `build` with a fresh configuration and its own stand-in app."""

    def __init__(self, suite, build, number, server, args=()):
        agent = build.agent
        self.suite, self.agent, self.number, self.server = suite, agent, number, server
        self.label = "%s session %d" % (build.name, number)
        self.root = h.temp_dir("talvane-winagents-")
        self.cwd = os.path.join(self.root, "work")
        os.makedirs(self.cwd)
        extra = agent_home(self.root, agent, server.url, self.cwd)
        self.app = h.Standin(os.path.join(self.root, "app"))
        env = suite.wine.env()
        env.update({"WINEPATH": windows_path(agent_bin(self.root, agent, build.exe)),
                    "TALVANE_DATA_DIR": windows_path(self.app.data_dir),
                    "COLORTERM": "truecolor",
                    "HTTPS_PROXY": a.DEAD_PROXY, "HTTP_PROXY": a.DEAD_PROXY,
                    "ALL_PROXY": a.DEAD_PROXY, "NO_PROXY": "127.0.0.1,localhost"})
        env.update(extra)
        argv = [suite.wine.wine, TALVANE_EXE, agent] + a.agent_argv(agent) + list(args)
        os.chdir(self.cwd)  # Wine gives the agent this as its current directory
        self.term = WineTerminal(argv, env, columns=120, rows=30)

    def close(self):
        pids = a.descendants(self.term.pid)
        self.term.close()
        a.kill_all(pids)
        self.app.close()
        os.chdir(h.ROOT)
        shutil.rmtree(self.root, ignore_errors=True)

    def reach_prompt(self):
        began = time.monotonic()
        try:
            # Both agents switch bracketed paste on once their input is up, and Wine's
            # pseudo-console passes that on.
            self.term.wait_for(b"\x1b[?2004h", START_TIMEOUT_S)
            self.app.wait_line(lambda line: "/pending" in line, START_TIMEOUT_S)
            ok = self.term.wait_quiet(QUIET_S, START_TIMEOUT_S)
        except h.Timeout as e:
            return self.suite.check(self.label + ": prompt reached", False, "%s; output %r" % (
                e, bytes(self.term.output[-600:])))
        return self.suite.check(self.label + ": prompt reached", ok,
                                "%.1f s" % (time.monotonic() - began))

    def wait_submitted(self, text, start, timeout_s=SUBMIT_TIMEOUT_S):
        """Seconds until the model saw `text` as the last user message; None on time-out."""
        began = time.monotonic()
        deadline = began + timeout_s
        while time.monotonic() < deadline:
            if self.server.wait_for_user_text(text, 0.05, start) is not None:
                took = time.monotonic() - began
                self.term.wait_quiet(QUIET_S, 20)  # the turn ends before the next input
                return took
            self.term.read_some(0.05)
        return None

    def typed_prompt(self):
        text = "typed into %s.exe \u00fc \u00e9t\u00e9 \u2713" % self.agent
        start = self.server.count()
        for ch in text:
            self.term.type(ch.encode())
            time.sleep(0.02)
        self.term.wait_quiet(0.5, 10)  # Enter apart from the keys, as a person presses it
        self.term.type(b"\r")
        took = self.wait_submitted(text, start)
        return self.suite.check(self.label + ": typed prompt arrives exactly", took is not None,
                                "%.2f s" % took if took is not None else self.last_seen(start))

    def last_seen(self, start):
        with self.server.changed:
            bodies = [b for _, b in self.server.requests[start:]]
        texts = [a.last_user_texts(b) for b in bodies]
        return "not in any request; last user texts %r" % (texts[-1:] if texts else "none")

    def reply(self, text, name):
        start = self.server.count()
        self.app.command("reply " + standin_escape(text))
        took = self.wait_submitted(text, start, LONG_SUBMIT_TIMEOUT_S if len(text) > 1000 else
                                   SUBMIT_TIMEOUT_S)
        self.suite.check("%s: %s submitted" % (self.label, name), took is not None,
                         "%.2f s" % took if took is not None else self.last_seen(start))
        if took is None:
            # A reply left in the input box would make every later one fail too (and slowly):
            # an Enter now submits it, and the next reply starts from an empty box.
            self.term.type(b"\r")
            self.term.wait_quiet(QUIET_S, SUBMIT_TIMEOUT_S)
        return took is not None

    def shutdown(self):
        self.app.command("shutdown")
        try:
            status = self.term.wait_exit(30)
        except h.Timeout:
            return self.suite.check(self.label + ": shutdown ends talvane.exe with 0", False,
                                    "still running")
        time.sleep(0.5)  # a second withdrawal would come now
        withdrawals = sum(line.split("] ", 1)[-1].startswith(
            "POST /api/managed-sessions/deregister") for line in self.app.snapshot())
        return self.suite.check(self.label + ": shutdown ends talvane.exe with 0, one withdrawal",
                                status == 0 and withdrawals == 1,
                                "status %d, %d withdrawals" % (status, withdrawals))


# An option neither agent knows: each ends at once with its own usage error code.
BAD_OPTION = "--no-such-option-talvane"
USAGE_EXIT = {"codex": 2, "claude": 1}


def run_agent(suite, build):
    agent, name = build.agent, build.name
    print("== %s (Windows) under Wine" % name, flush=True)
    server = a.ModelServer()
    submitted = 0
    try:
        for number in range(1, SESSIONS + 1):
            session = Session(suite, build, number, server)
            try:
                if not session.reach_prompt():
                    continue
                if number == 1:
                    session.typed_prompt()
                for i in range(1, REPLIES[number - 1] + 1):
                    which = "first reply" if i == 1 else "reply %d" % i
                    if not session.reply(reply_text(agent, number, i), which):
                        # Each miss costs the whole wait: the session's other replies are
                        # counted as missed rather than tried.
                        break
                    submitted += 1
                if number == 1:
                    session.reply(long_reply(agent), "6 KB reply")
                session.shutdown()
            finally:
                session.close()
        session = Session(suite, build, SESSIONS + 1, server, [BAD_OPTION])
        try:
            status = session.term.wait_exit(START_TIMEOUT_S)
            suite.check("%s: its exit code comes back" % name, status == USAGE_EXIT[agent],
                        "status %d" % status)
        except h.Timeout:
            suite.check("%s: its exit code comes back" % name, False, "still running")
        finally:
            session.close()
    finally:
        server.close()
    suite.check("%s: replies submitted %d/%d" % (name, submitted, sum(REPLIES)),
                submitted == sum(REPLIES))


def record_keys(wine, agent, text, vt=False):
    """The input events the console hands a program in `agent`'s place (key_log.exe) for the
    voice reply `text`, as key_log writes them."""
    root = h.temp_dir("talvane-keys-")
    bin_dir = os.path.join(root, "bin")
    os.makedirs(bin_dir)
    shutil.copy(os.path.join(HELPERS, "key_log.exe"), os.path.join(bin_dir, agent + ".exe"))
    app = h.Standin(os.path.join(root, "app"))
    log = os.path.join(root, "keys.txt")
    env = wine.env()
    env.update({"WINEPATH": windows_path(bin_dir), "TALVANE_DATA_DIR": windows_path(app.data_dir)})
    argv = [wine.wine, TALVANE_EXE, agent, "record", windows_path(log)] + (["vt"] if vt else [])
    term = WineTerminal(argv, env, columns=120, rows=30)
    try:
        term.wait_for(b"key_log>", START_TIMEOUT_S)
        app.wait_line(lambda line: "/pending" in line, START_TIMEOUT_S)
        term.wait_quiet(0.5, 10)
        app.command("reply " + standin_escape(text))
        app.wait_line(lambda line: "/acknowledge" in line or "/delivered" in line, 30)
        term.wait_quiet(1.0, 10)
        with open(log) as f:
            return f.read().splitlines()[1:]
    finally:
        term.close()
        app.close()
        shutil.rmtree(root, ignore_errors=True)


def main():
    wine = find_wine()
    if wine is None:
        return skip("Wine (wine64) is not installed")
    if shutil.which(MINGW) is None:
        return skip("mingw-w64 (%s) is not installed" % MINGW)
    if not os.access(h.STANDIN, os.X_OK):
        print("test-agents (Windows): %s is missing; build first (make build)" % h.STANDIN)
        return 1
    if not os.path.exists(TALVANE_EXE):
        done = subprocess.run("cmake --preset windows >/dev/null && cmake --build --preset "
                              "windows -j2 --target talvane", shell=True, cwd=h.ROOT)
        if done.returncode != 0:
            print("test-agents (Windows): talvane.exe did not build")
            return 1
    try:
        why = install_agents()
    except a.RegistryUnreachable as e:
        return skip("the npm registry cannot be reached (%s)" % e)
    builds = [Build("codex", "codex.exe", CODEX_EXE)]
    for package in CLAUDE_PACKAGES:
        if why:
            break
        exe, why = patch_claude(package)
        builds.append(Build("claude", "claude.exe %s" % package_version(package), exe))
    why = why or build_helpers(HELPERS)
    if why:
        print("test-agents (Windows): %s\n0 passed, 1 failed" % why)
        return 1
    prefix = Wine(wine, HELPERS)
    why = prefix.set_up()
    suite = Suite(prefix)
    began = time.monotonic()
    try:
        if why:
            suite.check("Wine prefix set up", False, why)
        else:
            if sys.argv[1:2] == ["--keys"]:
                for agent in ("codex", "claude"):
                    for vt in (False, True):
                        print("== %s, %s input" % (agent, "VT" if vt else "key"))
                        print("\n".join(record_keys(prefix, agent, "ab\ncd", vt)))
                return 0
            wanted = os.environ.get("TEST_AGENTS", "codex claude").split()
            for build in builds:
                if build.agent in wanted:
                    run_agent(suite, build)
    finally:
        prefix.tear_down()
    print("took %.0f s" % (time.monotonic() - began))
    print("%d passed, %d failed" % (suite.passed, suite.failed))
    return 0 if suite.failed == 0 and suite.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
