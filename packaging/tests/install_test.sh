#!/bin/sh
# cmake --install puts the host three levels below the AppDir, beside its
# registration tool, plus the system-wide manifests when callers were
# configured; nothing of the containing application itself. The uninstall
# target takes all of it off again, as long as it is unchanged, and leaves
# what was there before.
#   install_test.sh BUILD-DIR APPDIR "CALLERS"
set -u

. "$(dirname "$0")/layout.sh"

root=$scratch/root
DESTDIR=$root cmake --install "$build" >"$scratch/install.log" 2>&1 || fail "cmake --install: $(cat "$scratch/install.log")"

# The files expected for the configured callers.
expected_files >"$scratch/want"
(cd "$root" && find . ! -type d | sort) >"$scratch/got"
cmp -s "$scratch/got" "$scratch/want" || fail "installed files: $(cat "$scratch/got") want $(cat "$scratch/want")"

[ -x "$root$plugin/velmora-extension" ] || fail "the host is not executable"
[ ! -e "$root$appdir/AppRun" ] || fail "an AppRun was installed"

# The installed host serves (no input: ends at once with status 0).
"$root$plugin/velmora-extension" </dev/null >"$scratch/host.out" 2>&1 || fail "the installed host failed to run"
[ ! -s "$scratch/host.out" ] || fail "the installed host printed: $(cat "$scratch/host.out")"

# The installed tool registers the host beside it by default.
HOME=$scratch/home XDG_CONFIG_HOME='' sh "$root$plugin/register" --quiet --browser firefox velmora@example.org ||
  fail "the installed register failed"
grep -q "\"path\": \"$root$plugin/velmora-extension\"" \
  "$scratch/home/.mozilla/native-messaging-hosts/$name" 2>/dev/null ||
  fail "the installed register does not name the host beside it"

# The system-wide manifests name the installed host.
for manifest in $(cd "$root" && find . -name "$name"); do
  grep -q "\"path\": \"$plugin/velmora-extension\"" "$root/$manifest" ||
    fail "$manifest names another host: $(cat "$root/$manifest")"
done

# Uninstalling removes every installed file and the folders that only they
# used; a file of the containing application, another host's manifest and an
# installed file edited since stay, and so do their folders.
mkdir -p "$root/etc/chromium/native-messaging-hosts"
: >"$root$appdir/AppRun"
: >"$root/etc/chromium/native-messaging-hosts/other.json"
edited=./usr/share/doc/velmora-extension/copyright
echo edited >>"$root/$edited"
DESTDIR=$root cmake --build "$build" --target uninstall >"$scratch/uninstall.log" 2>&1 ||
  fail "uninstall: $(cat "$scratch/uninstall.log")"
left=$(cd "$root" && find . ! -type d | sort)
[ "$left" = "$(printf '%s\n' ".$appdir/AppRun" ./etc/chromium/native-messaging-hosts/other.json "$edited" | sort)" ] ||
  fail "files left after uninstalling: $left"
for dir in $(folders_left "$root"); do
  case $dir in
    ./etc | ./etc/chromium | ./etc/chromium/native-messaging-hosts | ./etc/opt | ./opt | ".$appdir" | ./usr | \
      ./usr/lib | ./usr/share | ./usr/share/doc | ./usr/share/doc/velmora-extension | ./usr/share/lintian | \
      ./usr/share/lintian/overrides) ;;
    *) fail "folder left after uninstalling: $dir" ;;
  esac
done
for record in install_manifest.txt install_record.txt; do
  [ ! -e "$build/$record" ] || fail "$record outlived the uninstall"
done

finish
