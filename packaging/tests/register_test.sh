#!/bin/sh
# Tests of the registration tool, each in a fresh temporary HOME.
#   register_test.sh PATH-TO-REGISTER
set -u

register=$1
origin=chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/
origin2=chrome-extension://abcdefghijklmnopabcdefghijklmnop/
addon=velmora@example.org
guid='{0A1B2C3D-4E5F-6789-abcd-ef0123456789}'
host=/opt/Nelo.AppDir/Contents/PlugIns/velmora-extension/velmora-extension
name=local.velmora.extension.json

cases=0
failed_cases=0
case_failed=no
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

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

run() {
  (cd "$home" && env -u XDG_CONFIG_HOME HOME="$home" sh "$register" "$@") >"$home.out" 2>"$home.err"
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
firefox=.mozilla/native-messaging-hosts/$name

begin "per-user manifests for every browser"
run --host "$host" "$origin" "$addon" "$origin2" "$guid"
status=$?
expect_status 0
expect_files "./$chromium" "./$chrome" "./$firefox"
expect_manifest "$home/$chromium" "$host" allowed_origins "$origin" "$origin2"
expect_manifest "$home/$chrome" "$host" allowed_origins "$origin" "$origin2"
expect_manifest "$home/$firefox" "$host" allowed_extensions "$addon" "$guid"
grep -q "wrote $home/$firefox" "$home.out" || fail "the written files are not listed"

begin "only Chromium-family callers write no Firefox manifest"
run --host "$host" "$origin"
status=$?
expect_status 0
expect_files "./$chromium" "./$chrome"

begin "only add-on IDs write only the Firefox manifest"
run --host "$host" "$addon"
status=$?
expect_status 0
expect_files "./$firefox"

begin "XDG_CONFIG_HOME moves the Chromium-family folders"
(cd "$home" && HOME="$home" XDG_CONFIG_HOME="$home/conf" sh "$register" --quiet --host "$host" "$origin") >"$home.out" 2>/dev/null
status=$?
expect_status 0
expect_files "./conf/chromium/NativeMessagingHosts/$name" "./conf/google-chrome/NativeMessagingHosts/$name"
[ -s "$home.out" ] && fail "--quiet printed: $(cat "$home.out")"

begin "--user-data-dir adds a profile folder, relative ones taken from the working folder"
run --host "$host" --user-data-dir "$home/profile" --user-data-dir=rel "$origin" "$addon"
status=$?
expect_status 0
expect_files "./$chromium" "./$chrome" "./$firefox" "./profile/NativeMessagingHosts/$name" \
  "./rel/NativeMessagingHosts/$name"
expect_manifest "$home/rel/NativeMessagingHosts/$name" "$host" allowed_origins "$origin"

begin "--only-user-data-dir writes nothing else"
run --host "$host" --only-user-data-dir --user-data-dir "$home/profile" "$origin" "$addon"
status=$?
expect_status 0
expect_files "./profile/NativeMessagingHosts/$name"

begin "--system writes the system-wide folders"
run --system --destdir "$home/root" --host "$host" "$origin" "$addon"
status=$?
expect_status 0
expect_files "./root/etc/chromium/native-messaging-hosts/$name" \
  "./root/etc/opt/chrome/native-messaging-hosts/$name" \
  "./root/usr/lib/mozilla/native-messaging-hosts/$name"
expect_manifest "$home/root/etc/opt/chrome/native-messaging-hosts/$name" "$host" allowed_origins "$origin"
expect_manifest "$home/root/usr/lib/mozilla/native-messaging-hosts/$name" "$host" allowed_extensions "$addon"

begin "--name chooses another valid host name"
run --host "$host" --name com.example_2.host "$addon"
status=$?
expect_status 0
expect_files "./.mozilla/native-messaging-hosts/com.example_2.host.json"
grep -q '"name": "com.example_2.host"' "$home/.mozilla/native-messaging-hosts/com.example_2.host.json" ||
  fail "the manifest does not carry the chosen name"

begin "a second registration replaces the first whole and leaves no temporary file"
run --host "$host" "$origin" "$addon"
run --host /usr/bin/other "$origin2"
status=$?
expect_status 0
expect_manifest "$home/$chromium" /usr/bin/other allowed_origins "$origin2"
expect_manifest "$home/$firefox" "$host" allowed_extensions "$addon"
expect_files "./$chromium" "./$chrome" "./$firefox"

begin "quotes and backslashes in the host path are escaped"
run --host '/opt/a "b"\c/velmora-extension' "$addon"
status=$?
expect_status 0
expect_manifest "$home/$firefox" '/opt/a \"b\"\\c/velmora-extension' allowed_extensions "$addon"

begin "the default host is the one beside the tool, else the installed one"
mkdir -p "$home/bundle"
cp "$register" "$home/bundle/register"
printf '#!/bin/sh\n' >"$home/bundle/velmora-extension"
chmod +x "$home/bundle/velmora-extension"
(cd "$home" && env -u XDG_CONFIG_HOME HOME="$home" sh bundle/register "$addon") >/dev/null 2>&1
expect_manifest "$home/$firefox" "$home/bundle/velmora-extension" allowed_extensions "$addon"
rm "$home/bundle/velmora-extension"
(cd "$home" && env -u XDG_CONFIG_HOME HOME="$home" sh bundle/register "$addon") >/dev/null 2>"$home.err"
expect_manifest "$home/$firefox" "$host" allowed_extensions "$addon"
grep -q "not an executable file" "$home.err" || fail "no warning about the missing host"

begin "--remove removes every manifest and nothing else"
run --host "$host" --user-data-dir "$home/profile" "$origin" "$addon"
printf 'other\n' >"$home/.mozilla/native-messaging-hosts/other.json"
run --remove --user-data-dir "$home/profile"
status=$?
expect_status 0
expect_files "./.mozilla/native-messaging-hosts/other.json"
grep -q "removed $home/profile/NativeMessagingHosts/$name" "$home.out" || fail "removals are not listed"
run --remove
status=$?
expect_status 0
[ -s "$home.out" ] && fail "removing again reported: $(cat "$home.out")"

begin "--remove --system removes the system-wide manifests"
run --system --destdir "$home/root" --host "$host" "$origin" "$addon"
run --system --destdir "$home/root" --remove
status=$?
expect_status 0
expect_files

begin "a failed write reports its folder and leaves nothing behind"
mkdir -p "$home/.config"
printf 'in the way\n' >"$home/.config/chromium"
run --host "$host" "$origin"
status=$?
[ "$status" -ne 0 ] || fail "succeeded although .config/chromium is a file"
grep -q "cannot create $home/.config/chromium/NativeMessagingHosts" "$home.err" ||
  fail "unclear message: $(cat "$home.err")"
expect_files "./.config/chromium"

begin "a folder in place of the manifest is refused"
mkdir -p "$home/$firefox"
run --host "$host" "$addon"
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
--remove takes no callers|--remove $origin
must be absolute|--host relative/velmora-extension $origin
unknown option|--user $origin
needs a value|--name
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

begin "a host name holding a line break is refused"
run --name "local.velmora.extension
Bad" "$origin"
status=$?
expect_status 2
expect_files

begin "a caller holding a line break is refused"
run "$origin
$origin2"
status=$?
expect_status 2
expect_files

begin "valid names and add-on IDs are accepted"
run --name a --host "$host" -- "x@y" "{ABCDEF01-2345-6789-ABCD-EF0123456789}" "-a_b.c@d-e.f_g"
status=$?
expect_status 0
manifest_name=a expect_manifest "$home/.mozilla/native-messaging-hosts/a.json" "$host" \
  allowed_extensions "x@y" "{ABCDEF01-2345-6789-ABCD-EF0123456789}" "-a_b.c@d-e.f_g"

finish_case
echo "$((cases - failed_cases)) passed, $failed_cases failed"
[ "$failed_cases" -eq 0 ]
