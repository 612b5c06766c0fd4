#!/usr/bin/env python3
"""A real browser talks to the built host.

Headless Chromium, or headless Firefox through web-ext, loads the test
extension, which scans the open tabs, sends them to the host one-shot and over
a long-lived port together with commands and malformed messages, and posts
every reply back to a loopback HTTP server run here. The replies and the files
the host wrote are then checked against the pages that were open. Everything
lives in one temporary folder: the browser's home, profile and caches, the
host's data directory, and the application bundle the host runs from, whose
AppRun only records its starts.

With --flatpak APP_ID, Firefox runs as a per-user Flatpak app of that ID,
made in the temporary folder on a runtime of this system's own files, with a
session bus of the run's own; the host must then run outside the sandbox.

With --measure N the extension instead times N one-shot exchanges with the
host and as many with a host that is only `exec cat`, and the medians are
printed; nothing is checked then.
"""

import argparse
import base64
import ctypes
import hashlib
import http.server
import json
import os
import re
import shutil
import statistics
import signal
import subprocess
import sys
import tempfile
import threading
import time
from urllib.parse import urlsplit, urlunsplit

HOST_NAME = "local.velmora.extension"
CAT_HOST_NAME = "local.velmora.cat"
ADDON_ID = "round-trip@velmora.test"
START_PAGE = "/start.html"
PAGES = ["/one.html", "/two.html#section", "/cut.html"]
TITLES = {
    "/start.html": "Velmora – Start",
    "/one.html": "Straße und Übersicht",
    "/two.html": "Zweite Seite",
    # Set by the page's script: cut in the middle of a surrogate pair. Firefox
    # hands the lone surrogate on, as the escape \ud83d in the message;
    # Chromium's tabs API already replaces it. The host stores U+FFFD.
    "/cut.html": "Abgeschnitten \ud83d",
}
SCRIPTS = {"/cut.html": 'document.title = "Abgeschnitten \\ud83d\\ude00".slice(0, -1);'}
SETTINGS = {"enabled": True, "badgeColor": "#2a6", "limit": 3, "nested": {"list": [1, "zwei"]}}
INVALID = {"ok": False, "error": "Ungültige Nachricht"}
REPORT_TIMEOUT_S = 40
# The waits end as soon as what they wait for holds. They are long because
# the other tests may keep the disk busy: the browser writes its profile as it
# shuts down, and the hosts and the AppRun wait for the disk as well.
APPRUN_TIMEOUT_S = 15
SHUTDOWN_TIMEOUT_S = 15

failures = []


def check(condition, what, detail=None):
    if not condition:
        failures.append(what if detail is None else f"{what}: {detail}")


def extension_id(manifest_path):
    """The ID Chromium derives from the manifest's public key."""
    with open(manifest_path, encoding="utf-8") as f:
        key = base64.b64decode(json.load(f)["key"])
    digest = hashlib.sha256(key).hexdigest()[:32]
    return "".join(chr(ord("a") + int(c, 16)) for c in digest)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.report = None
        self.reported = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = urlsplit(self.path).path
        if path not in TITLES:
            self.send_error(404)
            return
        script = SCRIPTS.get(path)
        title = "…" if script else TITLES[path]
        body = f"<!doctype html><meta charset=utf-8><title>{title}</title><p>{title}".encode()
        if script:
            body += f"<script>{script}</script>".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(204)
        # Firefox's background page posts from its own origin.
        self.send_header("Access-Control-Allow-Origin", "*")
        self.end_headers()
        if self.path == "/report":
            self.server.report = json.loads(body.decode("utf-8"))
            self.server.reported.set()

    def log_message(self, *args):
        pass


def make_bundle(root, host):
    """An application bundle with the host three levels below it."""
    app = os.path.join(root, "Nelo.AppDir")
    plugin = os.path.join(app, "Contents", "PlugIns", "velmora-extension")
    os.makedirs(plugin)
    installed = os.path.join(plugin, "velmora-extension")
    shutil.copy2(host, installed)
    record = os.path.join(root, "apprun.log")
    # The mount namespace tells where the host ran, since the host starts it.
    with open(os.path.join(app, "AppRun"), "w", encoding="utf-8") as f:
        f.write(f"#!/bin/sh\necho \"started with $# arguments\" >>'{record}'\n"
                f"readlink /proc/$$/ns/mnt >>'{record}.ns'\n")
    os.chmod(os.path.join(app, "AppRun"), 0o755)
    return installed, record


def environment(root, marker):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "CHROME", "DBUS"))}
    for name, sub in [("HOME", "home"), ("XDG_CONFIG_HOME", "home/.config"),
                      ("XDG_CACHE_HOME", "home/.cache"), ("XDG_DATA_HOME", "home/.local/share"),
                      ("XDG_STATE_HOME", "home/.local/state"), ("XDG_RUNTIME_DIR", "run"),
                      ("TMPDIR", "tmp")]:
        env[name] = os.path.join(root, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    env["VELMORA_BROWSER_TEST"] = marker
    return env


PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    """Orphans of the run (browser helpers, the AppRun the host starts
    detached) are then reparented to this process, which reaps them, rather
    than to init."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def reap_children():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def leftover_processes(marker, group, count_zombies):
    """Processes of this run: in the browser's group, or carrying the run's
    marker in their environment (the hosts and AppRun, which leave the
    group). Zombies count only when this process is their reaper."""
    needle = f"VELMORA_BROWSER_TEST={marker}".encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
            if fields[0] == b"Z":
                if count_zombies and int(fields[2]) == group:
                    found.append(int(pid))
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                marked = needle in f.read().split(b"\0")
            if marked or int(fields[2]) == group:
                found.append(int(pid))
        except (OSError, IndexError, ValueError):
            pass
    return found


def stop_browser(browser, marker, reaper, buses=()):
    """Ends the browser's process group, then the buses if the run has its
    own, then anything else of this run."""
    group = browser.pid
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(group, sig)
        except ProcessLookupError:
            pass
        try:
            browser.wait(timeout=SHUTDOWN_TIMEOUT_S)
            break
        except subprocess.TimeoutExpired:
            continue
    end_buses(buses)
    deadline = time.monotonic() + SHUTDOWN_TIMEOUT_S
    if reaper:
        reap_children()
    left = leftover_processes(marker, group, reaper)
    while left and time.monotonic() < deadline:
        time.sleep(0.1)
        if reaper:
            reap_children()
        left = leftover_processes(marker, group, reaper)
    described = [described_process(pid) for pid in left]
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    check(not left, "processes of the run outlived the browser", described)


def described_process(pid):
    """A process's number, state and command line, to tell which one it was."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            state = f.read().rsplit(b")", 1)[1].split()[0].decode()
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except (OSError, IndexError):
        return f"{pid} (gone)"
    return f"{pid} {state} {command}"


def stray_candidates(root):
    """Entries in the shared temporary folders that the browser could leave
    behind. Names of other programs' files are not looked at, since other
    tests may run at the same time."""
    found = set()
    for folder in {"/dev/shm", tempfile.gettempdir()}:
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        for name in names:
            path = os.path.join(folder, name)
            if path != root and any(part in name.lower()
                                    for part in ("chrom", "crashpad", "firefox", "mozilla", "web-ext")):
                found.add(path)
    return found


def normalized(url):
    """The page key the host uses, for the plain loopback addresses of this test."""
    parts = urlsplit(url)
    path = "" if parts.path == "/" else parts.path
    return urlunsplit((parts.scheme, parts.netloc.lower(), path, parts.query, ""))


def check_replies(report, settings):
    check(not report.get("errors"), "the extension reported errors", report.get("errors"))
    tabs = report.get("tabs", [])
    saved = {"ok": True, "count": len(tabs), "badge": settings}
    expected_one_shot = [saved, INVALID]
    expected_port = [
        saved,
        {"ok": True, "message": "Alle Tabs werden in Nelo gespeichert"},
        {"ok": True, "message": "Nelo wird geöffnet"},
        INVALID,
        INVALID,
        {"ok": True, "message": "Tab wird in Nelo gespeichert"},
    ]
    for name, expected in [("oneShot", expected_one_shot), ("port", expected_port)]:
        got = report.get(name, [])
        check(len(got) == len(expected), f"{name}: {len(got)} exchanges", got)
        for exchange, want in zip(got, expected):
            check(exchange.get("reply") == want,
                  f"{name}: reply to {json.dumps(exchange.get('message'), ensure_ascii=False)[:120]}",
                  f"got {exchange.get('reply') or exchange.get('failure')}, want {want}")


def replace_surrogates(text):
    """Lone surrogates, which no UTF-8 document can hold, become U+FFFD."""
    return re.sub("[\ud800-\udfff]", "\ufffd", text)


def check_pages(report, base):
    tabs = report.get("tabs", [])
    paths = sorted(urlsplit(tab["url"]).path for tab in tabs)
    check(paths == sorted(TITLES), "open pages", paths)
    for tab in tabs:
        check(tab["url"].startswith(base), "tab address", tab["url"])
        path = urlsplit(tab["url"]).path
        check(replace_surrogates(tab["title"]) == replace_surrogates(TITLES.get(path, "")),
              f"title of {path}", tab["title"])
    pinned = [urlsplit(tab["url"]).path for tab in tabs if tab["pinned"]]
    check(pinned == [PAGES[0]], "pinned tabs", pinned)


def check_files(report, data_dir):
    storage = os.path.join(data_dir, "Velmora")
    tabs = report.get("tabs", [])
    scanned_at = report.get("scannedAt", "")
    try:
        with open(os.path.join(storage, "snapshot.v1.json"), "rb") as f:
            snapshot_bytes = f.read()
        snapshot = json.loads(snapshot_bytes.decode("utf-8"))
    except (OSError, ValueError) as error:
        failures.append(f"no readable snapshot document: {error}")
        return
    check(snapshot.get("scannedAt") == scanned_at,
          "the snapshot keeps the first scan (the second changed nothing)", snapshot.get("scannedAt"))
    want_tabs = [{**tab, "title": replace_surrogates(tab["title"])} for tab in tabs]
    check(snapshot.get("tabs") == want_tabs, "snapshot tabs equal the scanned tabs",
          f"{snapshot.get('tabs')} vs {want_tabs}")
    want_first_seen = {normalized(tab["url"]): scanned_at for tab in tabs}
    check(snapshot.get("firstSeen") == want_first_seen, "first-seen map",
          f"{snapshot.get('firstSeen')} vs {want_first_seen}")
    check(b"http:\\/\\/127.0.0.1" in snapshot_bytes, "addresses are stored with escaped slashes")

    history = os.path.join(storage, "history")
    copies = sorted(os.listdir(history)) if os.path.isdir(history) else []
    check(copies == [scanned_at.replace(":", "_") + ".json"], "history copies", copies)
    if len(copies) == 1:
        with open(os.path.join(history, copies[0]), "rb") as f:
            check(f.read() == snapshot_bytes, "the history copy equals the snapshot")

    commands_dir = os.path.join(storage, "commands")
    commands = []
    for name in sorted(os.listdir(commands_dir)) if os.path.isdir(commands_dir) else []:
        check(len(name) == 41 and name.endswith(".json") and name[:36].upper() == name[:36],
              "command file name", name)
        with open(os.path.join(commands_dir, name), encoding="utf-8") as f:
            command = json.load(f)
        check(isinstance(command.get("date"), float), "command date is a number", command)
        commands.append((command.get("command"), command.get("url")))
    active = next((tab["url"] for tab in tabs if tab["active"]), tabs[0]["url"] if tabs else "")
    check(sorted(commands) == sorted([("saveAll", active), ("saveCurrent", active)]),
          "command files", commands)


def check_outside(record, sandboxed):
    """The browser ran in a sandbox, the host (which started the AppRun) in
    the mount namespace of this process."""
    check(sandboxed, "no process of the browser ran in a mount namespace of its own")
    try:
        with open(record + ".ns", encoding="utf-8") as f:
            namespaces = set(f.read().split())
    except OSError:
        namespaces = set()
    own = os.readlink("/proc/self/ns/mnt")
    check(namespaces == {own}, "the host ran outside the sandbox", f"{namespaces} vs {own}")


def check_launches(record):
    # saveAll, openApp and saveCurrent each launch the application once.
    deadline = time.monotonic() + APPRUN_TIMEOUT_S
    lines = []
    while time.monotonic() < deadline:
        if os.path.exists(record):
            with open(record, encoding="utf-8") as f:
                lines = f.read().splitlines()
            if len(lines) >= 3:
                break
        time.sleep(0.1)
    check(lines == ["started with 0 arguments"] * 3, "AppRun starts", lines)


def check_log(log_path):
    with open(log_path, encoding="utf-8", errors="replace") as f:
        log = f.read()
    # Two saves; two unrecognised messages; the message that is not a
    # dictionary is answered without a log line. Chromium passes the lines on
    # as they are, Firefox after a prefix of its own.
    lines = [line[line.index("local.velmora["):] for line in log.splitlines() if "local.velmora[" in line]
    want = [f"local.velmora[extension] info: Snapshot gespeichert: {len(TITLES)} Tabs"] * 2 + [
        "local.velmora[extension] error: Ungültige Nachricht von Safari"] * 2
    check(sorted(lines) == sorted(want), "the host's log lines in the browser's output", lines)


FIREFOX_PREFS = [
    # Nothing that reaches out to the network, which is closed here.
    "app.normandy.enabled=false", "app.update.auto=false", "browser.region.update.enabled=false",
    "browser.safebrowsing.malware.enabled=false", "browser.safebrowsing.phishing.enabled=false",
    "browser.safebrowsing.downloads.enabled=false", "browser.search.update=false",
    "datareporting.policy.dataSubmissionEnabled=false", "extensions.getAddons.cache.enabled=false",
    "network.captive-portal-service.enabled=false", "network.connectivity-service.enabled=false",
    "network.dns.disablePrefetch=true", "network.prefetch-next=false", "toolkit.telemetry.enabled=false",
    "browser.newtabpage.enabled=false", "browser.startup.homepage_override.mstone=ignore",
]


def firefox_manifest(extension):
    """Firefox has no extension keys and runs background scripts, not
    service workers; the fixed add-on ID is what the host manifest allows."""
    path = os.path.join(extension, "manifest.json")
    with open(path, encoding="utf-8") as f:
        manifest = json.load(f)
    del manifest["key"]
    manifest["background"] = {"scripts": ["config.js", "worker.js"]}
    manifest["browser_specific_settings"] = {"gecko": {"id": ADDON_ID}}
    with open(path, "w", encoding="utf-8") as f:
        json.dump(manifest, f)


FLATPAK_RUNTIME = "org.velmora.TestPlatform"
FLATPAK_REMOTE = "velmora-test"
FLATPAK_BRANCH = "test"
FLATPAK_SPAWN = "/usr/libexec/flatpak-xdg-utils/flatpak-spawn"


def shared_libraries(files):
    """The shared libraries the given programs and libraries link, by path."""
    found = set()
    for i in range(0, len(files), 100):
        out = subprocess.run(["ldd", *files[i:i + 100]], capture_output=True, text=True).stdout
        found.update(m.group(1) for m in re.finditer(r"=> (/\S+) \(0x", out))
    return found


def link_or_copy(source, target):
    """The runtime's files are hard links where they can be: the same bytes,
    nothing copied."""
    try:
        os.link(source, target)
    except OSError:
        shutil.copy2(source, target)


def flatpak_runtime(root, browser):
    """A runtime of this system's own files, as little as the browser needs:
    the browser's folder, the libraries that it, a shell and flatpak-spawn
    link, the loader, fonts and their configuration. Flatpak mounts a
    runtime's usr/ folder as /usr and its etc/ as /etc."""
    runtime = os.path.join(root, "runtime")
    usr = os.path.join(runtime, "usr")
    program = os.path.realpath(shutil.which(browser))
    folder = os.path.dirname(program)
    shutil.copytree(folder, usr + folder[len("/usr"):], copy_function=link_or_copy)
    shell = os.path.realpath(shutil.which("sh"))
    spawn = FLATPAK_SPAWN
    for path in [shell, spawn, "/sbin/ldconfig"]:
        os.makedirs(os.path.join(usr, "bin"), exist_ok=True)
        link_or_copy(path, os.path.join(usr, "bin", os.path.basename(path)))
    os.symlink(os.path.basename(shell), os.path.join(usr, "bin", "sh"))
    elves = [program, shell, spawn] + [os.path.join(d, f) for d, _, names in os.walk(folder)
                                       for f in names if f.endswith(".so")]
    lib = os.path.join(usr, "lib", "x86_64-linux-gnu")
    os.makedirs(lib)
    for path in shared_libraries(elves):
        target = os.path.join(lib, os.path.basename(path))
        if not os.path.exists(target):
            link_or_copy(os.path.realpath(path), target)
    os.makedirs(os.path.join(usr, "lib64"))
    link_or_copy(os.path.realpath("/lib64/ld-linux-x86-64.so.2"), os.path.join(usr, "lib64", "ld-linux-x86-64.so.2"))
    shutil.copytree("/usr/share/fonts", os.path.join(usr, "share", "fonts"), copy_function=link_or_copy)
    shutil.copytree("/etc/fonts", os.path.join(usr, "etc", "fonts"))
    os.makedirs(os.path.join(runtime, "files"))
    ref = f"{FLATPAK_RUNTIME}/x86_64/{FLATPAK_BRANCH}"
    with open(os.path.join(runtime, "metadata"), "w", encoding="utf-8") as f:
        f.write(f"[Runtime]\nname={FLATPAK_RUNTIME}\nruntime={ref}\nsdk={ref}\n")
    return runtime, program


def install_flatpak(args, root, env):
    """Installs the browser for the private HOME as the Flatpak app
    args.flatpak, on a runtime made here, through a local repository. The app
    asks for the network, which the test's loopback server needs, and keeps
    its profile root as Flathub's Firefox does; it may not talk to
    org.freedesktop.Flatpak, so register has to allow it."""
    started = time.monotonic()
    runtime, program = flatpak_runtime(root, args.browser)
    repo = os.path.join(root, "repo")
    app = os.path.join(root, "app")

    def flatpak(*command):
        subprocess.run(["flatpak", *command], env=env, check=True, stdout=subprocess.DEVNULL)

    # An uncompressed repository: exporting takes seconds, not a minute.
    subprocess.run(["ostree", "init", "--mode=bare-user-only", f"--repo={repo}"], check=True)
    flatpak("build-export", "--runtime", "--disable-fsync", repo, runtime, FLATPAK_BRANCH)
    flatpak("remote-add", "--user", "--no-gpg-verify", FLATPAK_REMOTE, repo)
    flatpak("install", "--user", "--noninteractive", "-y", FLATPAK_REMOTE, f"{FLATPAK_RUNTIME}//{FLATPAK_BRANCH}")
    flatpak("build-init", app, args.flatpak, FLATPAK_RUNTIME, FLATPAK_RUNTIME, FLATPAK_BRANCH)
    flatpak("build-finish", f"--command={program}", "--share=network", "--persist=.mozilla", app)
    flatpak("build-export", "--disable-fsync", repo, app, FLATPAK_BRANCH)
    flatpak("install", "--user", "--noninteractive", "-y", FLATPAK_REMOTE, f"{args.flatpak}//{FLATPAK_BRANCH}")
    shutil.rmtree(runtime)
    shutil.rmtree(app)
    size = sum(os.lstat(os.path.join(d, f)).st_size for d, _, names in os.walk(repo) for f in names)
    print(f"flatpak: runtime and app ({size / 1e6:.0f} MB) installed in {time.monotonic() - started:.1f} s")


# Every bus a run started, to end them however the run ends.
started_buses = []

SYSTEM_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def start_buses(root, env):
    """A session bus of the test's own, started with the private environment:
    flatpak-spawn asks the Flatpak session helper on it to start the host,
    which then gets this environment, as a user's host gets the session's.
    And a system bus of its own, which flatpak asks before installing an app
    for a user who is not root, and which a machine without one lacks."""
    runtime_dir = env["XDG_RUNTIME_DIR"]
    config = os.path.join(root, "system-bus.conf")
    with open(config, "w", encoding="utf-8") as f:
        f.write(SYSTEM_BUS_CONFIG.format(socket=os.path.join(runtime_dir, "system_bus_socket")))
    buses = []
    for variable, options in [("DBUS_SESSION_BUS_ADDRESS", ["--session"]),
                              ("DBUS_SYSTEM_BUS_ADDRESS", [f"--config-file={config}"])]:
        bus = subprocess.Popen(["dbus-daemon", *options, "--nofork", "--nopidfile", "--print-address"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=root)
        buses.append(bus)
        started_buses.append(bus)
        env[variable] = bus.stdout.readline().decode().strip()
    return buses


def end_buses(buses):
    for bus in buses:
        if bus.poll() is None:
            bus.terminate()
            bus.wait()


def sandboxed_processes(marker):
    """Processes of this run whose mount namespace is not this process's."""
    own = os.readlink("/proc/self/ns/mnt")
    needle = f"VELMORA_BROWSER_TEST={marker}".encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if needle in f.read().split(b"\0") and os.readlink(f"/proc/{pid}/ns/mnt") != own:
                    found.append(pid)
        except OSError:
            pass
    return found


def register(args, env, name, host, extra, caller):
    subprocess.run([args.register, "--quiet", "--name", name, "--host", host, *extra, caller],
                   env=env, check=True)
    if args.flatpak:
        launcher = os.path.join(env["HOME"], ".var", "app", args.flatpak, "data", "velmora-extension", name)
        check(os.access(launcher, os.X_OK), "register wrote no launcher", launcher)


def start_browser(args, env, root, extension, url, log):
    profile = os.path.join(root, "profile")
    if args.firefox:
        firefox = f"flatpak:{args.flatpak}" if args.flatpak else args.browser
        command = [args.web_ext, "run", "--target=firefox-desktop", f"--firefox={firefox}",
                   f"--source-dir={extension}", f"--firefox-profile={profile}", "--profile-create-if-missing",
                   "--keep-profile-changes", "--no-input", "--no-reload", "--arg=--headless",
                   f"--start-url={url}"] + [f"--pref={pref}" for pref in FIREFOX_PREFS]
    else:
        command = [args.browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--password-store=basic",
                   f"--user-data-dir={profile}", f"--load-extension={extension}", url]
    return subprocess.Popen(command, env=env, cwd=root, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT, start_new_session=True)


def print_timings(report, browser):
    timings = report.get("timings") or {}
    for name in (HOST_NAME, CAT_HOST_NAME):
        values = timings.get(name, [])
        if not values:
            failures.append(f"no timings for {name}")
            continue
        print(f"{browser}: one-shot round trip to {name}: median {statistics.median(values):.1f} ms "
              f"over {len(values)} (min {min(values):.1f}, max {max(values):.1f})")


def run(args, root):
    """Checks one run; returns what else to show should a check fail."""
    marker = f"{root}:{os.getpid()}"
    env = environment(root, marker)
    env["NO_UPDATE_NOTIFIER"] = "1"
    host, record = make_bundle(root, args.host)

    settings_dir = os.path.join(env["XDG_DATA_HOME"], "Velmora")
    os.makedirs(settings_dir)
    with open(os.path.join(settings_dir, "extension-settings.json"), "w", encoding="utf-8") as f:
        json.dump(SETTINGS, f)

    server = Server()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"

    extension = os.path.join(root, "extension")
    shutil.copytree(args.extension, extension)
    with open(os.path.join(extension, "config.js"), "w", encoding="utf-8") as f:
        f.write(f"const SERVER = {json.dumps(base)};\n"
                f"const PAGES = {json.dumps(PAGES)};\n"
                f"const EXPECTED = {json.dumps([START_PAGE] + PAGES)};\n"
                f"const MEASURE = {args.measure};\n")

    # Firefox reads the user's own folder; Chromium, started with a profile
    # folder of its own, reads only that one. register finds the Flatpak
    # browser itself and must be told to let it start the host.
    buses = []
    if args.flatpak:
        buses = start_buses(root, env)
        install_flatpak(args, root, env)
        firefox_manifest(extension)
        where, caller = ["--allow-flatpak-spawn"], ADDON_ID
    elif args.firefox:
        firefox_manifest(extension)
        where, caller = ["--browser", "firefox"], ADDON_ID
    else:
        ext_id = extension_id(os.path.join(args.extension, "manifest.json"))
        where = ["--only-user-data-dir", "--user-data-dir", os.path.join(root, "profile")]
        caller = f"chrome-extension://{ext_id}/"
    register(args, env, HOST_NAME, host, where, caller)
    if args.measure:
        cat = os.path.join(root, "cat-host")
        with open(cat, "w", encoding="utf-8") as f:
            # It answers --version as a host does, which register asks for.
            f.write('#!/bin/sh\n[ "$1" != --version ] || exec echo "velmora-extension 0-cat"\nexec cat\n')
        os.chmod(cat, 0o755)
        register(args, env, CAT_HOST_NAME, cat, where, caller)

    reaper = become_subreaper()
    log_path = os.path.join(root, "browser.log")
    with open(log_path, "wb") as log:
        browser = start_browser(args, env, root, extension, base + START_PAGE, log)
    timeout = REPORT_TIMEOUT_S + args.measure
    sandboxed = []
    try:
        reported = server.reported.wait(timeout)
        if args.flatpak:
            sandboxed = sandboxed_processes(marker)
    finally:
        stop_browser(browser, marker, reaper, buses)
        server.shutdown()
        server.server_close()

    if not reported:
        failures.append(f"no report from the extension within {timeout} s")
        with open(log_path, encoding="utf-8", errors="replace") as f:
            return "the browser's output, its end:\n" + f.read()[-4000:]
    report = server.report
    check(report.get("done"), "the extension finished")
    if args.measure:
        check(not report.get("errors"), "the extension reported errors", report.get("errors"))
        print_timings(report, os.path.basename(args.browser))
        return None
    check_replies(report, SETTINGS)
    check_pages(report, base)
    check_files(report, env["XDG_DATA_HOME"])
    check_launches(record)
    if args.flatpak:
        check_outside(record, sandboxed)
    # Firefox shows the host's standard error only in its Browser Console.
    if not args.firefox:
        check_log(log_path)
    return "the extension's report:\n" + json.dumps(report, indent=2, ensure_ascii=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", required=True, help="the built velmora-extension")
    parser.add_argument("--register", required=True, help="the registration tool")
    parser.add_argument("--extension", required=True, help="the test extension's folder")
    parser.add_argument("--browser", default="chromium",
                        help="chromium, or a Firefox (firefox-esr) to start through --web-ext")
    parser.add_argument("--web-ext", help="the web-ext program, for Firefox")
    parser.add_argument("--measure", type=int, default=0, metavar="N",
                        help="time N one-shot exchanges against an `exec cat` host instead of testing")
    parser.add_argument("--flatpak", metavar="APP_ID",
                        help="run the Firefox as this per-user Flatpak app, on a runtime made from this system")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    args.firefox = "firefox" in os.path.basename(args.browser)
    if args.flatpak and not args.firefox:
        parser.error("--flatpak runs a Firefox")
    # The browser starts in the temporary folder.
    if args.web_ext and os.sep in args.web_ext:
        args.web_ext = os.path.abspath(args.web_ext)
    tools = ["flatpak", "ostree", "dbus-daemon", "bwrap", FLATPAK_SPAWN] if args.flatpak else []
    for program in [args.browser] + ([args.web_ext or "web-ext"] if args.firefox else []) + tools:
        if shutil.which(program) is None:
            print(f"{program} not found: run scripts/install-deps.sh", file=sys.stderr)
            return 1

    started = time.monotonic()
    root = tempfile.mkdtemp(prefix="velmora-browser-")
    before = stray_candidates(root)
    detail = None
    try:
        detail = run(args, root)
    finally:
        end_buses(started_buses)
        if args.keep:
            print(f"kept {root}", file=sys.stderr)
        else:
            shutil.rmtree(root, ignore_errors=True)
    stray = stray_candidates(root) - before
    check(not stray, "files left outside the temporary folder", sorted(stray))
    # The failures first: a log cut short keeps its beginning.
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    print(f"browser round trip: {'failed' if failures else 'passed'} "
          f"in {time.monotonic() - started:.1f} s")
    if failures and detail:
        print(detail, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
