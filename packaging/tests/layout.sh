# Shared by the install and package tests, which check the same layout:
#   . layout.sh BUILD-DIR APPDIR "CALLERS"
build=$1
appdir=$2
callers=$3
plugin=$appdir/Contents/PlugIns/velmora-extension
name=local.velmora.extension.json
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  printf 'FAILED: %s\n' "$*" >&2
  failures=$((failures + 1))
}

# The regular files the configured callers call for, one path a line relative
# to the root ("./…"), sorted: the host, its tool, the Debian documents, and a
# manifest in the system-wide folder of every browser of each caller's family.
expected_files() {
  {
    echo ".$plugin/register"
    echo ".$plugin/velmora-extension"
    echo ./usr/share/doc/velmora-extension/changelog.gz
    echo ./usr/share/doc/velmora-extension/copyright
    echo ./usr/share/doc/velmora-extension/formats.md
    echo ./usr/share/doc/velmora-extension/install.md
    case $appdir in /opt/*) echo ./usr/share/lintian/overrides/velmora-extension ;; esac
    case " $callers " in
      *" chrome-extension://"*)
        for dir in etc/chromium etc/opt/chrome etc/opt/edge etc/vivaldi; do
          echo "./$dir/native-messaging-hosts/$name"
        done
        ;;
    esac
    for caller in $callers; do
      case $caller in
        chrome-extension://*) ;;
        *)
          echo "./usr/lib/mozilla/native-messaging-hosts/$name"
          echo "./usr/lib/librewolf/native-messaging-hosts/$name"
          break
          ;;
      esac
    done
  } | sort
}

# Every folder left below a root, one a line relative to it, sorted.
folders_left() {
  (cd "$1" && find . -mindepth 1 -type d | sort)
}

finish() {
  if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
  [ "$failures" -eq 0 ]
}
