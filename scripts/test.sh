#!/usr/bin/env bash
# Builds the native, the portable POSIX and the Windows configuration and runs every test of each.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
for preset in linux portable windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
scripts/lint-workflows.sh

status=0
echo "== native tests"
ctest --preset linux || status=1
echo "== native tests, portable POSIX calls only (as on macOS and the BSDs)"
ctest --preset portable || status=1
echo "== Windows tests (Wine)"
ctest --preset windows || status=1
exit $status
