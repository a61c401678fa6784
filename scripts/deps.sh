#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ make libboost-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          googletest g++-mingw-w64-x86-64-posix wine64 python3 util-linux clang-format)
# node and npm install the real agents for make test-agents; a node of its own will do.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
