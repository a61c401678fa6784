#!/usr/bin/env bash
# Unpacks Debian 11's C library (glibc 2.31), libgcc_s and kernel headers into build/sysroot-glibc-2.31,
# for the Linux release build (cmake/linux-glibc-2.31.cmake). apt fetches and verifies the
# packages with this machine's Debian archive keys; the system's own apt state is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot=$PWD/build/sysroot-glibc-2.31
[ -f "$sysroot/.complete" ] && exit 0

apt_dir=$PWD/build/sysroot-apt
rm -rf "$sysroot" "$apt_dir"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/debs" "$sysroot"
echo "deb http://deb.debian.org/debian bullseye main" >"$apt_dir/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o Dir::State::status=/dev/null -o APT::Architecture=amd64 -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update
(cd "$apt_dir/debs" && apt-get "${apt_opts[@]}" -qq download libc6 libc6-dev linux-libc-dev \
  libcrypt1 libcrypt-dev libgcc-s1)
for deb in "$apt_dir"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
# Absolute links (/lib64/ld-linux-x86-64.so.2 and others) point into the sysroot.
find "$sysroot" -type l -lname '/*' | while read -r link; do
  ln -sfn "$sysroot$(readlink "$link")" "$link"
done
rm -rf "$apt_dir"
touch "$sysroot/.complete"
