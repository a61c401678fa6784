#!/usr/bin/env bash
# Builds the native and the Windows configuration and runs every test of both.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

status=0
echo "== native tests"
ctest --preset linux || status=1
echo "== Windows tests (Wine)"
ctest --preset windows || status=1
exit $status
