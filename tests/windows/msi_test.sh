#!/bin/sh
# Tests, under Wine, of velmora-register.exe and the MSI, with a stand-in
# browser that finds and starts the host as Chrome and Firefox do on Windows:
# registering per user and for everyone, --status, --remove, what is refused;
# then the MSI installed, round trips through the host it installed (a
# "command" starting a Nelo.exe that must outlive the browser's job), and the
# MSI removed, leaving nothing behind.
#
#   msi_test.sh HOST.exe REGISTER.exe BROWSER-STANDIN.exe NELO.exe INSTALLER.msi
#
# The MSI must allow a chrome-extension:// origin and a Firefox add-on ID;
# the test takes the first of each from the manifests it installs. It uses
# the Wine prefix in WINEPREFIX when that is set and its server runs, else
# one of its own. Local AppData points into a scratch folder meanwhile.
set -u

if [ $# -ne 5 ]; then
  echo "usage: msi_test.sh HOST.exe REGISTER.exe BROWSER-STANDIN.exe NELO.exe INSTALLER.msi" >&2
  exit 2
fi
host_exe=$1
register_exe=$2
standin=$3
nelo_exe=$4
msi=$5
here=$(cd -- "$(dirname -- "$0")" && pwd)
linux_register=$here/../../packaging/register
origin=chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/
addon=velmora@example.org
name=local.velmora.extension
shell_folders='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'
nl='
'

export WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
# Wine reads the arguments and file names it is given in the locale's
# encoding; the bundle's path holds letters beyond ASCII.
export LC_ALL=C.UTF-8
scratch=$(mktemp -d)
own_prefix=no
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix=yes
  export WINEPREFIX="$scratch/prefix"
  # Wine's background services inherit the output of whatever starts them
  # first; started here, they hold nothing a test reads.
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
fi
drive_c=$WINEPREFIX/drive_c

cases=0
failed_cases=0
case_failed=no
case=setup

fail() {
  printf 'FAILED: %s: %s\n' "$case" "$*" >&2
  case_failed=yes
}

finish_case() {
  [ "$case_failed" = no ] || failed_cases=$((failed_cases + 1))
  case_failed=no
}

begin() {
  finish_case
  cases=$((cases + 1))
  case=$1
}

# A Windows path for a path of this system, through Wine's drive Z:.
windows_path() {
  printf 'Z:%s' "$1" | tr / '\\'
}

# Runs a Windows program; its output lands in $scratch/out and $scratch/err.
run() {
  wine "$@" </dev/null >"$scratch/out" 2>"$scratch/err"
  status=$?
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, want $1 ($(cat "$scratch/err"))"
}

# The default value of a registry key, or nothing. Exported, as reg query
# prints it in a code page rather than UTF-8.
reg_value() {
  rm -f "$scratch/value.reg"
  wine reg export "$1" "$scratch/value.reg" /y </dev/null >/dev/null 2>&1 || return 0
  iconv -f UTF-16 -t UTF-8 "$scratch/value.reg" | tr -d '\r' | sed -n 's/^@="\(.*\)"$/\1/p' | head -n 1 |
    sed 's/\\\\/\\/g'
}

expect_reg() {
  got=$(reg_value "$1")
  [ "$got" = "$2" ] || fail "$1 is [$got], want [$2]"
}

expect_no_key() {
  if wine reg query "$1" </dev/null >/dev/null 2>&1; then fail "$1 is left"; fi
}

# The exact manifest velmora-register writes; the host path as JSON.
manifest() {
  json_host=$(printf '%s' "$1" | sed 's/[\\"]/\\&/g')
  printf '{\n  "name": "%s",\n' "$name"
  printf '  "description": "Velmora tab snapshots and commands for Nelo",\n'
  printf '  "path": "%s",\n  "type": "stdio",\n  "%s": [\n    "%s"\n  ]\n}\n' "$json_host" "$2" "$3"
}

expect_manifest() {
  manifest "$2" "$3" "$4" >"$scratch/want"
  cmp -s "$1" "$scratch/want" || fail "unexpected content of $1: $(cat "$1" 2>&1)"
}

expect_row() {
  rows=$(sed 's/  */ /g' "$scratch/out")
  case "$nl$rows$nl" in *"$nl$1$nl"*) ;; *) fail "no row [$1] in: $rows" ;; esac
}

# What an installer may touch: the files below Program Files and ProgramData,
# and the keys and values below Software of both hives, but for Windows
# Installer's own records of what it installed. Narrower than the prefix, as
# other tests may run in it meanwhile.
snapshot() {
  (cd "$drive_c" && find "./Program Files" ./ProgramData | sort) >"$scratch/$1.files"
  for hive in HKLM HKCU; do
    wine reg export "$hive\\Software" "$scratch/$hive.reg" /y </dev/null >/dev/null 2>&1
    iconv -f UTF-16 -t UTF-8 "$scratch/$hive.reg" | tr -d '\r' |
      awk '/^\[/ { key = $0; print key; next } NF { print key " " $0 }'
  done | grep -v -e '\\Installer\\' -e '\\Installer\]' | sort >"$scratch/$1.registry"
}

# Local AppData, where per-user manifests and the host's storage go, points
# into the scratch folder; the old setting comes back at the end.
old_local=$(wine reg query "$shell_folders" /v 'Local AppData' </dev/null 2>/dev/null | tr -d '\r' |
  sed -n 's/^ *Local AppData *REG_[A-Z_]* *//p')
local_appdata=$scratch/LocalAppData
mkdir -p "$local_appdata"
wine reg add "$shell_folders" /v 'Local AppData' /t REG_EXPAND_SZ /d "$(windows_path "$local_appdata")" /f \
  </dev/null >/dev/null 2>&1

cleanup() {
  wine reg add "$shell_folders" /v 'Local AppData' /t REG_EXPAND_SZ /d "${old_local:-%USERPROFILE%\\AppData\\Local}" \
    /f </dev/null >/dev/null 2>&1
  [ "$own_prefix" = no ] || wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# A bundle as Nelo's folder holds it: the host three folders below Nelo.exe,
# the registration tool beside the host; in a folder whose name has a space
# and letters beyond ASCII, as a user's folders may.
bundle="$scratch/Größe Bündel/Nelo"
plugin=$bundle/Contents/PlugIns/velmora-extension
mkdir -p "$plugin"
cp "$host_exe" "$plugin/velmora-extension.exe"
cp "$register_exe" "$plugin/velmora-register.exe"
cp "$nelo_exe" "$bundle/Nelo.exe"
register=$plugin/velmora-register.exe
win_host=$(windows_path "$plugin/velmora-extension.exe")
win_manifests=$(windows_path "$local_appdata/Velmora/NativeMessagingHosts")
user_manifests=$local_appdata/Velmora/NativeMessagingHosts

snapshot_message='{"action":"saveSnapshot","tabs":[{"id":41,"windowId":7,"title":"Notes","url":"https://notes.example.com/today","pinned":false,"active":true},{"id":42,"windowId":7,"title":"Größe","url":"https://example.org/","pinned":true,"active":false}],"scannedAt":"2026-05-01T12:30:00.250Z"}'
command_message='{"action":"command","command":"openApp"}'

begin "per user: every browser family's manifest in Local AppData, and the HKCU keys naming them"
run "$register" --browser all "$origin" "$addon"
expect_status 0
for key in Chromium Google\\Chrome Microsoft\\Edge Mozilla; do
  case $key in
    Chromium) slug=chromium ;;
    Google*) slug=google-chrome ;;
    Microsoft*) slug=microsoft-edge ;;
    *) slug=mozilla ;;
  esac
  expect_reg "HKCU\\Software\\$key\\NativeMessagingHosts\\$name" "$win_manifests\\$name.$slug.json"
done
expect_manifest "$user_manifests/$name.google-chrome.json" "$win_host" allowed_origins "$origin"
expect_manifest "$user_manifests/$name.mozilla.json" "$win_host" allowed_extensions "$addon"
grep -q "registered HKEY_CURRENT_USER\\\\Software\\\\Chromium" "$scratch/out" || fail "the keys are not listed"

begin "--status tells what each browser reads, and which browsers read another's key"
run "$register" --status
expect_status 0
echo "--- velmora-register.exe --status, registered per user"
cat "$scratch/out"
for row in "Chromium no user* ok ok $origin" "Brave no user* ok ok $origin" "Microsoft Edge no system absent - -" \
  "LibreWolf no user* ok ok $addon"; do
  expect_row "$row"
done
grep -q "^HKEY_CURRENT_USER\\\\Software\\\\Chromium\\\\NativeMessagingHosts\\\\$name (Chromium, Brave, Vivaldi): .*version velmora-extension" \
  "$scratch/out" || fail "the Chromium key's readers are not shown"
grep -q "^HKEY_CURRENT_USER\\\\Software\\\\Mozilla\\\\NativeMessagingHosts\\\\$name (Firefox, LibreWolf)" "$scratch/out" ||
  fail "the Mozilla key's readers are not shown"
grep -qxF "The application a command starts: $(windows_path "$bundle")\\Nelo.exe, there" "$scratch/out" ||
  fail "Nelo.exe is not named: $(head -n 4 "$scratch/out")"

begin "a browser stand-in finds the per-user registration as Brave and LibreWolf do"
for pair in "brave $origin" "librewolf $addon"; do
  run "$standin" --browser "${pair% *}" --caller "${pair#* }" "$snapshot_message"
  expect_status 0
  grep -q '^reply {"ok":true,"count":2' "$scratch/out" || fail "${pair% *}: $(cat "$scratch/out" "$scratch/err")"
done
grep -q "^start .*\\\\$name\\.mozilla\\.json $addon\$" "$scratch/out" ||
  fail "Firefox's arguments: $(cat "$scratch/out")"

begin "--remove takes back only what register wrote"
other=$(windows_path "$scratch/other.json")
wine reg add "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\$name" /ve /d "$other" /f </dev/null >/dev/null 2>&1
printf ' ' >>"$user_manifests/$name.microsoft-edge.json"
run "$register" --remove
expect_status 0
expect_no_key "HKCU\\Software\\Chromium"
expect_no_key "HKCU\\Software\\Mozilla"
expect_reg "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\$name" "$other"
expect_reg "HKCU\\Software\\Microsoft\\Edge\\NativeMessagingHosts\\$name" "$win_manifests\\$name.microsoft-edge.json"
files=$(cd "$user_manifests" && ls)
[ "$files" = "$name.microsoft-edge.json" ] || fail "manifests left: $files"
grep -q "left HKEY_CURRENT_USER\\\\Software\\\\Google\\\\Chrome\\\\NativeMessagingHosts\\\\$name: it names another manifest" \
  "$scratch/out" || fail "not said what was left: $(cat "$scratch/out")"
wine reg delete "HKCU\\Software\\Google" /f </dev/null >/dev/null 2>&1
wine reg delete "HKCU\\Software\\Microsoft\\Edge" /f </dev/null >/dev/null 2>&1
rm -rf "$local_appdata/Velmora"

begin "without --browser only installed browsers; none for the callers is status 1"
run "$register" "$addon"
expect_status 1
grep -q -- "--browser" "$scratch/err" || fail "no hint at --browser: $(cat "$scratch/err")"
mkdir -p "$local_appdata/Google/Chrome/User Data"
: >"$local_appdata/Google/Chrome/User Data/Local State"
run "$register" "$origin" "$addon"
expect_status 0
files=$(cd "$user_manifests" && ls)
[ "$files" = "$name.google-chrome.json" ] || fail "manifests: $files"
run "$register" --remove
expect_no_key "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts"
[ ! -e "$local_appdata/Velmora" ] || fail "the manifests' folder is left"
rm -rf "$local_appdata/Google"

begin "--system: HKLM keys and manifests beside the host; Brave has Chrome's key"
run "$register" --system --browser brave,firefox "$origin" "$addon"
expect_status 0
expect_reg "HKLM\\Software\\Google\\Chrome\\NativeMessagingHosts\\$name" "${win_host%\\*}\\$name.google-chrome.json"
expect_reg "HKLM\\Software\\Mozilla\\NativeMessagingHosts\\$name" "${win_host%\\*}\\$name.mozilla.json"
expect_manifest "$plugin/$name.mozilla.json" "$win_host" allowed_extensions "$addon"
run "$register" --status
expect_row "Brave no system* ok ok $origin"
expect_row "Chromium no user absent - -"
grep -q "^HKEY_LOCAL_MACHINE\\\\Software\\\\Google\\\\Chrome\\\\NativeMessagingHosts\\\\$name (Chromium, Google Chrome, Brave, Vivaldi, Microsoft Edge)" \
  "$scratch/out" || fail "Chrome's key's readers: $(cat "$scratch/out")"
run "$register" --system --remove
expect_status 0
expect_no_key "HKLM\\Software\\Google\\Chrome\\NativeMessagingHosts"
expect_no_key "HKLM\\Software\\Mozilla\\NativeMessagingHosts"
[ ! -e "$plugin/$name.mozilla.json" ] || fail "the system manifest is left"

# Arguments the tool must refuse, with a message naming the problem, and
# without writing anything. Fields: expected message part | arguments.
refusals() {
  cat <<EOF
invalid extension origin|chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnq/
invalid caller|velmora@
as separate arguments|$origin;$addon
needs a Firefox add-on ID|--browser librewolf $origin
does not apply on Windows|--user-data-dir profile $origin
not an executable file|--browser firefox --host Z:\\nonexistent\\host.exe $addon
exclude each other|--remove --status
EOF
}
refusals >"$scratch/refusals"
while IFS='|' read -r message arguments; do
  begin "refuses: $arguments"
  # The arguments hold no spaces of their own; word splitting is wanted.
  # shellcheck disable=SC2086
  run "$register" $arguments
  expect_status 2
  grep -q -- "$message" "$scratch/err" || fail "message [$(cat "$scratch/err")] lacks [$message]"
  [ ! -e "$local_appdata/Velmora" ] || fail "wrote into Local AppData"
  expect_no_key "HKCU\\Software\\Mozilla\\NativeMessagingHosts\\$name"
done <"$scratch/refusals"

begin "refuses: --host naming the tool itself"
run "$register" --browser firefox --host "$(windows_path "$register")" "$addon"
expect_status 2
grep -q -- "itself" "$scratch/err" || fail "message: $(cat "$scratch/err")"

begin "refuses: --host naming a program that is no velmora-extension"
run "$register" --browser firefox --host "$(windows_path "$(cd -- "$(dirname -- "$standin")" && pwd)/$(basename -- "$standin")")" \
  "$addon"
expect_status 2
grep -q -- "is no velmora-extension: asked for --version, it answered nothing" "$scratch/err" ||
  fail "message: $(cat "$scratch/err")"
[ ! -e "$local_appdata/Velmora" ] || fail "wrote into Local AppData"

begin "both registration tools know the same browsers"
run "$register" --browser netscape "$origin"
windows_list=$(sed 's/^velmora-register: //' "$scratch/err")
linux_list=$(HOME=$scratch sh "$linux_register" --browser netscape "$origin" 2>&1 | sed 's/^register: //')
[ -n "$windows_list" ] && [ "$windows_list" = "$linux_list" ] ||
  fail "velmora-register.exe says [$windows_list], register says [$linux_list]"

begin "the MSI installs the host, the tool, the manifests and the HKLM keys"
win_msi=$(windows_path "$(cd -- "$(dirname -- "$msi")" && pwd)/$(basename -- "$msi")")
snapshot before
run msiexec /i "$win_msi" /qn
expect_status 0
installed=$drive_c/Program\ Files/Nelo/Contents/PlugIns/velmora-extension
win_installed='C:\Program Files\Nelo\Contents\PlugIns\velmora-extension'
for file in velmora-extension.exe velmora-register.exe; do
  [ -f "$installed/$file" ] || fail "$file is not installed"
done
cmp -s "$installed/velmora-extension.exe" "$host_exe" || fail "the installed host is not the given one"
msi_origin=$(grep -o 'chrome-extension://[a-p]*/' "$installed/$name.google-chrome.json" 2>/dev/null | head -n 1)
msi_addon=$(sed -n '/"allowed_extensions"/,/]/s/^    "\(.*\)",\{0,1\}$/\1/p' "$installed/$name.mozilla.json" 2>/dev/null |
  head -n 1)
[ -n "$msi_origin" ] && [ -n "$msi_addon" ] ||
  fail "the MSI allows no origin or no add-on ID: build it with both in VELMORA_ALLOWED_CALLERS"
for pair in google-chrome:Google\\Chrome chromium:Chromium microsoft-edge:Microsoft\\Edge mozilla:Mozilla; do
  expect_reg "HKLM\\Software\\${pair#*:}\\NativeMessagingHosts\\$name" "$win_installed\\$name.${pair%%:*}.json"
done
grep -q '"path": "velmora-extension.exe",' "$installed/$name.mozilla.json" ||
  fail "the manifest does not name the host beside it"
run "$installed/velmora-register.exe" --status
echo "--- velmora-register.exe --status, after the MSI"
cat "$scratch/out"
expect_row "Google Chrome no system* ok ok $msi_origin"
expect_row "Firefox no system* ok ok $msi_addon"

begin "velmora-register.exe --system neither replaces nor removes what the MSI installed"
cp "$installed/$name.mozilla.json" "$scratch/msi-manifest"
run "$installed/velmora-register.exe" --system --browser all "$origin" "$addon"
expect_status 2
grep -q "nothing written: these manifests belong to the installed Velmora extension host" "$scratch/err" &&
  grep -q "$name.mozilla.json" "$scratch/err" || fail "message: $(cat "$scratch/err")"
run "$installed/velmora-register.exe" --system --remove
expect_status 2
grep -q "nothing removed" "$scratch/err" || fail "message: $(cat "$scratch/err")"
cmp -s "$installed/$name.mozilla.json" "$scratch/msi-manifest" || fail "the MSI's manifest was changed"
expect_reg "HKLM\\Software\\Mozilla\\NativeMessagingHosts\\$name" "$win_installed\\$name.mozilla.json"

begin "round trips through the installed host; the Nelo it starts outlives the browser's job"
cp "$nelo_exe" "$drive_c/Program Files/Nelo/Nelo.exe"
run "$standin" --browser chrome --caller "$msi_origin" --nelo 'C:\Program Files\Nelo' "$snapshot_message" \
  "$command_message"
expect_status 0
echo "--- the browser stand-in as Google Chrome, through the installed host"
cat "$scratch/out"
grep -q '^reply {"ok":true,"count":2' "$scratch/out" || fail "no saveSnapshot reply with the count"
grep -q '^reply {"ok":true,"message":"Nelo wird geöffnet"}$' "$scratch/out" || fail "no command reply"
grep -q '^Nelo outlived the job$' "$scratch/out" || fail "Nelo did not outlive the job"
grep -qx '"C:\\Program Files\\Nelo\\Nelo.exe"' "$drive_c/Program Files/Nelo/Nelo.started" ||
  fail "Nelo's command line: $(cat "$drive_c/Program Files/Nelo/Nelo.started")"
run "$standin" --browser firefox --caller "$msi_addon" "$snapshot_message"
expect_status 0
grep -q '^reply {"ok":true,"count":2' "$scratch/out" || fail "Firefox: $(cat "$scratch/out" "$scratch/err")"
rm -f "$drive_c/Program Files/Nelo/Nelo.exe" "$drive_c/Program Files/Nelo/Nelo.started" \
  "$drive_c/Program Files/Nelo/Nelo.outlived"

begin "removing the MSI leaves nothing behind"
run msiexec /x "$win_msi" /qn
expect_status 0
snapshot after
diff "$scratch/before.files" "$scratch/after.files" >"$scratch/diff" || fail "files: $(cat "$scratch/diff")"
diff "$scratch/before.registry" "$scratch/after.registry" >"$scratch/diff" || fail "registry: $(cat "$scratch/diff")"

finish_case
echo "$((cases - failed_cases)) passed, $failed_cases failed"
[ "$failed_cases" -eq 0 ]
