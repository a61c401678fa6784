#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of the build's own.
# Exits 77 (CTest's "skipped") when Wine is not installed.
set -u
wine=""
for w in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$w" >/dev/null 2>&1; then wine=$w; break; fi
done
if [ -z "$wine" ]; then
  echo "Wine is not installed: the Windows tests are skipped."
  exit 77
fi
exe=$1
shift
export WINEPREFIX="${WINEPREFIX:-$(cd "$(dirname "$exe")" && pwd)/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "$wine" "$exe" "$@"
