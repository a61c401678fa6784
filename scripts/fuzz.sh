#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time (FUZZ_SECONDS, default 60) on a
# copy of its seed corpus, so the corpus in the repository stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=()
for source in fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  work="build/fuzz/corpus-$name"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  echo "== fuzz $name for ${seconds}s"
  "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
    "$work" 2>&1 | tail -n 3
done
echo "fuzz: no crash"
