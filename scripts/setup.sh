#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project.
#   setup.sh            the native build and its tests
#   setup.sh --windows  also the mingw-w64 cross compilers, GoogleTest's source
#                       and wine64, for scripts/test-windows.sh
set -euo pipefail
packages=(cmake ninja-build g++ clang lld libgtest-dev libgmock-dev libbenchmark-dev
          libclang-rt-14-dev binutils libunicorn-dev libcli11-dev nlohmann-json3-dev pkg-config python3 gdb)
windows_packages=(gcc-mingw-w64-i686 g++-mingw-w64-i686 gcc-mingw-w64-x86-64
                  g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                  googletest wine64)
if [[ ${1:-} == --windows ]]; then
    packages+=("${windows_packages[@]}")
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
