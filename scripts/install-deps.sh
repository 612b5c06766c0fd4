#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, and web-ext for the
# Firefox round trip from the npm registry at the version the lock file pins,
# skipping all work when they are already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkgconf
  libboost-json1.81-dev libboost-url1.81-dev libboost1.81-dev libutf8proc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dpkg-dev file git lintian chromium firefox-esr python3
  e2fsprogs xfsprogs btrfs-progs
  clang-14 libclang-rt-14-dev llvm-14
  flatpak flatpak-xdg-utils bubblewrap ostree dbus
)

# Debian's Node.js 18 runs web-ext 9; a newer Node.js already here will do.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

browser_tests=$(cd "$(dirname "$0")/../tests/browser" && pwd)
if ! cmp -s "$browser_tests/package-lock.json" "$browser_tests/node_modules/.velmora-lock" 2>/dev/null; then
  echo "Installing web-ext" >&2
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$browser_tests/package-lock.json" "$browser_tests/node_modules/.velmora-lock"
fi
