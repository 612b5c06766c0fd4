#!/bin/sh
# Builds the Windows registration tool, the browser stand-in, the test's
# Nelo.exe and (unless a host is given) a stand-in host, each with one
# compiler call, makes an MSI of them, and runs tests/windows/msi_test.sh
# under Wine:
#
#   scripts/test-windows-tools.sh [--host PATH-TO-velmora-extension.exe] [BUILD-DIR]
#
# BUILD-DIR defaults to build-wintools. Needs g++-mingw-w64-x86-64-posix,
# wine, wine64, wixl and cmake.
set -eu

root=$(cd -- "$(dirname -- "$0")/.." && pwd)
host=
if [ "${1-}" = --host ]; then
  [ $# -ge 2 ] || { echo "test-windows-tools.sh: --host needs a path" >&2; exit 2; }
  host=$(cd -- "$(dirname -- "$2")" && pwd)/$(basename -- "$2")
  shift 2
fi
build=${1:-$root/build-wintools}
mkdir -p "$build"

compile() {
  x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -municode -Wall -Wextra -Werror "$1" -o "$2" \
    -ladvapi32 -lshell32 -lole32 -lversion -lmsi
}
compile "$root/tools/windows/velmora_register.cpp" "$build/velmora-register.exe" &
compile "$root/tests/windows/browser_standin.cpp" "$build/browser-standin.exe" &
wait
compile "$root/tests/windows/nelo_standin.cpp" "$build/Nelo.exe" &
if [ -z "$host" ]; then
  compile "$root/tests/windows/host_standin.cpp" "$build/host-standin.exe" &
  host=$build/host-standin.exe
fi
wait
"$root/scripts/build-msi.sh" --callers 'chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/;velmora@example.org' \
  "$host" "$build/velmora-register.exe" "$build/velmora-extension-test.msi"
sh "$root/tests/windows/msi_test.sh" "$host" "$build/velmora-register.exe" "$build/browser-standin.exe" \
  "$build/Nelo.exe" "$build/velmora-extension-test.msi"
