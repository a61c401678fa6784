"""The real coding agents (Claude Code, Codex CLI from npm) run offline, for the real-agent suite
and the paste measurements. Python 3 standard library only.

- AGENT_SETS: the pinned set (tests/agents, installed into build/agents) and the current releases
  (tests/agents/current, installed into build/agents-current), each pinned by its lock file.
- install_agents(): `npm ci` of tests/agents into build/agents (once per lock file); None with a
  reason when the npm registry cannot be reached. install_agent_set() does the same for any set.
- ModelServer: a mock of the Anthropic Messages API (POST /v1/messages) and of the OpenAI
  Responses API (POST /v1/responses) on 127.0.0.1, answering each request with a minimal
  streaming reply and recording its JSON body.
- AnsweringTerminal: a pty_harness.Terminal that answers the terminal queries the agents send
  (cursor position, device attributes, OSC 10/11 colours, kitty keyboard flags) like a terminal.
- BusyCpus: a busy loop on every CPU while in a `with` block.
- long_text(): a long reply over many lines, with quotes and non-ASCII text.
- agent_home(): a fresh HOME in which the agent reaches its prompt without sign-in or dialogs.
"""

import hashlib
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import pty_harness as h

PACKAGE_DIR = os.path.join(h.ROOT, "tests", "agents")
INSTALL_DIR = os.path.join(h.ROOT, "build", "agents")
AGENT_BIN = os.path.join(INSTALL_DIR, "node_modules", ".bin")
# (name, folder holding package.json and package-lock.json, install folder)
AGENT_SETS = (("pinned", PACKAGE_DIR, INSTALL_DIR),
              ("current", os.path.join(PACKAGE_DIR, "current"),
               os.path.join(h.ROOT, "build", "agents-current")))
API_KEY = "sk-talvane-offline-test"
MODEL_TEXT = "Done."
DEAD_PROXY = "http://127.0.0.1:9"  # the discard port: nothing listens there


UNREACHABLE = ("FetchError", "ECONNREFUSED", "ENOTFOUND", "EAI_AGAIN", "ETIMEDOUT",
               "ENETUNREACH", "ECONNRESET")


class RegistryUnreachable(Exception):
    pass


def install_agents():
    """(bin directory, None) once both agents are installed, or (None, reason). Raises
    RegistryUnreachable when npm cannot reach its registry."""
    return install_agent_set(PACKAGE_DIR, INSTALL_DIR)


def agent_set(name):
    """(package folder, install folder) of the set called `name` ("pinned" or "current")."""
    for set_name, package_dir, install_dir in AGENT_SETS:
        if set_name == name:
            return package_dir, install_dir
    raise ValueError("no agent set %r" % name)


def install_agent_set(package_dir, install_dir):
    """install_agents() for the set pinned in `package_dir`, installed into `install_dir`."""
    bin_dir = os.path.join(install_dir, "node_modules", ".bin")
    lock = os.path.join(package_dir, "package-lock.json")
    with open(lock, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    stamp = os.path.join(install_dir, ".installed")
    if os.path.exists(stamp) and open(stamp).read() == digest and all(
            os.access(os.path.join(bin_dir, a), os.X_OK) for a in ("claude", "codex")):
        return bin_dir, None
    if shutil.which("npm") is None:
        return None, "npm is not installed (scripts/deps.sh installs it)"
    shutil.rmtree(install_dir, ignore_errors=True)
    os.makedirs(install_dir)
    for name in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(package_dir, name), install_dir)
    try:
        done = subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--fetch-retries=1",
                               "--fetch-timeout=30000"], cwd=install_dir, capture_output=True,
                              text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return None, "npm ci took over 10 minutes"
    if done.returncode != 0:
        errors = [line[len("npm error "):] for line in done.stderr.splitlines()
                  if line.startswith("npm error ") and "complete log" not in line]
        why = next((e for e in errors if "Error" in e), errors[0] if errors else None)
        why = why or "exit %d" % done.returncode
        if any(code in done.stderr for code in UNREACHABLE):
            raise RegistryUnreachable(why)
        return None, "npm ci failed: " + why
    with open(stamp, "w") as f:
        f.write(digest)
    return bin_dir, None


def agent_version(bin_dir, agent):
    package = {"claude": "@anthropic-ai/claude-code", "codex": "@openai/codex"}[agent]
    with open(os.path.join(bin_dir, "..", package, "package.json")) as f:
        return json.load(f)["version"]


# ---------------------------------------------------------------------------------------------
# Mock model servers


def _sse(events):
    return b"".join(b"event: %s\ndata: %s\n\n" % (name.encode(), json.dumps(data).encode())
                    for name, data in events)


def anthropic_events(model):
    message = {"id": "msg_offline", "type": "message", "role": "assistant", "model": model,
               "content": [], "stop_reason": None, "stop_sequence": None,
               "usage": {"input_tokens": 1, "output_tokens": 1}}
    return _sse([
        ("message_start", {"type": "message_start", "message": message}),
        ("content_block_start", {"type": "content_block_start", "index": 0,
                                 "content_block": {"type": "text", "text": ""}}),
        ("content_block_delta", {"type": "content_block_delta", "index": 0,
                                 "delta": {"type": "text_delta", "text": MODEL_TEXT}}),
        ("content_block_stop", {"type": "content_block_stop", "index": 0}),
        ("message_delta", {"type": "message_delta",
                           "delta": {"stop_reason": "end_turn", "stop_sequence": None},
                           "usage": {"output_tokens": 1}}),
        ("message_stop", {"type": "message_stop"}),
    ])


def anthropic_message(model):
    return json.dumps({"id": "msg_offline", "type": "message", "role": "assistant", "model": model,
                       "content": [{"type": "text", "text": MODEL_TEXT}],
                       "stop_reason": "end_turn", "stop_sequence": None,
                       "usage": {"input_tokens": 1, "output_tokens": 1}}).encode()


def openai_events():
    usage = {"input_tokens": 1, "input_tokens_details": None, "output_tokens": 1,
             "output_tokens_details": None, "total_tokens": 2}
    item = {"type": "message", "role": "assistant", "id": "msg_offline", "status": "completed",
            "content": [{"type": "output_text", "text": MODEL_TEXT, "annotations": []}]}
    return _sse([
        ("response.created", {"type": "response.created",
                              "response": {"id": "resp_offline", "status": "in_progress"}}),
        ("response.output_item.done", {"type": "response.output_item.done", "output_index": 0,
                                       "item": item}),
        ("response.completed", {"type": "response.completed",
                                "response": {"id": "resp_offline", "status": "completed",
                                             "usage": usage}}),
    ])


class ModelServer:
    """Both mock model APIs on one free port of 127.0.0.1. `requests` holds (path, JSON body) of
    every model request, in arrival order."""

    def __init__(self):
        self.requests = []
        self.changed = threading.Condition()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def handle(self):
                try:
                    super().handle()
                except ConnectionError:  # an agent ended mid-request
                    pass

            def do_GET(self):
                path = self.path.split("?")[0]
                body = b'{"data":[],"models":[]}' if path.endswith("/models") else b"{}"
                self.answer(200 if path.endswith("/models") else 404, "application/json", body)

            def do_HEAD(self):
                self.answer(200, "text/plain", b"")

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length)
                try:
                    body = json.loads(raw or b"{}")
                except ValueError:
                    body = {"unreadable": raw.decode("utf-8", "replace")}
                path = self.path.split("?")[0]
                with server.changed:
                    server.requests.append((path, body))
                    server.changed.notify_all()
                if path.endswith("/v1/messages/count_tokens"):
                    self.answer(200, "application/json", b'{"input_tokens":1}')
                elif path.endswith("/v1/messages"):
                    model = body.get("model", "claude") if isinstance(body, dict) else "claude"
                    if isinstance(body, dict) and body.get("stream"):
                        self.answer(200, "text/event-stream", anthropic_events(model))
                    else:
                        self.answer(200, "application/json", anthropic_message(model))
                elif path.endswith("/responses"):
                    self.answer(200, "text/event-stream", openai_events())
                else:
                    self.answer(404, "application/json", b"{}")

            def answer(self, status, content_type, body):
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def count(self):
        with self.changed:
            return len(self.requests)

    def wait_for_user_text(self, text, timeout_s, start=0):
        """The index of the first model request from `start` on whose last user message holds
        `text` exactly as one of its text parts, or as the whole of a paste the agent wrapped in
        one of them (submitted_texts); None on time-out."""
        deadline = time.monotonic() + timeout_s
        with self.changed:
            i = start
            while True:
                while i < len(self.requests):
                    if text in submitted_texts(self.requests[i][1]):
                        return i
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)


# Claude Code 2.1.337 sends a large paste inside the user message's text as
# <pasted_content id="ID">\nTEXT\n</pasted_content id="ID">.
WRAPPED_PASTE = re.compile(r'<pasted_content id="[^"]*">\n?(.*?)\n?</pasted_content(?:\s[^>]*)?>',
                           re.S)


def submitted_texts(body):
    """last_user_texts(), and the text between the markers of every paste wrapped in them."""
    texts = last_user_texts(body)
    return texts + [m.group(1) for t in texts for m in WRAPPED_PASTE.finditer(t)]


def last_user_texts(body):
    """The text parts of the last user message of an Anthropic or OpenAI request body."""
    if not isinstance(body, dict):
        return []
    items = body.get("messages") if "messages" in body else body.get("input")
    if isinstance(items, str):
        return [items]
    if not isinstance(items, list):
        return []
    for item in reversed(items):
        if not isinstance(item, dict) or item.get("role") != "user":
            continue
        content = item.get("content")
        if isinstance(content, str):
            return [content]
        texts = []
        for part in content if isinstance(content, list) else []:
            if isinstance(part, dict) and isinstance(part.get("text"), str):
                texts.append(part["text"])
        return texts
    return []


def long_text(label, kib):
    """Exactly `kib` KiB of UTF-8 over many lines, with quotes and non-ASCII text."""
    size = kib * 1024
    lines, used = [], -1
    while True:
        line = ("%s, %d KB reply, line %d: said \"double\" and 'single' quotes, "
                "gr\u00fc\u00dfe \u00e9t\u00e9 \u2713 \u65e5\u672c\u8a9e"
                % (label, kib, len(lines) + 1))
        if used + 1 + len(line.encode()) + 5 > size:
            break
        lines.append(line)
        used += 1 + len(line.encode())
    rest = size - used - 1
    lines.append("end." + "." * (rest - 4))
    text = "\n".join(lines)
    assert len(text.encode()) == size
    return text


class BusyCpus:
    """One busy loop per CPU while in a `with` block."""

    def __enter__(self):
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                      for _ in range(os.cpu_count() or 1)]
        return self

    def __exit__(self, *exc):
        for proc in self.procs:
            proc.send_signal(signal.SIGKILL)
            proc.wait()


# ---------------------------------------------------------------------------------------------
# A terminal that answers queries

QUERY = re.compile(rb"\x1b\[(\??)6n|\x1b\[([>=]?)0?c|\x1b\](1[01]);\?(?:\x07|\x1b\\)|\x1b\[\?u"
                   rb"|\x1b\[>0?q|\x1b\[1[48]t|\x1b\[\?(\d+)\$p")
QUERY_TAIL = 32  # a query split across reads is found once its rest arrives


class AnsweringTerminal(h.Terminal):
    """Answers as a dark xterm-like terminal of the current size, cursor at the top left."""

    def __init__(self, argv, env, columns=100, rows=30):
        self.size = (columns, rows)
        self.scanned = 0
        super().__init__(argv, env, columns, rows)

    def set_size(self, columns, rows):
        self.size = (columns, rows)
        super().set_size(columns, rows)

    def read_some(self, timeout_s):
        data = super().read_some(timeout_s)
        if data:
            for match in QUERY.finditer(self.output, max(0, self.scanned - QUERY_TAIL)):
                if match.end() > self.scanned:  # not answered yet
                    self.type(self.answer(match))
            self.scanned = len(self.output)
        return data

    def answer(self, match):
        query = match.group(0)
        if query.endswith(b"6n"):
            return b"\x1b[%s1;1R" % match.group(1)
        if query.endswith(b"c"):
            return {b"": b"\x1b[?62;22c", b">": b"\x1b[>1;10;0c", b"=": b"\x1bP!|00000000\x1b\\"}[
                match.group(2)]
        if query.startswith(b"\x1b]"):
            colour = b"ffff/ffff/ffff" if match.group(3) == b"10" else b"0000/0000/0000"
            return b"\x1b]%s;rgb:%s\x1b\\" % (match.group(3), colour)
        if query == b"\x1b[?u":
            return b"\x1b[?0u"
        if query.endswith(b"q"):
            return b"\x1bP>|xterm(390)\x1b\\"
        if query.endswith(b"t"):
            columns, rows = self.size
            return b"\x1b[4;%d;%dt" % (rows * 16, columns * 8) if b"14" in query else \
                b"\x1b[8;%d;%dt" % (rows, columns)
        return b"\x1b[?%s;0$y" % match.group(4)

    def wait_quiet(self, quiet_s, timeout_s):
        """Reads until no output has come for `quiet_s`; False if that never happened."""
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if not self.read_some(min(quiet_s, max(deadline - time.monotonic(), 0))):
                return not self.eof
        return False


# ---------------------------------------------------------------------------------------------
# Agent homes and environments


def agent_home(root, agent, model_url, cwd):
    """A fresh HOME for `agent` under `root`; the environment additions that go with it."""
    home = os.path.join(root, "home")
    os.makedirs(home)
    if agent == "claude":
        state = {"hasCompletedOnboarding": True,
                 "customApiKeyResponses": {"approved": [API_KEY[-20:]], "rejected": []},
                 "projects": {cwd: {"hasTrustDialogAccepted": True}}}
        with open(os.path.join(home, ".claude.json"), "w") as f:
            json.dump(state, f)
        return home, {"ANTHROPIC_API_KEY": API_KEY, "ANTHROPIC_BASE_URL": model_url,
                      "DISABLE_AUTOUPDATER": "1",
                      "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC": "1"}
    codex = os.path.join(home, ".codex")
    os.makedirs(codex)
    with open(os.path.join(codex, "auth.json"), "w") as f:
        json.dump({"auth_mode": "apikey", "OPENAI_API_KEY": API_KEY}, f)
    with open(os.path.join(codex, "config.toml"), "w") as f:
        f.write('model = "offline-model"\nmodel_provider = "offline"\n\n'
                '[model_providers.offline]\nname = "offline"\nbase_url = "%s/v1"\n'
                'wire_api = "responses"\nenv_key = "OPENAI_API_KEY"\n'
                'request_max_retries = 0\nstream_max_retries = 0\n\n'
                '[tui]\nscreen_reader_detection_done = true\n\n'
                '[projects."%s"]\ntrust_level = "trusted"\n' % (model_url, cwd))
    return home, {"OPENAI_API_KEY": API_KEY}


def agent_env(home, bin_dir, extra, data_dir=None):
    env = {"PATH": bin_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
           "TERM": "xterm-256color", "COLORTERM": "truecolor", "SHELL": "/bin/sh",
           "LANG": "C.UTF-8", "USER": os.environ.get("USER", "tester"),
           # Offline: whatever the agents fetch besides the mock model (a plugin catalogue
           # cloned with git, feature flags) fails at once, on 127.0.0.1.
           "HTTPS_PROXY": DEAD_PROXY, "HTTP_PROXY": DEAD_PROXY, "https_proxy": DEAD_PROXY,
           "http_proxy": DEAD_PROXY, "ALL_PROXY": DEAD_PROXY, "GIT_ALLOW_PROTOCOL": "file",
           "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost"}
    if data_dir:
        env["TALVANE_DATA_DIR"] = data_dir
    env.update(extra)
    return env


def agent_argv(agent):
    return ["--no-daemon"] if agent == "codex" else []


def descendants(pid):
    """The pids of every live descendant of `pid` (from /proc)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
