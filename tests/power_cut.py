#!/usr/bin/env python3
"""Power cuts on real file systems.

The storage directory lies on ext4, xfs and btrfs in turn, each made on a loop
device. One long-lived host serves saves of varying size and commands. At
random moments it is stopped with SIGSTOP and the loop device's backing file is
copied while no write is in flight and none completes (the device's stat
counters tell): the copy is what the disk would hold if the power failed then.
Each copy is mounted, which replays its journal as the next boot would, and its
storage directory is held against what the host acknowledged:

- copied while the host waits for its next message: exactly the files as they
  were after the last reply;
- copied during a request: every file as it was before the request or as the
  request left it (known once its reply arrives); temporary files may remain.

A history copy that thinning removed may come back whole: a save does not sync
those removals, as it ignores their failure, and the next thinning repeats
them. Such copies are counted, not failed.

Every version of a file that may appear was read as whole, strict JSON.
Without root or loop devices the test says so and exits 77 (skipped).
"""

import argparse
import hashlib
import json
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
IMAGE_BYTES = 320 << 20  # xfs needs 300 MiB at least
MKFS = {
    # Inode tables and journal written now, so that no background
    # initialisation writes while a copy is taken.
    "ext4": ["mkfs.ext4", "-q", "-E", "lazy_itable_init=0,lazy_journal_init=0"],
    "xfs": ["mkfs.xfs", "-q"],
    "btrfs": ["mkfs.btrfs", "-q"],
}
# A copy carries the UUID of the mounted original; xfs must be told to accept it.
COPY_OPTIONS = {"xfs": ["-o", "nouuid"]}
REPLY_TIMEOUT_S = 30
QUIET_TRIES = 500
SHOWN_FAULTS = 10


class Skip(Exception):
    pass


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}: {done.stderr.strip() or done.returncode}")
    return done.stdout.strip()


def strict_json(data):
    def reject(constant):
        raise ValueError(f"{constant} is not JSON")
    return json.loads(data.decode("utf-8"), parse_constant=reject)


def is_temporary(name):
    return name.startswith(".") and not name.endswith(".json")


def storage_tree(storage):
    """Every regular file below `storage` with its bytes; temporary files by
    name only (their bytes mean nothing); anything else is a problem."""
    files, temporaries, problems = {}, set(), []
    for top, dirs, names in os.walk(storage):
        for name in names + [d for d in dirs if os.path.islink(os.path.join(top, d))]:
            path = os.path.join(top, name)
            relative = os.path.relpath(path, storage)
            if os.path.islink(path) or not os.path.isfile(path):
                problems.append(f"{relative} is not a regular file")
            elif is_temporary(name):
                temporaries.add(relative)
            else:
                with open(path, "rb") as f:
                    files[relative] = f.read()
    return files, temporaries, problems


class Host:
    """The host started from an application bundle whose AppRun does nothing,
    with its data home on the file system under test."""

    def __init__(self, host, work, data_home):
        plugin = os.path.join(work, "Nelo.AppDir", "Contents", "PlugIns", "velmora-extension")
        os.makedirs(plugin)
        path = shutil.copy2(host, plugin)
        app_run = os.path.join(work, "Nelo.AppDir", "AppRun")
        with open(app_run, "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(app_run, 0o755)
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env.update(HOME=work, XDG_DATA_HOME=data_home)
        self.log = open(os.path.join(work, "host.log"), "w+b")
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.log, env=env, cwd="/")

    def send(self, message):
        body = json.dumps(message, ensure_ascii=False).encode()
        self.process.stdin.write(struct.pack("=I", len(body)) + body)
        self.process.stdin.flush()

    def reply_waiting(self):
        return bool(select.select([self.process.stdout], [], [], 0)[0])

    def reply(self):
        if not select.select([self.process.stdout], [], [], REPLY_TIMEOUT_S)[0]:
            raise RuntimeError(f"no reply within {REPLY_TIMEOUT_S} s")
        header = self.process.stdout.read(4)
        if len(header) < 4:
            raise RuntimeError(f"the host ended: {self.log_text()}")
        return json.loads(self.process.stdout.read(struct.unpack("=I", header)[0]))

    def stop(self):
        os.kill(self.process.pid, signal.SIGSTOP)
        # Stopped once it is out of the system call it was in (or dead).
        while True:
            with open(f"/proc/{self.process.pid}/stat", "rb") as f:
                if f.read().rsplit(b")", 1)[1].split()[0] in (b"T", b"Z"):
                    return
            time.sleep(0.0005)

    def resume(self):
        os.kill(self.process.pid, signal.SIGCONT)

    def log_text(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")[-2000:]

    def close(self):
        self.resume()
        self.process.kill()
        self.process.wait()
        self.log.close()


class Messages:
    """Saves of 0 to 2,000 tabs (some the same tabs again a minute later, which
    write nothing) and commands, with scan times minutes to an hour apart so
    that history copies are written and thinned out."""

    def __init__(self, rng):
        self.rng = rng
        self.scan = time.time() - 3 * 86400
        self.tabs = []
        self.count = 0

    def next(self):
        self.count += 1
        rng = self.rng
        if self.count > 1 and rng.random() < 0.2:
            command = rng.choice(["saveAll", "saveCurrent", "cleanUp", "openApp"])
            url = f"https://commands.example/{self.count}"
            return f"command {self.count}", {"action": "command", "command": command, "url": url}
        if self.tabs and rng.random() < 0.2:
            self.scan += 60
        else:
            self.scan += rng.choice([60, 600, 1800, 3700])
            size = rng.choice([0, 1, 5, 40, 300, 2000])
            moved = self.count % 97
            self.tabs = [{"id": i, "windowId": 1 + i % 3, "title": f"Seite {i} – Übersicht {moved}",
                          "url": f"https://site{i % 50}.example/{i}/{(i + moved) % 7}?q=a/b",
                          "pinned": i == 0, "active": i == 1} for i in range(size)]
        scanned = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(self.scan))
        return (f"save {self.count} ({len(self.tabs)} tabs)",
                {"action": "saveSnapshot", "tabs": self.tabs, "scannedAt": scanned})


def loop_counters(device):
    """In-flight requests, and writes, discards and flushes completed."""
    with open(f"/sys/block/{os.path.basename(device)}/stat") as f:
        fields = [int(x) for x in f.read().split()]
    return fields[8], (fields[4], fields[11:12], fields[15:16])


class FileSystemRun:
    def __init__(self, fs, args, work, rng):
        self.fs, self.args, self.work, self.rng = fs, args, work, rng
        self.image = os.path.join(work, "image")
        self.live = os.path.join(work, "live")
        self.copy = os.path.join(work, "copy.img")
        self.copy_mount = os.path.join(work, "copy")
        self.storage = os.path.join(self.live, "Velmora")
        self.device = None
        self.devices, self.mounted, self.in_memory = [], [], False
        self.cuts = self.midway = self.mounts = self.retries = 0
        self.faults = []
        self.versions = {}  # a file version's digest: which message wrote it
        self.latest = {}  # every file ever seen: its last version
        self.returned = 0  # pruned history copies found again in a copy

    def attach(self, image):
        device = run("losetup", "--find", "--show", image)
        self.devices.append(device)
        return device

    def detach(self, device):
        run("losetup", "-d", device)
        self.devices.remove(device)

    def mount(self, device, where, *options):
        run("mount", *options, device, where)
        self.mounted.append(where)

    def unmount(self, where):
        run("umount", where)
        self.mounted.remove(where)

    def cleanup(self):
        for where in reversed(self.mounted):
            subprocess.run(["umount", where], capture_output=True)
        for device in reversed(self.devices):
            subprocess.run(["losetup", "-d", device], capture_output=True)
        if self.in_memory:
            # A loop device lets go of its image a moment after it is
            # detached, and the memory file system is busy until then.
            for _ in range(50):
                if subprocess.run(["umount", self.work], capture_output=True).returncode == 0:
                    break
                time.sleep(0.1)

    def prepare(self):
        # Images and copies in memory: on a disk, removing each copy waits
        # for the discard of its blocks, and every sync for the disk.
        try:
            run("mount", "-t", "tmpfs", "-o", "size=1g,mode=700", "tmpfs", self.work)
        except RuntimeError as e:
            raise Skip(f"this machine cannot mount file systems ({e})")
        self.in_memory = True
        with open(self.image, "wb") as f:
            f.truncate(IMAGE_BYTES)
        try:
            self.device = self.attach(self.image)
        except RuntimeError as e:
            raise Skip(f"this machine cannot make loop devices ({e})")
        run(*MKFS[self.fs], self.device)
        os.makedirs(self.live)
        os.makedirs(self.copy_mount)
        try:
            self.mount(self.device, self.live)
        except RuntimeError as e:
            raise Skip(f"this kernel cannot mount {self.fs} ({e})")
        if self.fs == "btrfs" and not os.path.exists("/sys/fs/btrfs/features/temp_fsid"):
            raise Skip("this kernel cannot mount a copy of a mounted btrfs (Linux 6.7 can)")

    def record(self, label):
        """The storage directory after a reply: every new version of a file
        must be whole, strict JSON."""
        files, _, problems = storage_tree(self.storage)
        state = {name: hashlib.sha256(data).digest() for name, data in files.items()}
        for name, digest in state.items():
            if digest not in self.versions:
                self.versions[digest] = label
                try:
                    strict_json(files[name])
                except ValueError as e:
                    problems.append(f"{name} is not whole JSON: {e}")
        for problem in problems:
            self.faults.append(f"live after {label}: {problem}")
        self.latest.update(state)
        return state

    def take_copy(self, host):
        """Copies the backing file while the host is stopped; whether its
        reply was already written then."""
        host.stop()
        try:
            replied = host.reply_waiting()
            for _ in range(QUIET_TRIES):
                in_flight, before = loop_counters(self.device)
                if in_flight == 0:
                    run("cp", "--sparse=always", "--reflink=never", self.image, self.copy)
                    in_flight, after = loop_counters(self.device)
                    if in_flight == 0 and after == before:
                        self.cuts += 1
                        return replied
                self.retries += 1
                time.sleep(0.002)
            raise RuntimeError("the loop device never stayed quiet during a copy")
        finally:
            host.resume()

    def describe(self, digest):
        if digest is None:
            return "absent"
        return f"as {self.versions[digest]} wrote it" if digest in self.versions else "a version never seen"

    def check_copy(self, what, before, after):
        """Mounts the copy; each file must be as before or as after."""
        # Attached by hand, so that it is detached before the copy goes.
        device = self.attach(self.copy)
        try:
            try:
                self.mount(device, self.copy_mount, *COPY_OPTIONS.get(self.fs, []))
            except RuntimeError as e:
                self.faults.append(f"copy {self.cuts} {what} cannot be mounted: {e}")
                return
            self.mounts += 1
            try:
                files, temporaries, problems = storage_tree(
                    os.path.join(self.copy_mount, "Velmora"))
            finally:
                self.unmount(self.copy_mount)
        finally:
            self.detach(device)
            os.remove(self.copy)
        if temporaries and before is after:
            problems.append(f"temporary files {sorted(temporaries)}")

        for name in sorted(set(files) | set(before) | set(after)):
            found = files.get(name)
            digest = None if found is None else hashlib.sha256(found).digest()
            allowed = {before.get(name), after.get(name)}
            if digest in allowed:
                continue
            if found is not None and name.startswith("history/") and digest == self.latest.get(name):
                self.returned += 1
                continue
            state = self.describe(digest)
            if digest not in self.versions and found is not None:
                try:
                    strict_json(found)
                except ValueError as e:
                    state = f"not whole JSON ({e})"
            expected = " or ".join(sorted(map(self.describe, allowed)))
            problems.append(f"{name} is {state}, expected {expected}")
        if problems:
            self.faults.append(f"copy {self.cuts} {what}: " + "; ".join(problems))

    def exercise(self, host_path, deadline):
        self.prepare()
        host = Host(host_path, os.path.join(self.work, "bundle"), self.live)
        messages = Messages(self.rng)
        acknowledged, latency, first = {}, 0.01, True
        try:
            while self.cuts < self.args.cuts and time.monotonic() < deadline:
                label, message = messages.next()
                started = time.monotonic()
                host.send(message)
                replied = None
                if not first and self.rng.random() < 0.6:
                    time.sleep(self.rng.uniform(0, latency))
                    replied = self.take_copy(host)
                    self.midway += not replied
                reply = host.reply()
                if replied is None:
                    latency = 0.8 * latency + 0.2 * (time.monotonic() - started)
                if reply.get("ok") is not True:
                    self.faults.append(f"{label} was answered {reply}")
                state = self.record(label)
                if replied is not None:
                    self.check_copy(f"during {label}", state if replied else acknowledged, state)
                acknowledged = state
                # The first cut follows the first save, into a directory
                # that had to be made.
                if first or self.rng.random() < 0.3:
                    self.take_copy(host)
                    self.check_copy(f"after {label}", acknowledged, acknowledged)
                first = False
        except Exception:
            sys.stderr.write(f"host log:\n{host.log_text()}\n")
            raise
        finally:
            host.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="the built host")
    parser.add_argument("--cuts", type=int, default=250, help="cuts per file system")
    parser.add_argument("--seconds", type=float, default=25, help="at most, per file system")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: loop devices and mounts need root")
        return SKIPPED
    missing = [tool[0] for tool in MKFS.values() if shutil.which(tool[0]) is None]
    if missing:
        print(f"{', '.join(missing)} missing: run scripts/install-deps.sh")
        return 1
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    print(f"seed {seed}")
    rng = random.Random(seed)

    # Ended by the test driver: unmount and detach all the same.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    tested, failed = 0, False
    for fs in MKFS:
        with tempfile.TemporaryDirectory(prefix=f"velmora-power-cut-{fs}-") as work:
            run_ = FileSystemRun(fs, args, work, rng)
            try:
                run_.exercise(args.host, time.monotonic() + args.seconds)
                tested += 1
            except Skip as e:
                print(f"{fs}: skipped: {e}")
                continue
            finally:
                run_.cleanup()
        print(f"{fs}: {run_.cuts} cuts taken ({run_.midway} during a request), "
              f"{run_.mounts} copies mounted, "
              f"{len(run_.faults)} faults found, {run_.retries} copies retried, "
              f"{run_.returned} pruned history copies back")
        for fault in run_.faults[:SHOWN_FAULTS]:
            print(f"  {fault}")
        if len(run_.faults) > SHOWN_FAULTS:
            print(f"  and {len(run_.faults) - SHOWN_FAULTS} more")
        failed |= bool(run_.faults)
    if tested == 0:
        return SKIPPED
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
