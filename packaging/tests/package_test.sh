#!/bin/sh
# cpack -G DEB builds a package holding the host in the AppDir layout, its
# registration tool and the system-wide manifests of the configured callers,
# depending on the shared libraries the host needs, that lintian finds no
# fault with, not even an informational one, that a second build gives
# again byte for byte, and that dpkg removes whole: the /etc manifests on
# purge.
#   package_test.sh BUILD-DIR APPDIR "CALLERS"
set -u

. "$(dirname "$0")/layout.sh"

# The second build a second later, so that any time of the build would show.
for out in out out2; do
  [ "$out" = out ] || sleep 1
  (cd "$scratch" && env -u SOURCE_DATE_EPOCH cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/$out") \
    >"$scratch/cpack.log" 2>&1 || fail "cpack: $(cat "$scratch/cpack.log")"
done
set -- "$scratch"/out/velmora-extension_*.deb
deb=$1
if [ ! -f "$deb" ]; then
  fail "no package in $(ls "$scratch/out")"
else
  cmp -s "$deb" "$scratch/out2/${deb##*/}" || fail "two builds of the package differ"
  [ "$(dpkg-deb -f "$deb" Package)" = velmora-extension ] || fail "package name"
  depends=$(dpkg-deb -f "$deb" Depends)
  case $depends in *libc6*) ;; *) fail "Depends lacks libc6: $depends" ;; esac
  # Boost and utf8proc are linked into the host (sanitizer builds keep the
  # C++ runtime shared).
  case $depends in *libboost* | *libutf8proc*) fail "Depends names a library linked in: $depends" ;; esac

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

  if command -v lintian >/dev/null 2>&1; then
    TMPDIR=$scratch lintian -I --fail-on error,warning,info "$deb" >"$scratch/lintian.log" 2>&1 ||
      fail "lintian: $(grep -v 'root privileges' "$scratch/lintian.log")"
  else
    fail "lintian is missing: run scripts/install-deps.sh"
  fi

  # A dpkg database of its own, so the machine's is not touched; the host's
  # libraries are not in it.
  dpkg_root=$scratch/dpkg
  mkdir -p "$dpkg_root/var/lib/dpkg/info" "$dpkg_root/var/lib/dpkg/updates"
  : >"$dpkg_root/var/lib/dpkg/status"
  dpkg_run() {
    dpkg --root="$dpkg_root" --force-depends --force-not-root "$@" >>"$scratch/dpkg.log" 2>&1 ||
      fail "dpkg $*: $(cat "$scratch/dpkg.log")"
  }
  dpkg_run -i "$deb"
  (cd "$dpkg_root" && find . ! -type d ! -path './var/*' | sort) >"$scratch/got"
  cmp -s "$scratch/got" "$scratch/want" || fail "installed files: $(cat "$scratch/got")"
  package_state() {
    (cd "$dpkg_root" && find . ! -path './var/*' -type f -exec sha256sum {} + | sort)
  }

  # register --system neither replaces nor removes a manifest of the
  # package, and names the package.
  owned=$(grep -m 1 "/$name\$" "$scratch/want")
  if [ -n "$owned" ]; then
    before=$(package_state)
    for arguments in "--host $plugin/velmora-extension $callers" --remove; do
      # shellcheck disable=SC2086
      if DPKG_ROOT=$dpkg_root sh "$dpkg_root$plugin/register" --system --browser all --destdir "$dpkg_root" \
        $arguments >"$scratch/register.log" 2>&1; then
        fail "register $arguments replaced or removed the package's manifests"
      fi
      grep -q "^  velmora-extension: ${owned#.}\$" "$scratch/register.log" ||
        fail "register $arguments names no package's manifest: $(cat "$scratch/register.log")"
    done
    [ "$(package_state)" = "$before" ] || fail "register touched the package's manifests"
  fi

  # The uninstall target never takes the package's files: not after an
  # install staged elsewhere and an uninstall with another DESTDIR (the
  # package's root stands for the forgotten one), nor after an install over
  # the package, whose files dpkg owns. Either is refused, touching nothing.
  # An install that sees the package's database refuses to go over it.
  uninstall_refused() {
    if env "$@" cmake --build "$build" --target uninstall >"$scratch/uninstall.log" 2>&1; then
      fail "uninstall with $* was not refused"
    else
      grep -q "Nothing removed" "$scratch/uninstall.log" || fail "uninstall with $*: $(cat "$scratch/uninstall.log")"
    fi
  }
  DESTDIR=$scratch/stage cmake --install "$build" >"$scratch/install.log" 2>&1 || fail "cmake --install: $(cat "$scratch/install.log")"
  before=$(package_state)
  uninstall_refused DESTDIR="$dpkg_root"
  [ "$(package_state)" = "$before" ] || fail "the uninstall with another DESTDIR touched the package"
  [ -e "$scratch/stage$plugin/velmora-extension" ] || fail "the refused uninstall took the staged install"
  if DESTDIR=$dpkg_root DPKG_ROOT=$dpkg_root cmake --install "$build" >"$scratch/install.log" 2>&1; then
    fail "the install over the package was not refused"
  elif ! grep -q "Nothing installed" "$scratch/install.log" ||
    ! grep -q "velmora-extension: $plugin/velmora-extension" "$scratch/install.log"; then
    fail "the refused install names no package's file: $(cat "$scratch/install.log")"
  fi
  [ "$(package_state)" = "$before" ] || fail "the refused install touched the package"
  DESTDIR=$dpkg_root cmake --install "$build" >"$scratch/install.log" 2>&1 || fail "cmake --install: $(cat "$scratch/install.log")"
  before=$(package_state)
  uninstall_refused DESTDIR="$dpkg_root" DPKG_ROOT="$dpkg_root"
  grep -q "velmora-extension: $plugin/velmora-extension" "$scratch/uninstall.log" ||
    fail "the refusal names no package's file: $(cat "$scratch/uninstall.log")"
  [ "$(package_state)" = "$before" ] || fail "the uninstall took files of the package"
  rm -f "$build/install_record.txt" "$build/install_manifest.txt"
  dpkg_run -r velmora-extension
  conffiles=$(grep '^\./etc/' "$scratch/want")
  [ "$(cd "$dpkg_root" && find . ! -type d ! -path './var/*' | sort)" = "$conffiles" ] ||
    fail "removing kept other files than the /etc manifests: $(cd "$dpkg_root" && find . ! -path './var*')"
  dpkg_run -P velmora-extension
  [ -z "$(cd "$dpkg_root" && find . -mindepth 1 ! -path './var*')" ] ||
    fail "purging left: $(cd "$dpkg_root" && find . -mindepth 1 ! -path './var*')"
fi

finish
