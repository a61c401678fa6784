#!/usr/bin/env bash
# Checks the release packages in DIR (default build/dist) for VERSION: each archive holds exactly
# the programs and the README and, unpacked into an empty directory, answers --help with status 0
# (the Windows zip under Wine); the Linux programs need glibc 2.31 at most and no shared libstdc++,
# and run on Debian 11's C library; the Debian package installs into a scratch root and passes
# lintian without errors.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(cd "${1:-build/dist}" && pwd)
version=${2:-$(sed -n 's/^project(talvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)}
work=$(mktemp -d "${TMPDIR:-/tmp}/talvane-dist-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

(cd "$dir" && sha256sum --quiet -c SHA256SUMS) && pass "SHA256SUMS" || fail "SHA256SUMS"

# unpack ARCHIVE: into a new empty directory; prints the sorted list of files inside.
unpack() {
  local into="$work/$(basename "$1")"
  mkdir "$into"
  (cd "$into" && cmake -E tar xf "$1")
  (cd "$into" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}

expect_files() {
  local name=$1 actual=$2 expected=$3
  if [ "$actual" = "$expected" ]; then pass "$name holds exactly: $(echo $expected)"
  else fail "$name holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"; fi
}

expect_help() {
  local name=$1; shift
  local status=0
  "$@" --help >"$work/help.out" 2>"$work/help.err" || status=$?
  if [ "$status" -eq 0 ] && grep -q "talvane" "$work/help.out"; then pass "$name --help"
  else fail "$name --help: status $status"; cat "$work/help.out" "$work/help.err"; fi
}

# The newest glibc symbol version a Linux program needs, and no shared libstdc++.
check_linux_program() {
  local program=$1 newest
  newest=$(objdump -T "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -1)
  if [ "$(printf '%s\n2.31\n' "$newest" | sort -V | tail -1)" = "2.31" ]; then
    pass "$(basename "$program"): newest glibc symbol version $newest (2.31 allowed)"
  else
    fail "$(basename "$program"): newest glibc symbol version $newest (more than 2.31)"
  fi
  if objdump -p "$program" | grep NEEDED | grep -q 'libstdc++'; then
    fail "$(basename "$program") links libstdc++ dynamically"
  fi
}

# --- Linux tar.gz
top="talvane-$version-linux-x86_64"
files=$(unpack "$dir/$top.tar.gz")
expect_files "$top.tar.gz" "$files" "$(printf '%s\n' "$top/bin/talvane" "$top/bin/talvane-standin" \
  "$top/share/doc/talvane/README.md" "$top/share/man/man1/talvane.1.gz" | LC_ALL=C sort)"
expect_help "linux talvane" "$work/$top.tar.gz/$top/bin/talvane"
for p in talvane talvane-standin; do check_linux_program "$work/$top.tar.gz/$top/bin/$p"; done
# With Debian 11's loader and C library (the release build's sysroot), where there is one.
sysroot=build/sysroot-glibc-2.31
if [ -x "$sysroot/lib64/ld-linux-x86-64.so.2" ]; then
  expect_help "linux talvane on glibc 2.31" "$sysroot/lib64/ld-linux-x86-64.so.2" \
    --library-path "$sysroot/lib/x86_64-linux-gnu" "$work/$top.tar.gz/$top/bin/talvane"
fi

# --- Windows zip, under Wine
top="talvane-$version-windows-x86_64"
files=$(unpack "$dir/$top.zip")
expect_files "$top.zip" "$files" "$(printf '%s\n' "$top/README.md" "$top/talvane-standin.exe" \
  "$top/talvane.exe" | LC_ALL=C sort)"
for p in talvane talvane-standin; do
  dlls=$(objdump -p "$work/$top.zip/$top/$p.exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' |
         grep -Ev '^(kernel32|advapi32|bcrypt|ws2_32|mswsock|user32|shell32|ole32|version|msvcrt|api-ms-win-.*|ntdll)\.dll$' || true)
  [ -z "$dlls" ] && pass "$p.exe needs only system DLLs" || fail "$p.exe needs $dlls"
done
if [ -d build/windows/wineprefix ]; then export WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wineprefix}
else export WINEPREFIX=${WINEPREFIX:-$dir/wineprefix}; fi
status=0
scripts/wine-run.sh "$work/$top.zip/$top/talvane.exe" --help >"$work/help.out" 2>&1 || status=$?
if [ "$status" -eq 77 ]; then echo "SKIP windows talvane.exe --help (no Wine)"
else expect_help "windows talvane.exe (Wine)" scripts/wine-run.sh "$work/$top.zip/$top/talvane.exe"; fi

# --- Debian package
deb="$dir/talvane_${version}_amd64.deb"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort)
expect_files "$(basename "$deb")" "$files" "$(printf '%s\n' ./usr/bin/talvane \
  ./usr/share/doc/talvane/README.md ./usr/share/doc/talvane/changelog.gz \
  ./usr/share/doc/talvane/copyright ./usr/share/man/man1/talvane.1.gz | LC_ALL=C sort)"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no libc6 package: its dependency is the host's to meet.
if dpkg --root="$root" --force-depends --force-not-root -i "$deb" >"$work/dpkg.log" 2>&1; then
  expect_help "deb /usr/bin/talvane" "$root/usr/bin/talvane"
else
  fail "dpkg -i"; cat "$work/dpkg.log"
fi
if lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1; then
  pass "lintian: no errors ($(grep -c '^[WIP]:' "$work/lintian.log" || true) warnings or notes)"
else
  fail "lintian"
fi
cat "$work/lintian.log"

[ "$failures" -eq 0 ] && echo "== all package checks passed" || echo "== $failures package checks failed"
exit $((failures > 0))
