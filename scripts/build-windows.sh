#!/usr/bin/env bash
# Cross-builds the Windows x64 host with MinGW-w64 into build-windows/, with
# warnings as errors: build-windows/src/velmora-extension.exe, one static
# program that needs only system DLLs, and the unit tests, which ctest runs
# under Wine. Arguments are passed on to cmake's configure step.
#
# The Windows tools and the installer (tools/velmora-register.exe, a browser
# stand-in, the MSI that wixl makes from packaging/windows/*.wxs) are built by
# the same command once their CMake files are in place: the top CMakeLists.txt
# adds packaging/windows/ for a Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WERROR=ON "$@" >/dev/null
cmake --build build-windows -j "${VELMORA_JOBS:-2}"
