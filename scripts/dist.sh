#!/usr/bin/env bash
# Builds the release packages from fresh build trees: the Windows zip, the Linux tar.gz and the
# Debian package, then SHA256SUMS over the three, all in build/dist. Then checks them
# (scripts/dist-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh lintian

version=$(sed -n 's/^project(talvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
out=build/dist
rm -rf "$out"
mkdir -p "$out"
jobs=$(nproc 2>/dev/null || echo 2)
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DTALVANE_WERROR=ON -DTALVANE_TESTS=OFF)

# Against glibc 2.31, with libstdc++ and libgcc inside: runs on any x86-64 Linux of 2020 or newer.
scripts/glibc-sysroot.sh
cmake -S . -B "$out/linux" "${common[@]}" --toolchain cmake/linux-glibc-2.31.cmake \
  -DTALVANE_STATIC_RUNTIME=ON >/dev/null
cmake --build "$out/linux" -j "$jobs" --target talvane talvane-standin
(cd "$out/linux" && cpack -G TGZ >/dev/null && cpack -G DEB >/dev/null)

cmake -S . -B "$out/windows" "${common[@]}" --toolchain cmake/mingw-w64.cmake >/dev/null
cmake --build "$out/windows" -j "$jobs" --target talvane talvane-standin
(cd "$out/windows" && cpack -G ZIP >/dev/null)

packages=("talvane-$version-windows-x86_64.zip" "talvane-$version-linux-x86_64.tar.gz"
          "talvane_${version}_amd64.deb")
mv "$out/windows/packages/${packages[0]}" "$out/linux/packages/${packages[1]}" \
   "$out/linux/packages/${packages[2]}" "$out/"
(cd "$out" && sha256sum "${packages[@]}" > SHA256SUMS)
echo "== packages in $out"
(cd "$out" && cat SHA256SUMS)
scripts/dist-check.sh "$out" "$version"
