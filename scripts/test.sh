#!/usr/bin/env bash
# Builds the native, the portable POSIX and the Windows configuration and runs every test of each.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/format.sh --check
jobs=$(nproc 2>/dev/null || echo 2)
for preset in linux portable windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
scripts/lint-workflows.sh

# The portable build must import none of the Linux-only calls our code might make, whichever file
# they come from. (Boost.Asio's epoll, eventfd and timerfd are its own choice: kqueue on macOS.)
linux_only='pipe2|dup3|accept4|close_range|syscall|pidfd_[a-z_]+|signalfd|ppoll|inotify_[a-z_]+|memfd_create|getrandom|prctl'
for program in talvane talvane-standin talvane_tests fake_agent; do
  if found=$(objdump -T "build/portable/$program" | grep -Ewo "($linux_only)$"); then
    echo "build/portable/$program imports Linux-only calls: $(echo $found)"
    exit 1
  fi
done
echo "portable build: no Linux-only call imported"

status=0
echo "== native tests"
ctest --preset linux || status=1
echo "== native tests, portable POSIX calls only (as on macOS and the BSDs)"
ctest --preset portable || status=1
echo "== Windows tests (Wine)"
ctest --preset windows || status=1
exit $status
