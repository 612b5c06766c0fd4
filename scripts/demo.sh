#!/usr/bin/env bash
# Builds the host and the framing client, then runs a real exchange with the
# built host against a temporary storage directory and shows what it wrote.
# The host runs from inside a temporary application bundle whose AppRun only
# records that it was started, so nothing else on the machine is launched.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "== building the host and the client" >&2
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target velmora-extension velmora-client

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Storage goes to $XDG_DATA_HOME/Velmora, inside the temporary directory.
export XDG_DATA_HOME="$tmp/data"
mkdir -p "$XDG_DATA_HOME"

# The host finds its application three directory levels above its own.
app="$tmp/Nelo.AppDir"
plugin="$app/Contents/PlugIns/velmora-extension"
mkdir -p "$plugin"
cp build/src/velmora-extension "$plugin/velmora-extension"
record="$tmp/apprun-record.txt"
cat >"$app/AppRun" <<APPRUN
#!/bin/sh
echo "AppRun started: \$# arguments, stdin \$(readlink /proc/\$\$/fd/0), stdout \$(readlink /proc/\$\$/fd/1)" >"$record.part"
mv "$record.part" "$record"
APPRUN
chmod +x "$app/AppRun"

# Scan times a minute apart, ending now, so that no history copy is old
# enough to be pruned.
stamp() { date -u -d "@$(($(date +%s) - $1))" +%Y-%m-%dT%H:%M:%SZ; }
t1=$(stamp 120)
t2=$(stamp 60)
t3=$(stamp 0)

tabs='{"id":1,"windowId":1,"title":"Velmora – Start","url":"https://www.example.org/","pinned":true,"active":false},{"id":2,"windowId":1,"title":"Notes","url":"https://notes.example.com/today?view=list","pinned":false,"active":true}'
changed='{"id":3,"windowId":2,"title":"Weather in München","url":"https://weather.example.net/München","pinned":false,"active":false,"snippet":"Sunny, 21 °C"}'
gone='{"id":3,"windowId":2,"title":"Recipes","url":"https://recipes.example.net/soup","pinned":false,"active":false}'

# One long-lived connection, as a browser keeps it: a first scan, the same tabs
# a minute later (nothing to write), a scan with one page replaced (snapshot and
# a history copy rewritten), a command for the application, and a message that
# is not even JSON.
echo
echo "== the exchange (requests →, replies ←, the host's log lines on its standard error)"
build/tools/velmora-client --host "$plugin/velmora-extension" 2>&1 <<MESSAGES
{"action":"saveSnapshot","tabs":[$tabs,$gone],"scannedAt":"$t1"}
{"action":"saveSnapshot","tabs":[$tabs,$gone],"scannedAt":"$t2"}
{"action":"saveSnapshot","tabs":[$tabs,$changed],"scannedAt":"$t3"}
{"action":"command","command":"saveAll","url":"https://notes.example.com/today?view=list"}
{"action":"saveSnapshot","tabs":[
MESSAGES

echo
echo "== files written under \$XDG_DATA_HOME"
(cd "$XDG_DATA_HOME" && find . -type f | sort | while read -r file; do
  echo "-- ${file#./}"
  cat "$file"
  echo
done)

echo
echo "== the application launch"
for _ in $(seq 50); do
  [ -e "$record" ] && break
  sleep 0.1
done
if [ -e "$record" ]; then
  cat "$record"
else
  echo "AppRun was not started" >&2
  exit 1
fi
