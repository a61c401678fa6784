#!/usr/bin/env bash
# Formats the C++ sources with clang-format (.clang-format at the root), or with --check says
# which files it would change and fails. The format is that of clang-format 14, Debian 12's:
# other versions lay some lines out differently, so --check skips, saying so, under another one.
set -euo pipefail
cd "$(dirname "$0")/.."

PINNED_MAJOR=14
check=0
[ "${1:-}" = "--check" ] && check=1

if ! command -v clang-format >/dev/null 2>&1; then
  echo "format: clang-format is not installed (make deps installs it)"
  exit 1
fi
major=$(clang-format --version | sed -n 's/.*version \([0-9][0-9]*\)\..*/\1/p')
if [ "$major" != "$PINNED_MAJOR" ]; then
  if [ $check -eq 1 ]; then
    echo "format check skipped: clang-format $major is not the pinned $PINNED_MAJOR"
    exit 0
  fi
  echo "format: clang-format $major is not the pinned $PINNED_MAJOR; its layout may differ"
fi

mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
                                     'fuzz/*.cpp' 'fuzz/*.h' 'tools/*.cpp' 'tools/*.h')
if [ $check -eq 0 ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if ! clang-format --dry-run --Werror "${files[@]}" 2>"$report"; then
  echo "format: these files are not as clang-format writes them (make format mends them):"
  grep -oE '^[^ :]+\.(cpp|h):[0-9]+:[0-9]+: error' "$report" | cut -d: -f1 | sort -u | sed 's/^/  /'
  exit 1
fi
echo "format: every C++ source is as clang-format writes it"
