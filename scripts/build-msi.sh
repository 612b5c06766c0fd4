#!/bin/sh
# Makes the Windows installer from a built host and registration tool, with
# the same sources as the msi target of a Windows build:
#
#   scripts/build-msi.sh [--callers 'ORIGIN;ADDON-ID'] [HOST.exe REGISTER.exe [OUTPUT.msi]]
#
# Defaults: the build-windows folder's velmora-extension.exe and
# velmora-register.exe, and build-windows/velmora-extension.msi; the callers
# come from --callers, else VELMORA_ALLOWED_CALLERS, else that build's cache.
# Needs cmake and wixl (apt-get install cmake wixl).
set -eu

root=$(cd -- "$(dirname -- "$0")/.." && pwd)
callers=${VELMORA_ALLOWED_CALLERS-}
callers_given=${VELMORA_ALLOWED_CALLERS+yes}
if [ "${1-}" = --callers ]; then
  [ $# -ge 2 ] || { echo "build-msi.sh: --callers needs a value" >&2; exit 2; }
  callers=$2
  callers_given=yes
  shift 2
fi
host=${1:-$root/build-windows/src/velmora-extension.exe}
register=${2:-$root/build-windows/tools/windows/velmora-register.exe}
output=${3:-$root/build-windows/velmora-extension.msi}
cache=$root/build-windows/CMakeCache.txt
if [ -z "$callers_given" ] && [ -f "$cache" ]; then
  callers=$(sed -n 's/^VELMORA_ALLOWED_CALLERS:STRING=//p' "$cache")
fi
for file in "$host" "$register"; do
  [ -f "$file" ] || { echo "build-msi.sh: $file is missing: build it first" >&2; exit 2; }
done
command -v wixl >/dev/null 2>&1 || { echo "build-msi.sh: wixl is missing: apt-get install wixl" >&2; exit 2; }

version=$(sed -n 's/^project(velmora-extension VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
sources=$(mktemp -d)
trap 'rm -rf "$sources"' EXIT
cmake "-DVELMORA_MSI_DIR=$sources/msi" "-DVELMORA_ALLOWED_CALLERS=$callers" "-DVELMORA_MSI_VERSION=$version" \
  -P "$root/packaging/windows/msi.cmake"
[ -n "$callers" ] || echo "build-msi.sh: no allowed callers: the MSI holds no browser manifests" >&2
cp "$host" "$sources/msi/velmora-extension.exe"
cp "$register" "$sources/msi/velmora-register.exe"
mkdir -p "$(dirname -- "$output")"
case $output in /*) ;; *) output=$(pwd)/$output ;; esac
(cd "$sources/msi" && wixl -a x64 -o "$output" velmora-extension.wxs)
echo "wrote $output"
