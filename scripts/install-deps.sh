#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, utf8proc's source
# for the Windows build (from Debian's source package, into a cache folder
# outside the repository), and web-ext for the Firefox round trip from the npm
# registry at the version the lock file pins, skipping all work when they are
# already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkgconf
  libboost-json1.81-dev libboost-url1.81-dev libboost1.81-dev libutf8proc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dpkg-dev file git lintian chromium firefox-esr python3
  e2fsprogs xfsprogs btrfs-progs
  clang-14 libclang-rt-14-dev llvm-14
  flatpak flatpak-xdg-utils bubblewrap ostree dbus
  g++-mingw-w64-x86-64-posix wine wine64 msitools wixl
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

# The Windows build compiles utf8proc from Debian's own source package. apt
# reads source packages only from deb-src entries, which a plain install
# lacks: one is made from the configured deb entries for this fetch alone.
utf8proc_src=${VELMORA_UTF8PROC_SRC:-/var/cache/velmora/utf8proc-src}
if [[ ! -f $utf8proc_src/utf8proc.c ]]; then
  echo "Fetching utf8proc's source package" >&2
  src_list=/etc/apt/sources.list.d/velmora-deb-src.sources
  fetch_dir=$(mktemp -d)
  trap 'rm -f "$src_list"; rm -rf "$fetch_dir"' EXIT
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [[ -f $f && $f != "$src_list" ]] || continue
      sed -e 's/^Types:[[:space:]]*deb$/Types: deb-src/' "$f"
      echo
    done
    if [[ -f /etc/apt/sources.list ]]; then
      sed -n -e 's/^deb[[:space:]]\+\(.*\)$/deb-src \1/p' /etc/apt/sources.list |
        while read -r type rest; do
          echo "Types: $type"
          set -- $rest
          echo "URIs: $1"; shift
          echo "Suites: $1"; shift
          echo "Components: $*"
          echo
        done
    fi
  } > "$src_list"
  apt-get update
  (cd "$fetch_dir" && apt-get source --only-source utf8proc)
  rm -f "$src_list"
  mkdir -p "$(dirname "$utf8proc_src")"
  rm -rf "$utf8proc_src"
  unpacked=$(find "$fetch_dir" -mindepth 1 -maxdepth 1 -type d -name 'utf8proc-*' | head -n 1)
  mv "$unpacked" "$utf8proc_src"
  rm -rf "$fetch_dir"
  trap - EXIT
fi

browser_tests=$(cd "$(dirname "$0")/../tests/browser" && pwd)
if ! cmp -s "$browser_tests/package-lock.json" "$browser_tests/node_modules/.velmora-lock" 2>/dev/null; then
  echo "Installing web-ext" >&2
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$browser_tests/package-lock.json" "$browser_tests/node_modules/.velmora-lock"
fi
