#!/bin/sh
# cpack -G DEB builds a package holding the host in the AppDir layout, its
# registration tool and the system-wide manifests of the configured callers,
# and depending on the shared libraries the host needs.
#   package_test.sh BUILD-DIR APPDIR "CALLERS"
set -u

. "$(dirname "$0")/layout.sh"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out") \
  >"$scratch/cpack.log" 2>&1 || fail "cpack: $(cat "$scratch/cpack.log")"
set -- "$scratch"/out/velmora-extension_*.deb
deb=$1
if [ ! -f "$deb" ]; then
  fail "no package in $(ls "$scratch/out")"
else
  [ "$(dpkg-deb -f "$deb" Package)" = velmora-extension ] || fail "package name"
  depends=$(dpkg-deb -f "$deb" Depends)
  case $depends in *libc6*) ;; *) fail "Depends lacks libc6: $depends" ;; esac
  case $depends in *libboost-json*) ;; *) fail "Depends lacks Boost.JSON: $depends" ;; esac

  # Regular files of the package: mode and path columns of the listing.
  dpkg-deb -c "$deb" | awk '/^-/ { print $NF }' | sort >"$scratch/got"
  expected_files >"$scratch/want"
  cmp -s "$scratch/got" "$scratch/want" || fail "package files: $(cat "$scratch/got") want $(cat "$scratch/want")"
  dpkg-deb -c "$deb" | grep -q "^-rwxr-xr-x .* \.$plugin/velmora-extension\$" ||
    fail "the host is not installed executable: $(dpkg-deb -c "$deb")"

  dpkg-deb -x "$deb" "$scratch/root"
  "$scratch/root$plugin/velmora-extension" </dev/null || fail "the packaged host does not run"
  for caller in $callers; do
    grep -rqF "\"$caller\"" "$scratch/root/etc" "$scratch/root/usr" 2>/dev/null ||
      fail "no manifest names $caller"
  done
fi

finish
