#!/usr/bin/env bash
# Cross-builds the Windows x64 host with MinGW-w64 into build-windows/, with
# warnings as errors: build-windows/src/velmora-extension.exe, one static
# program that needs only system DLLs, and the unit tests, which ctest runs
# under Wine. Arguments are passed on to cmake's configure step.
#
# What Windows alone has comes in through packaging/windows/, which the top
# CMakeLists.txt adds for a Windows build: velmora-register.exe, the browser
# stand-in and the installer's test; the MSI,
# build-windows/velmora-extension.msi, is made with wixl.
set -euo pipefail
cd "$(dirname "$0")/.."

# -O2 as in the Linux build, and no debugging sections: the shipped program
# drops them, and making them is a good part of the build's time.
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DVELMORA_WERROR=ON "$@" >/dev/null
cmake --build build-windows -j "${VELMORA_JOBS:-2}"
# The installer, from the host and the registration tool just built.
cmake --build build-windows -j "${VELMORA_JOBS:-2}" --target msi
