#!/usr/bin/env bash
# make demo: talvane with a stand-in app and a demo agent, in this terminal.
#
# Installs what is missing, builds talvane and the stand-in app, starts the stand-in app in a
# temporary data directory, puts the demo agent on a temporary PATH as `claude` (or `codex` with
# DEMO_AGENT=codex) and runs `talvane claude` here. The stand-in app sends two voice replies a
# few seconds apart and then asks the session to end, which ends talvane. Type freely meanwhile;
# Ctrl+C or Ctrl+D ends the demo agent (and with it talvane) early.
#
# On every way out the stand-in app is stopped, the temporary directory removed and the
# terminal's settings restored.
set -euo pipefail
cd "$(dirname "$0")/.."

agent=${DEMO_AGENT:-claude}
case $agent in claude|codex) ;; *) echo "DEMO_AGENT must be claude or codex" >&2; exit 2 ;; esac
if [ ! -t 0 ] || [ ! -t 1 ]; then
  echo "make demo needs a terminal (run it in a terminal window or in tmux)." >&2
  exit 1
fi

scripts/deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target talvane talvane-standin demo_agent

tmp=$(mktemp -d "${TMPDIR:-/tmp}/talvane-demo.XXXXXX")
saved_tty=$(stty -g)
standin_pid=""
cleanup() {
  if [ -n "$standin_pid" ]; then
    kill "$standin_pid" 2>/dev/null || true
    wait "$standin_pid" 2>/dev/null || true
  fi
  stty "$saved_tty" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mkdir -p "$tmp/bin" "$tmp/data"
cp build/linux/demo_agent "$tmp/bin/$agent"

# The stand-in app's part, timed from its start (talvane registers right after).
cat >"$tmp/script" <<'SCRIPT'
sleep 4000
reply Voice reply one: please add a test for the empty input case.
sleep 6000
reply Voice reply two,\nover two lines: then run the whole suite.
sleep 5000
shutdown
SCRIPT
build/linux/talvane-standin --data-dir "$tmp/data" --script "$tmp/script" \
  >"$tmp/standin.log" 2>&1 </dev/null &
standin_pid=$!
for _ in $(seq 1 100); do
  [ -f "$tmp/data/managed-session-token.json" ] && break
  sleep 0.05
done

printf '\n== talvane %s, with a stand-in app; voice replies in 4 s and 10 s, the end at 15 s ==\n\n' "$agent"
status=0
PATH="$tmp/bin:$PATH" TALVANE_DATA_DIR="$tmp/data" build/linux/talvane "$agent" || status=$?
stty "$saved_tty" 2>/dev/null || true

printf '\n== talvane ended with status %s. What the stand-in app saw:\n' "$status"
sed -e 's/"token":"[0-9a-f]\{64\}"/"token":"…"/' "$tmp/standin.log"
exit "$status"
