#!/usr/bin/env bash
# Builds the native configuration with a sanitizer preset (asan or tsan) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc 2>/dev/null || echo 2)"
ctest --preset "$preset"
