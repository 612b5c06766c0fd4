#!/usr/bin/env bash
# Builds everything and runs every test: a plain build (with the real-browser
# round trip), the Windows build with its tests under Wine, the unit and
# process tests with AddressSanitizer and UndefinedBehaviorSanitizer, the
# threaded tests with ThreadSanitizer, and every fuzz target for a bounded
# time (FUZZ_SECONDS, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each phase ends with a line on stderr giving its wall time, the CPU time
# of the commands it ran and the load average: the machine may be shared, and
# CPU time is the figure that another user's work does not change.
ticks=$(getconf CLK_TCK)
cpu_seconds() {
  # User and system time of this shell's finished children, from the kernel.
  awk -v ticks="$ticks" '{ printf "%.0f", ($16 + $17) / ticks }' "/proc/$$/stat"
}
phase_wall=$SECONDS
phase_cpu=$(cpu_seconds)
phase_done() {
  local cpu
  cpu=$(cpu_seconds)
  echo "$1: $((SECONDS - phase_wall)) s, CPU $((cpu - phase_cpu)) s, load $(cut -d ' ' -f 1-3 /proc/loadavg)" >&2
  phase_wall=$SECONDS
  phase_cpu=$cpu
}

scripts/install-deps.sh
phase_done "install-deps"

jobs=$(nproc)

# The tests make their temporary files in a folder of this run's own, which
# must be empty again after each test run.
test_tmp=$(mktemp -d)
trap 'rm -rf "$test_tmp"' EXIT
run_tests() {
  TMPDIR=$test_tmp ctest "$@"
  local left
  left=$(ls -A "$test_tmp")
  if [[ -n $left ]]; then
    echo "The tests left in the temporary folder: $left" >&2
    return 1
  fi
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DVELMORA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build" >&2
# Callers configured, so that the package tests see the system-wide manifests.
configure_and_build build -DVELMORA_ALLOWED_CALLERS="chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/;velmora@example.org"
phase_done "plain build"
run_tests --test-dir build --output-on-failure -j "$jobs"
phase_done "plain tests"

echo "== Windows build (MinGW, under Wine)" >&2
# One Wine prefix for the whole run, in a temporary folder of its own: made
# once (its set-up takes a quarter of a minute), its server and services
# started with all input and output on /dev/null (else a test that captures
# stderr hangs on the services that inherited it), stopped and removed at the
# end. Every wine process of the run sees the same TMPDIR, under which Wine
# finds its server: another would start a second server with a registry of
# its own. Local AppData names %VELMORA_LOCALAPPDATA%, which each host's
# environment points at a scratch folder: Wine sets LOCALAPPDATA itself.
wine_tmp=$(mktemp -d)
stop_wine() {
  if [[ -d $wine_tmp/prefix ]]; then
    WINEPREFIX=$wine_tmp/prefix wineserver -k >/dev/null 2>&1 || true
    # The server's socket folder, which Wine names after the prefix's device
    # and inode in a folder of its own under TMPDIR, goes too.
    local server
    server=$(printf 'server-%x-%x' $(stat -c '%d %i' "$wine_tmp/prefix"))
    for dir in "${TMPDIR:-/tmp}"/wine-*/"$server"; do
      if [[ -d $dir ]]; then
        rm -rf "$dir"
        rmdir "$(dirname "$dir")" 2>/dev/null || true
      fi
    done
  fi
  rm -rf "$wine_tmp"
}
trap 'stop_wine; rm -rf "$test_tmp"' EXIT
export WINEPREFIX=$wine_tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
export VELMORA_LOCALAPPDATA="Z:${wine_tmp//\//\\}\\localappdata"
mkdir "$WINEPREFIX" "$wine_tmp/localappdata"
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
  /v 'Local AppData' /t REG_EXPAND_SZ /d '%VELMORA_LOCALAPPDATA%' /f </dev/null >/dev/null 2>&1
VELMORA_JOBS=$jobs scripts/build-windows.sh -DVELMORA_LINUX_PROCESS_TESTS="$PWD/build/tests/process_tests"
ctest --test-dir build-windows --output-on-failure -j "$jobs"
stop_wine
unset WINEPREFIX VELMORA_LOCALAPPDATA
phase_done "Windows part"

# The sanitizer builds are optimised for debugging (-Og) with line tables
# only (-g1): the checks are the same (GCC's object-size check runs from -Og
# up), the reports still name file and line, and they build in less than
# half the time that -O2 -g takes.
sanitizer_flags="-Og -g1 -DNDEBUG"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build" >&2
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure_and_build build-asan -DVELMORA_SANITIZE=ON -DVELMORA_BENCHMARKS=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$sanitizer_flags"
phase_done "ASan+UBSan build"
run_tests --test-dir build-asan --output-on-failure -j "$jobs"
phase_done "ASan+UBSan tests"

echo "== ThreadSanitizer build (the tests that run threads)" >&2
cmake -S . -B build-tsan -G Ninja -DVELMORA_WERROR=ON -DVELMORA_TSAN=ON -DVELMORA_BENCHMARKS=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$sanitizer_flags" >/dev/null
cmake --build build-tsan -j "$jobs" --target storage_tests platform_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/src/storage_tests --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 build-tsan/src/platform_tests --gtest_brief=1
phase_done "TSan build and tests"

echo "== fuzzing" >&2
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
phase_done "fuzzing"
echo "test command: $SECONDS s, CPU $(cpu_seconds) s" >&2
