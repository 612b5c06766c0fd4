#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping all work when they
# are already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkgconf
  libboost-json1.81-dev libboost-url1.81-dev libboost1.81-dev libutf8proc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dpkg-dev file lintian chromium python3
  clang-14 libclang-rt-14-dev llvm-14
)

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
