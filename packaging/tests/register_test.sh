#!/bin/sh
# Tests of the registration tool, each in a fresh temporary HOME.
#   register_test.sh PATH-TO-REGISTER
set -u

register=$1
origin=chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/
origin2=chrome-extension://abcdefghijklmnopabcdefghijklmnop/
addon=velmora@example.org
guid='{0A1B2C3D-4E5F-6789-abcd-ef0123456789}'
name=local.velmora.extension.json
nl='
'

cases=0
failed_cases=0
case_failed=no
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The tool sees only the programs it needs, so that the browsers installed on
# this machine do not count; a case puts fake browsers into $home/bin.
mkdir "$scratch/bin"
for tool in awk basename cat chmod dirname grep head iconv mkdir mktemp mv paste realpath rm rmdir sed sh \
  sleep stat timeout tr uname; do
  ln -s "$(command -v "$tool")" "$scratch/bin/$tool"
done
# Nor does being root, unless a case says so with TEST_UID.
printf '#!/bin/sh\necho "${TEST_UID:-1000}"\n' >"$scratch/bin/id"
chmod +x "$scratch/bin/id"
host=$scratch/Nelo.AppDir/Contents/PlugIns/velmora-extension/velmora-extension
mkdir -p "${host%/*}"
printf '#!/bin/sh\n[ "$1" != --version ] || echo "velmora-extension 1.0"\n' >"$host"
cp "$host" "$scratch/other"
printf '#!/bin/sh\n' >"$scratch/silent"
chmod +x "$host" "$scratch/other" "$scratch/silent"

fail() {
  printf 'FAILED: %s: %s\n' "$case" "$*" >&2
  case_failed=yes
}

finish_case() {
  [ "$case_failed" = no ] || failed_cases=$((failed_cases + 1))
  case_failed=no
}

# Starts a case with an empty HOME of its own.
begin() {
  finish_case
  cases=$((cases + 1))
  case=$1
  home=$scratch/case$cases
  mkdir -p "$home"
}

# Nor do this machine's Flatpak installations and D-Bus services.
run() {
  (cd "$home" && env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u FLATPAK_USER_DIR HOME="$home" \
    PATH="$home/bin:$scratch/bin" FLATPAK_SYSTEM_DIR="$home/system-flatpak" XDG_DATA_DIRS="$home/share" \
    sh "$register" "$@") >"$home.out" 2>"$home.err"
}

# Makes a fake browser program that the tool finds on its PATH.
fake_browser() {
  mkdir -p "$home/bin"
  printf '#!/bin/sh\n' >"$home/bin/$1"
  chmod +x "$home/bin/$1"
}

# Installs a fake Flatpak app for the user (or, with "system", for everyone)
# on a runtime with flatpak-spawn, or on one without it when the third
# argument is 2.
fake_flatpak() {
  installation=$home/.local/share/flatpak
  [ "${2:-user}" != system ] || installation=$home/system-flatpak
  runtime=$installation/runtime/org.test.Platform/x86_64
  mkdir -p "$installation/app/$1/current/active" "$runtime/1/active/files/bin" "$runtime/2/active/files"
  printf '[Application]\nname=%s\nruntime=org.test.Platform/x86_64/%s\n' "$1" "${3:-1}" \
    >"$installation/app/$1/current/active/metadata"
  printf '#!/bin/sh\n' >"$runtime/1/active/files/bin/flatpak-spawn"
  chmod +x "$runtime/1/active/files/bin/flatpak-spawn"
}

# A flatpak program that applies an override as flatpak does and tells the
# version written in $home/flatpak-version.
fake_flatpak_program() {
  mkdir -p "$home/bin"
  cat >"$home/bin/flatpak" <<'EOF'
#!/bin/sh
case $1 in
  override)
    mkdir -p "$HOME/.local/share/flatpak/overrides"
    printf '[Session Bus Policy]\norg.freedesktop.Flatpak=talk\n' >>"$HOME/.local/share/flatpak/overrides/$4" ;;
  info) printf 'Ref: app\n    Version: %s\n' "$(cat "$HOME/flatpak-version")" ;;
esac
EOF
  chmod +x "$home/bin/flatpak"
}

# The exact manifest the tool writes for one browser family.
manifest() {
  host_path=$1
  key=$2
  shift 2
  printf '{\n  "name": "%s",\n' "${manifest_name:-local.velmora.extension}"
  printf '  "description": "Velmora tab snapshots and commands for Nelo",\n'
  printf '  "path": "%s",\n  "type": "stdio",\n  "%s": [\n' "$host_path" "$key"
  sep=
  for caller in "$@"; do
    printf '%s    "%s"' "$sep" "$caller"
    sep=',
'
  done
  printf '\n  ]\n}\n'
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, want $1 ($(cat "$home.err"))"
}

expect_manifest() {
  file=$1
  shift
  if [ ! -f "$file" ]; then
    fail "missing $file"
    return
  fi
  manifest "$@" >"$home.want"
  cmp -s "$file" "$home.want" || fail "unexpected content of $file: $(cat "$file")"
  python3 -c 'import json, sys; json.load(open(sys.argv[1], encoding="utf-8"))' "$file" 2>/dev/null ||
    fail "$file is not JSON"
  mode=$(stat -c %a "$file")
  [ "$mode" = 644 ] || fail "$file has mode $mode"
}

# Every file below the case's HOME, relative to it, sorted.
files() {
  (cd "$home" && find . -type f | sort)
}

expect_files() {
  want=$(printf '%s\n' "$@" | sort)
  got=$(files)
  [ "$got" = "$want" ] || fail "files: got [$got], want [$want]"
}

chromium=.config/chromium/NativeMessagingHosts/$name
chrome=.config/google-chrome/NativeMessagingHosts/$name
brave=.config/BraveSoftware/Brave-Browser/NativeMessagingHosts/$name
vivaldi=.config/vivaldi/NativeMessagingHosts/$name
edge=.config/microsoft-edge/NativeMessagingHosts/$name
firefox=.mozilla/native-messaging-hosts/$name
librewolf=.librewolf/native-messaging-hosts/$name
launcher=data/velmora-extension/local.velmora.extension

begin "--browser all writes every browser's per-user manifest, in folders for the user alone"
(umask 022 && run --browser all --host "$host" "$origin" "$addon" "$origin2" "$guid")
status=$?
expect_status 0
expect_files "./$chromium" "./$chrome" "./$brave" "./$vivaldi" "./$edge" "./$firefox" "./$librewolf"
open=$(find "$home" -mindepth 1 -type d ! -perm 700)
[ -z "$open" ] || fail "folders others may enter: $open"
expect_manifest "$home/$brave" "$host" allowed_origins "$origin" "$origin2"
expect_manifest "$home/$librewolf" "$host" allowed_extensions "$addon" "$guid"
grep -q "wrote $home/$firefox" "$home.out" || fail "the written files are not listed"

begin "without --browser only installed browsers: program on PATH or profile folder"
fake_browser brave-browser
fake_browser firefox-esr
mkdir -p "$home/.config/vivaldi" "$home/.config/microsoft-edge/NativeMessagingHosts"
: >"$home/.config/vivaldi/Local State"
run --host "$host" "$origin" "$addon"
status=$?
expect_status 0
expect_files "./$brave" "./$vivaldi" "./$firefox" ./bin/brave-browser ./bin/firefox-esr \
  "./.config/vivaldi/Local State"

begin "only Chromium-family callers write no Firefox-family manifest"
run --browser all --host "$host" "$origin"
status=$?
expect_status 0
expect_files "./$chromium" "./$chrome" "./$brave" "./$vivaldi" "./$edge"

begin "--browser names browsers that are not installed, a list or repeated"
run --browser firefox,edge --browser=chromium --host "$host" "$addon" "$origin"
status=$?
expect_status 0
expect_files "./$firefox" "./$edge" "./$chromium"

begin "no installed browser for the callers: nothing written, status 1"
fake_browser chromium
run --host "$host" "$addon"
status=$?
expect_status 1
grep -q -- "--browser" "$home.err" || fail "no hint at --browser: $(cat "$home.err")"
expect_files ./bin/chromium

begin "XDG_CONFIG_HOME moves the Chromium-family folders"
(cd "$home" && HOME="$home" XDG_CONFIG_HOME="$home/conf" PATH="$scratch/bin" sh "$register" --quiet \
  --browser chromium,chrome --host "$host" "$origin") >"$home.out" 2>/dev/null
status=$?
expect_status 0
expect_files "./conf/chromium/NativeMessagingHosts/$name" "./conf/google-chrome/NativeMessagingHosts/$name"
[ -s "$home.out" ] && fail "--quiet printed: $(cat "$home.out")"

begin "--user-data-dir adds a profile folder, relative ones taken from the working folder"
run --browser firefox --host "$host" --user-data-dir "$home/profile" --user-data-dir=rel "$origin" "$addon"
status=$?
expect_status 0
expect_files "./$firefox" "./profile/NativeMessagingHosts/$name" "./rel/NativeMessagingHosts/$name"
expect_manifest "$home/rel/NativeMessagingHosts/$name" "$host" allowed_origins "$origin"

begin "paths are taken literally, patterns included, when writing and removing"
mkdir -p "$home/p1/NativeMessagingHosts" "$home/p2/NativeMessagingHosts"
: >"$home/p1/NativeMessagingHosts/$name"
run --only-user-data-dir --user-data-dir "$home/p*" --host "$host" "$origin"
status=$?
expect_status 0
run --remove --only-user-data-dir --user-data-dir "$home/p?"
expect_files "./p*/NativeMessagingHosts/$name" "./p1/NativeMessagingHosts/$name"

begin "--only-user-data-dir writes nothing else"
run --host "$host" --only-user-data-dir --user-data-dir "$home/profile" "$origin" "$addon"
status=$?
expect_status 0
expect_files "./profile/NativeMessagingHosts/$name"

begin "--system writes the system-wide folders, Brave's being Chrome's, readable by every user"
(umask 077 && run --system --browser all --destdir "$home/root" --host "$host" "$origin" "$addon")
status=$?
expect_status 0
closed=$(find "$home/root" -mindepth 1 -type d ! -perm 755)
[ -z "$closed" ] || fail "folders not every user may read: $closed"
expect_files "./root/etc/chromium/native-messaging-hosts/$name" \
  "./root/etc/opt/chrome/native-messaging-hosts/$name" \
  "./root/etc/vivaldi/native-messaging-hosts/$name" \
  "./root/etc/opt/edge/native-messaging-hosts/$name" \
  "./root/usr/lib/mozilla/native-messaging-hosts/$name" \
  "./root/usr/lib/librewolf/native-messaging-hosts/$name"
expect_manifest "$home/root/etc/opt/chrome/native-messaging-hosts/$name" "$host" allowed_origins "$origin"
expect_manifest "$home/root/usr/lib/mozilla/native-messaging-hosts/$name" "$host" allowed_extensions "$addon"

begin "--name chooses another valid host name"
run --browser firefox --host "$host" --name com.example_2.host "$addon"
status=$?
expect_status 0
expect_files "./.mozilla/native-messaging-hosts/com.example_2.host.json"
grep -q '"name": "com.example_2.host"' "$home/.mozilla/native-messaging-hosts/com.example_2.host.json" ||
  fail "the manifest does not carry the chosen name"

begin "a second registration replaces the first whole and leaves no temporary file"
run --browser chromium,firefox --host "$host" "$origin" "$addon"
run --browser chromium --host "$scratch/other" "$origin2"
status=$?
expect_status 0
expect_manifest "$home/$chromium" "$scratch/other" allowed_origins "$origin2"
expect_manifest "$home/$firefox" "$host" allowed_extensions "$addon"
expect_files "./$chromium" "./$firefox"

begin "quotes, backslashes and other letters in the host path make a valid manifest and launcher"
fake_flatpak org.mozilla.firefox
mkdir -p "$home/.local/share/flatpak/overrides"
printf '[Session Bus Policy]\norg.freedesktop.Flatpak=talk\n' >"$home/.local/share/flatpak/overrides/global"
odd_host=$home/'Größe "b"\c'"'"'d/velmora-extension'
mkdir -p "${odd_host%/*}"
cp "$host" "$odd_host"
run --browser firefox --host "$odd_host" "$addon"
status=$?
expect_status 0
expect_manifest "$home/$firefox" "$home/"'Größe \"b\"\\c'"'"'d/velmora-extension' allowed_extensions "$addon"
started=$( (eval "set -- $(sed -n 's/^exec //p' "$home/.var/app/org.mozilla.firefox/$launcher")" &&
  printf '%s' "$4") 2>&1)
[ "$started" = "$odd_host" ] || fail "the launcher starts [$started]"

begin "a relative host path is made absolute, without . or .."
cp "$host" "$home/velmora-extension"
run --browser firefox --host ./bin/../velmora-extension "$addon"
status=$?
expect_status 0
expect_manifest "$home/$firefox" "$home/velmora-extension" allowed_extensions "$addon"

begin "the default host is the one beside the tool, and there must be one"
mkdir -p "$home/bundle"
cp "$register" "$home/bundle/register"
cp "$host" "$home/bundle/velmora-extension"
run_bundle() {
  (cd "$home" && env -u XDG_CONFIG_HOME HOME="$home" PATH="$scratch/bin" sh bundle/register --browser firefox "$addon") \
    >/dev/null 2>"$home.err"
}
run_bundle
expect_manifest "$home/$firefox" "$home/bundle/velmora-extension" allowed_extensions "$addon"
rm "$home/bundle/velmora-extension" "$home/$firefox"
run_bundle
status=$?
expect_status 2
grep -q "name the host with --host" "$home.err" || fail "unclear message: $(cat "$home.err")"

begin "--remove removes every browser's manifest and nothing else"
run --browser all --host "$host" --user-data-dir "$home/profile" "$origin" "$addon"
printf 'other\n' >"$home/.mozilla/native-messaging-hosts/other.json"
run --remove --user-data-dir "$home/profile"
status=$?
expect_status 0
expect_files "./.mozilla/native-messaging-hosts/other.json"
grep -q "removed $home/profile/NativeMessagingHosts/$name" "$home.out" || fail "removals are not listed"
run --remove
status=$?
expect_status 0
[ "$(cat "$home.out")" = "nothing to remove: no manifest of local.velmora.extension was found" ] ||
  fail "removing again reported: $(cat "$home.out")"
[ ! -e "$home/.config/chromium" ] && [ ! -e "$home/profile/NativeMessagingHosts" ] || fail "empty folders are left"

begin "--remove --system removes the system-wide manifests"
run --system --browser all --destdir "$home/root" --host "$host" "$origin" "$addon"
run --system --destdir "$home/root" --remove
status=$?
expect_status 0
expect_files

begin "root without --system changes nothing in another user's home"
mkdir -p "$home/.mozilla/native-messaging-hosts"
: >"$home/$firefox"
[ "$(id -u)" != 0 ] || chown -R 12345 "$home"
for arguments in "--browser chromium,firefox --host $host $origin $addon" --remove; do
  # shellcheck disable=SC2086
  (export TEST_UID=0 && run $arguments)
  status=$?
  expect_status 2
  grep -q "^register: $home belongs to .*Run register.* as .*, or add --system" "$home.err" ||
    fail "message: $(cat "$home.err")"
done
expect_files "./$firefox"

begin "root without --system in its own home says it registers for root alone"
if [ "$(id -u)" = 0 ]; then
  (export TEST_UID=0 && run --browser firefox --host "$host" "$addon")
  status=$?
  expect_status 0
  [ "$(cat "$home.err")" = "register: as root without --system, this registers the host for root alone; --system registers it for all users" ] ||
    fail "message: $(cat "$home.err")"
  expect_files "./$firefox"
fi

# Each Flatpak build and the folder it reads inside its sandbox, below
# ~/.var/app/ID/.
flatpak_builds='org.chromium.Chromium config/chromium/NativeMessagingHosts
com.google.Chrome config/google-chrome/NativeMessagingHosts
com.brave.Browser config/BraveSoftware/Brave-Browser/NativeMessagingHosts
com.vivaldi.Vivaldi config/vivaldi/NativeMessagingHosts
com.microsoft.Edge config/microsoft-edge/NativeMessagingHosts
org.mozilla.firefox .mozilla/native-messaging-hosts
io.gitlab.librewolf-community .librewolf/native-messaging-hosts'
begin "each installed Flatpak browser gets its manifest inside its sandbox and a launcher there"
mkdir -p "$home/.local/share/flatpak/overrides"
printf '[Session Bus Policy]\norg.freedesktop.Flatpak=talk\n' >"$home/.local/share/flatpak/overrides/global"
want=
while read -r id folder; do
  case $id in
    io.gitlab.librewolf-community) fake_flatpak "$id" system 2 ;;
    com.brave.Browser) fake_flatpak "$id" system ;;
    *) fake_flatpak "$id" ;;
  esac
  want="$want$nl./.var/app/$id/$folder/$name$nl./.var/app/$id/$launcher"
done <<EOF
$flatpak_builds
EOF
run --host "$host" "$origin" "$addon"
status=$?
expect_status 4
grep -q "runtime of io.gitlab.librewolf-community has no flatpak-spawn" "$home.err" || fail "message: $(cat "$home.err")"
got=$(files | grep -v -e '^./.local/share/flatpak/' -e '^./system-flatpak/')
[ "$got" = "$(printf '%s\n' "$want" | sed 1d | sort)" ] || fail "files: $got"
expect_manifest "$home/.var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser/NativeMessagingHosts/$name" \
  "$home/.var/app/com.brave.Browser/$launcher" allowed_origins "$origin"
grep -qx "exec flatpak-spawn --host --watch-bus '$host' \"\$@\"" "$home/.var/app/org.mozilla.firefox/$launcher" ||
  fail "the launcher does not start the host: $(cat "$home/.var/app/org.mozilla.firefox/$launcher")"

begin "a Flatpak browser may start the host only when told; --remove takes back only what register allowed"
fake_flatpak org.mozilla.firefox
fake_flatpak_program
override=$home/.local/share/flatpak/overrides/org.mozilla.firefox
mkdir -p "$home/.local/share/flatpak/overrides"
printf '[Context]\nshared=network;\n' >"$override"
run --host "$host" "$addon"
status=$?
expect_status 3
grep -q "flatpak override --user --talk-name=org.freedesktop.Flatpak org.mozilla.firefox" "$home.err" &&
  grep -q "run any program" "$home.err" || fail "no command and reason: $(cat "$home.err")"
[ -x "$home/.var/app/org.mozilla.firefox/$launcher" ] || fail "no launcher written"
run --allow-flatpak-spawn --host "$host" "$addon"
status=$?
expect_status 0
grep -q "can now run any program outside its sandbox" "$home.out" || fail "not said what it permits"
run --remove
status=$?
expect_status 0
[ "$(cat "$override")" = "[Context]${nl}shared=network;${nl}[Session Bus Policy]" ] ||
  fail "override after --remove: $(cat "$override")"
[ ! -e "$home/.var/app/org.mozilla.firefox/data/velmora-extension" ] || fail "the launcher's folder is left"
printf 'org.freedesktop.Flatpak=talk\n' >>"$override"
run --allow-flatpak-spawn --host "$host" "$addon"
run --remove
grep -qx org.freedesktop.Flatpak=talk "$override" || fail "the user's own override was taken back"

begin "a Flatpak Firefox from version 157 with the proxy service reads the standard folder"
fake_flatpak org.mozilla.firefox
fake_flatpak_program
mkdir -p "$home/share/dbus-1/services"
: >"$home/share/dbus-1/services/org.freedesktop.NativeMessagingProxy.service"
echo 157.0.1 >"$home/flatpak-version"
run --host "$host" "$addon"
status=$?
expect_status 0
expect_manifest "$home/$firefox" "$host" allowed_extensions "$addon"
[ ! -e "$home/.var" ] || fail "wrote inside the sandbox"
echo 156.0 >"$home/flatpak-version"
run --host "$host" "$addon"
status=$?
expect_status 3

begin "a failed write reports its folder and leaves nothing behind"
mkdir -p "$home/.config"
printf 'in the way\n' >"$home/.config/chromium"
run --browser chromium --host "$host" "$origin"
status=$?
[ "$status" -ne 0 ] || fail "succeeded although .config/chromium is a file"
grep -q "cannot create $home/.config/chromium/NativeMessagingHosts" "$home.err" ||
  fail "unclear message: $(cat "$home.err")"
expect_files "./.config/chromium"

begin "a folder in place of the manifest is refused"
mkdir -p "$home/$firefox"
run --browser firefox --host "$host" "$addon"
status=$?
[ "$status" -ne 0 ] || fail "succeeded although the manifest is a folder"
grep -q "a folder is in the way" "$home.err" || fail "unclear message: $(cat "$home.err")"
expect_files

# Arguments the tool must refuse, with a message naming the problem, and
# without writing anything. Fields: expected message part | arguments.
refusals() {
  cat <<EOF
invalid host name|--name Local.velmora.extension $origin
invalid host name|--name .local.velmora $origin
invalid host name|--name local.velmora. $origin
invalid host name|--name local..velmora $origin
invalid host name|--name local-velmora $origin
invalid host name|--name local/velmora $origin
invalid extension origin|chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj
invalid extension origin|chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnq/
invalid extension origin|chrome-extension://mnfkimenfkkeggplhilcekgjckjggdn/
invalid extension origin|chrome-extension://MNFKIMENFKKEGGPLHILCEKGJCKJGGDNJ/
invalid extension origin|chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/x
invalid caller|mnfkimenfkkeggplhilcekgjckjggdnj
invalid caller|https://example.org/
invalid caller|velmora
invalid caller|velmora@
invalid caller|{0a1b2c3d-4e5f-6789-abcd-ef012345678}
invalid caller|0a1b2c3d-4e5f-6789-abcd-ef0123456789
invalid caller|velmora@example.org/
invalid caller|$origin velmora@exa\$mple.org
no caller given|--host $host
take no callers|--remove $origin
take no callers|--status $origin
exclude each other|--remove --status
unknown option|--user $origin
needs a value|--name
unknown browser|--browser chromium,opera $origin
needs a chrome-extension|--browser chrome --host $host $addon
needs a Firefox add-on ID|--browser librewolf --host $host $origin
needs at least one --user-data-dir|--only-user-data-dir --remove
not an executable file|--browser firefox --host /nonexistent/host $addon
not an executable file|--browser firefox --host $scratch $addon
answered nothing|--browser firefox --host $scratch/silent $addon
answered "echo (GNU coreutils)|--browser firefox --host /bin/echo $addon
itself|--browser firefox --host $register $addon
as separate arguments|$origin;$addon
only root may|--system --browser chromium --host $host $origin
EOF
}

refusals >"$scratch/refusals"
while IFS='|' read -r message arguments; do
  begin "refuses: $arguments"
  # The arguments hold no spaces of their own; word splitting is wanted.
  # shellcheck disable=SC2086
  run $arguments
  status=$?
  expect_status 2
  grep -q -- "$message" "$home.err" || fail "message [$(cat "$home.err")] lacks [$message]"
  expect_files
done <"$scratch/refusals"

begin "the host name may not be empty"
run --name "" "$origin"
status=$?
expect_status 2
grep -q "invalid host name" "$home.err" || fail "message: $(cat "$home.err")"

# A line break, a tab, DEL, a C1 control and bytes that are not UTF-8 (a
# stray byte, a cut sequence), each in another path, name or caller.
for option in --host:'a\nb' --destdir:'a\tb' --user-data-dir:'a\177b' --name:'a\302\205b' \
  --browser:'a\377b' caller:'a\303'; do
  bad=$(printf "${option#*:}")
  option=${option%%:*}
  begin "refuses a control character or non-UTF-8 bytes in $option"
  if [ "$option" = caller ]; then
    run --browser all --host "$host" "$origin" "velmora@$bad"
  else
    run --browser all --host "$host" "$option" "/x/$bad" "$origin" "$addon"
  fi
  status=$?
  expect_status 2
  grep -Eq "line break|control character|not UTF-8" "$home.err" || fail "message: $(cat "$home.err")"
  expect_files
done

begin "valid names and add-on IDs are accepted"
run --browser firefox --name a --host "$host" -- "x@y" "{ABCDEF01-2345-6789-ABCD-EF0123456789}" "-a_b.c@d-e.f_g"
status=$?
expect_status 0
manifest_name=a expect_manifest "$home/.mozilla/native-messaging-hosts/a.json" "$host" \
  allowed_extensions "x@y" "{ABCDEF01-2345-6789-ABCD-EF0123456789}" "-a_b.c@d-e.f_g"

begin "--status tells for each browser and scope what the browser would find"
fake_browser chromium
printf '#!/bin/sh\necho Chromium 1.2.3\n' >"$home/bin/chromium"
printf '#!/bin/sh\nexec sleep 60\n' >"$home/bin/google-chrome"
chmod +x "$home/bin/google-chrome"
mkdir -p "$home/.local/share/Velmora"
chmod 755 "$home/.local/share/Velmora"
fake_flatpak org.mozilla.firefox
printf '#!/bin/sh\n[ "$1" != --version ] || echo "velmora-extension 1.0"\n' >"$home/host"
chmod +x "$home/host"
run --browser chromium,firefox --host "$home/host" "$origin" "$addon"
fake_flatpak org.chromium.Chromium system 2
fake_flatpak_program
echo 157.0 >"$home/flatpak-version"
mkdir -p "$home/snap/firefox" "$home/snap/chromium"
run --system --browser edge,chrome --destdir "$home/root" --host "$home/missing" "$origin"
mkdir -p "$home/.config/vivaldi/NativeMessagingHosts" "$home/.librewolf/native-messaging-hosts"
: >"$home/.librewolf/profiles.ini"
printf '{"name": "local.velmora.extension", "path": "%s", "type": "stdio", "allowed_origins": ["x",]}' \
  "$home/host" >"$home/$vivaldi"
printf '{"name": "other", "path": "%s", "type": "stdio", "allowed_extensions": ["%s"], "n": [1, -2.5e3, null]}' \
  "$home/host" "$addon" >"$home/$librewolf"
run --status --destdir "$home/root" --user-data-dir "$home/profile" --host "$host"
status=$?
expect_status 0
rows=$(sed 's/  */ /g' "$home.out")
storage=$home/.local/share/Velmora
for row in "The application a command starts: $scratch/Nelo.AppDir/AppRun, missing" \
  "The storage folder: $storage, mode 0755, others can read it; to keep them out: chmod 700 $storage" \
  "Google Chrome: timed out" "Chromium yes user* ok ok $origin" "Chromium yes system absent - -" \
  "Microsoft Edge no system* ok missing $origin" "Brave no system* ok missing $origin" \
  "Firefox no user* ok ok $addon" "Vivaldi no user* not-json - -" "LibreWolf yes user* wrong-name ok $addon" \
  "$home/profile - profile absent - -" "Chromium: Chromium 1.2.3" \
  "$home/$chromium (Chromium): host $home/host, version velmora-extension 1.0" \
  "$home/root/etc/opt/chrome/native-messaging-hosts/$name (Google Chrome, Brave): host $home/missing" \
  "Firefox user flatpak* ok ok $addon" "Chromium system flatpak absent - -" \
  "Firefox flatpak org.mozilla.firefox flatpak-spawn permission, or the proxy service" \
  "Firefox (flatpak org.mozilla.firefox): 157.0" \
  "Chromium flatpak org.chromium.Chromium flatpak-spawn manifest, launcher, permission, flatpak-spawn" \
  "Firefox snap firefox portal nothing" "Chromium snap chromium none cannot start a host outside its confinement"; do
  case "$nl$rows$nl" in *"$nl$row$nl"*) ;; *) fail "no row [$row] in: $rows" ;; esac
done
grep -q "$vivaldi (Vivaldi): not valid JSON" "$home.out" || fail "the JSON error is not explained: $(cat "$home.out")"

begin "--status without a sandboxed browser, with the application there and the storage folder private"
bundle=$(realpath "$home")/Nelo.AppDir
mkdir -p "$bundle/Contents/PlugIns/velmora-extension" "$home/.local/share/Velmora"
cp "$host" "$bundle/Contents/PlugIns/velmora-extension/velmora-extension"
cp "$host" "$bundle/AppRun"
chmod 700 "$home/.local/share/Velmora"
run --status --host "$bundle/Contents/PlugIns/velmora-extension/velmora-extension"
status=$?
expect_status 0
for row in "The application a command starts: $bundle/AppRun, there, executable" \
  "The storage folder: $home/.local/share/Velmora, mode 0700, only its owner can read it" \
  "Sandboxed builds: no Flatpak or snap browser found"; do
  grep -qxF "$row" "$home.out" || fail "no line [$row] in: $(cat "$home.out")"
done

finish_case
echo "$((cases - failed_cases)) passed, $failed_cases failed"
[ "$failed_cases" -eq 0 ]
