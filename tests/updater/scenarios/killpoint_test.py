#!/usr/bin/env python3
"""Kill points: a real plaza update (Talvex.exe with the real PellowD.dll
under Wine, nginx on loopback) is killed with SIGKILL of its Wine process at
many moments spread over the run, and after every kill:

- every installed file holds its old bytes or its new ones (by digest; a
  file the old installation lacked may also still be missing),
- the following run, left to finish, makes the installation identical to the
  release and leaves no temporary file of the engine anywhere in it.

Prints "kill points: N, torn files: 0, leftover temp files: 0, recovered
runs: N". Bounded: at most MAX_CYCLES cycles and BUDGET_S seconds; fewer
than KILL_POINTS kills that hit a running update fail the test.

It runs on one Windows tree: the 32-bit one where this machine runs it (what
ships), the 64-bit one otherwise; in the other tree it reports itself
skipped (exit code 77).
"""

import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

from talvexrig import BUILD, SOURCE, Failure, Installation, main, plaza_info, run, start
from e2e_scenarios import Release
from nginx_rig import NginxRig
from buildtrees import runnable_trees

KILL_POINTS = int(os.environ.get("KILLPOINT_COUNT", "200"))
MAX_CYCLES = KILL_POINTS + KILL_POINTS // 2
BUDGET_S = float(os.environ.get("KILLPOINT_BUDGET_S", "600"))
RUN_TIMEOUT_S = 60
# Installations killed side by side: most of a cycle is waiting (the batch
# file's pause of a second, the network), not work.
LANES = int(os.environ.get("KILLPOINT_LANES", "5"))
SKIP = 77
# A batch file that runs takes about a second (its pause) and a few copies.
STUCK_S = 15
# Of the kills that hit a run, how many may leave a stuck batch file (a Wine
# artefact, see wait_for_batch_file) before that counts as a fault. Seen: none
# of 200 under the 32-bit loader, 4 of 200 under wine64, cmd.exe waiting on
# its Wine server pipe.
MAX_STUCK_SHARE = 0.10


def tree_to_run():
    """The Windows tree the kill-point test belongs to on this machine: the
    32-bit one, what ships, when this machine runs it, the 64-bit one
    otherwise; None when it runs neither."""
    runnable = runnable_trees(SOURCE)
    for tree in ("windows", "windows64"):
        if tree in runnable:
            return tree
    return None


def md5(data):
    return hashlib.md5(data).hexdigest()


def make_release(root):
    """56 files: small ones in nested and Chinese-named folders, one of 6 MiB
    with its chunk index, three special ones; the old installation lacks some
    and has old bytes for the rest."""
    rnd = random.Random(20261208)
    release = Release(root)
    old = {}
    for i in range(52):
        folder = ("", "sub\\", "sub\\deep\\", "游戏\\")[i % 4]
        name = f"\\{folder}f{i:02d}.dat"
        release.add(name, rnd.randbytes(rnd.randrange(0, 24 * 1024)))
        if i % 5:
            old[name] = rnd.randbytes(rnd.randrange(1, 24 * 1024))
    # The large file's older version shares most of its chunks, and its
    # chunk index is published: a kill can fall inside a rebuild from
    # chunks, and the following run continues from what is on the disk.
    big = bytearray(rnd.randbytes(6 * 1024 * 1024))
    old["\\big.pak"] = bytes(big)
    for at in (500_000, 2_500_000, 4_500_000):
        big[at:at + 64 * 1024] = rnd.randbytes(64 * 1024)
    release.add("\\big.pak", bytes(big))
    for name in ("\\Quorle.dll", "\\sub\\Special.dll", "\\字体.dll"):
        release.add(name, rnd.randbytes(rnd.randrange(1024, 64 * 1024)), special=1)
        old[name] = rnd.randbytes(512)
    release.publish()
    release.chunk_indexes()
    new = {name: data for name, data, special, game, digest in release.files}
    special = {name for name, data, s, game, digest in release.files if s}
    return release, new, old, special


class Cycle:
    """One installation, reset to the old release before every kill."""

    def __init__(self, root, base_url, new, old, special):
        self.inst = Installation(root, engine="real",
                                 ziv=plaza_info(server=base_url + "/%s", reserve=base_url + "/%s"))
        self.new, self.old, self.special = new, old, special
        self.pristine = os.path.join(root, "old")
        for name, data in old.items():
            path = self._path(self.pristine, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    @staticmethod
    def _path(folder, name):
        return os.path.join(folder, *name.strip("\\").split("\\"))

    def reset(self):
        """The old installation. The engine replaces files by renaming over
        them, so ordinary ones can be links to the pristine copies; the batch
        file copies into special ones, so those are copies. Temporary files
        a run left were counted after it and go, so that each kill is judged
        on its own."""
        for path in self.temp_files():
            os.remove(path)
        for name in self.new:
            path = self._path(self.inst.folder, name)
            if os.path.lexists(path):
                os.remove(path)
            if name in self.old:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                if name in self.special:
                    shutil.copyfile(self._path(self.pristine, name), path)
                else:
                    os.link(self._path(self.pristine, name), path)

    def log_size(self):
        folder = self.inst.path("errRpt")
        if not os.path.isdir(folder):
            return 0
        return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)
                   if n.startswith("Talvex.exe-"))

    def log_since(self, size):
        folder = self.inst.path("errRpt")
        if not os.path.isdir(folder):
            return b""
        data = b"".join(open(os.path.join(folder, n), "rb").read()
                        for n in sorted(os.listdir(folder)) if n.startswith("Talvex.exe-"))
        return data[size:]

    def processes_inside(self):
        """Wine processes working in this installation: cmd.exe running
        SpecialCpy.bat and the programs it starts take its folder as their
        current directory, and so does their Unix side."""
        folder = os.path.realpath(self.inst.folder)
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                cwd = os.readlink(f"/proc/{entry}/cwd")
            except OSError:
                continue
            if cwd == folder or cwd.startswith(folder + os.sep):
                found.append(int(entry))
        return found

    def wait_for_batch_file(self, log_start, killed=False):
        """When the run started SpecialCpy.bat, waits until it has ended (it
        deletes itself): its copies are not the engine's and are not killed.

        Talvex logs the start just before it creates the batch file's
        process, so a kill in between leaves the batch file unrun: once
        Talvex is gone, a batch file with no process working in the
        installation for a while never began, and the next run is left to
        recover from that. Under Wine a kill in the middle of creating that
        process has also been seen to leave cmd.exe hanging with the batch
        file unfinished, waiting for an answer of the Wine server that never
        comes (their process states are printed): after a kill
        (killed), a batch file that has not ended within STUCK_S has its
        processes killed, and True says so.
        Anywhere else a batch file that does not end is a fault."""
        if "运行bat文件".encode("cp936") not in self.log_since(log_start):
            return False
        started = time.monotonic()
        deadline = started + 30
        idle_since = None
        while self.inst.exists("SpecialCpy.bat") or self.inst.exists("DownLoad\\Special"):
            now = time.monotonic()
            if self.processes_inside():
                idle_since = None
            elif idle_since is None:
                idle_since = now
            elif now - idle_since > 3:
                return False
            if killed and now - started > STUCK_S:
                stuck = self.processes_inside()
                print("after a kill, SpecialCpy.bat stuck: " +
                      "; ".join(describe(pid) for pid in stuck), flush=True)
                for pid in stuck:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                return True
            if now > deadline:
                raise Failure("SpecialCpy.bat did not finish within 30 s; working in the "
                              "installation: " + "; ".join(describe(pid) for pid in
                                                           self.processes_inside()))
            time.sleep(0.05)
        return False

    def torn(self):
        """Files that hold neither their old nor their new bytes."""
        out = []
        for name, data in self.new.items():
            path = self._path(self.inst.folder, name)
            if not os.path.exists(path):
                if name in self.old:
                    out.append(name + " (missing)")
                continue
            with open(path, "rb") as f:
                got = md5(f.read())
            if got != md5(data) and (name not in self.old or got != md5(self.old[name])):
                out.append(name)
        return out

    def differing(self):
        out = []
        for name, data in self.new.items():
            path = self._path(self.inst.folder, name)
            if not os.path.exists(path) or open(path, "rb").read() != data:
                out.append(name)
        return out

    def temp_files(self):
        out = []
        for folder, _, files in os.walk(self.inst.folder):
            out += [os.path.join(folder, n) for n in files if n.startswith("~PellowD-")]
        return out

    def start(self):
        return start(self.inst.path("Talvex.exe"), cwd=self.inst.folder)


def describe(pid):
    """A process for a report: its id, state, what it waits in, its command line."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/wchan") as f:
            wchan = f.read()
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            args = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
    except OSError:
        return f"{pid} (gone)"
    return f"{pid} {state} {wchan} {args}"


def wine_process(wrapper):
    """The Wine process of Talvex.exe that wine-run started: its child that
    is not one of its subshells (Wine turns its own command line into the
    Windows program's path as it starts)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    args = f.read().split(b"\0")
            except (OSError, ValueError, IndexError):
                continue
            if parent == wrapper.pid and os.path.basename(args[0]) != b"bash" and \
                    any(arg.endswith(b"Talvex.exe") for arg in args):
                return int(entry)
        if wrapper.poll() is not None:
            return None
        time.sleep(0.005)
    return None


class Tally:
    """The kill points shared by the lanes: which slot is next, and what was found."""

    def __init__(self, duration):
        self.duration = duration
        self.lock = threading.Lock()
        self.next_slot = 0
        self.kills = self.torn = self.leftover = self.recovered = self.cycles = self.stuck = 0
        self.problems = []
        self.began = time.monotonic()

    def take_slot(self):
        with self.lock:
            if self.next_slot >= KILL_POINTS or self.cycles >= MAX_CYCLES or \
                    time.monotonic() - self.began > BUDGET_S:
                return None
            self.next_slot += 1
            return self.next_slot - 1

    def add(self, **counts):
        with self.lock:
            for name, value in counts.items():
                setattr(self, name, getattr(self, name) + value)

    def problem(self, text):
        with self.lock:
            self.problems.append(text)


def lane(cycle, tally, seed):
    """Runs one lane; what stops it is reported with the rest."""
    try:
        kill_runs(cycle, tally, seed)
    except Failure as e:
        tally.problem(f"lane {seed}: {e}")


def kill_runs(cycle, tally, seed):
    """Kills runs of one installation at the moments of the slots it takes.
    A run that ended before its moment is tried again a little earlier."""
    rnd = random.Random(seed)
    slot = tally.take_slot()
    scale = 1.0
    while slot is not None:
        with tally.lock:
            if tally.cycles >= MAX_CYCLES:
                return
            tally.cycles += 1
        cycle.reset()
        at = scale * tally.duration * (slot + rnd.random()) / KILL_POINTS
        log_start = cycle.log_size()
        wrapper = cycle.start()
        pid = wine_process(wrapper)
        started = time.monotonic()
        time.sleep(max(0.0, at - (time.monotonic() - started)))
        hit = False
        if pid is not None and wrapper.poll() is None:
            try:
                os.kill(pid, signal.SIGKILL)
                hit = True
            except ProcessLookupError:
                pass
        try:
            wrapper.wait(timeout=RUN_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            wrapper.kill()
            wrapper.wait()
            tally.problem(f"slot {slot}: a killed run did not end")
            return
        stuck = cycle.wait_for_batch_file(log_start, killed=hit)
        if stuck:
            tally.add(stuck=1)
        if not hit:
            scale *= 0.8
            continue
        where = f"kill at {at:.3f} s (slot {slot})"
        bad = cycle.torn()
        for name in bad:
            tally.problem(f"{where}: torn {name}")

        log_start = cycle.log_size()
        rc = run(cycle.inst.path("Talvex.exe"), cwd=cycle.inst.folder, timeout=RUN_TIMEOUT_S)
        cycle.wait_for_batch_file(log_start)
        temps = cycle.temp_files()
        for path in temps:
            tally.problem(f"{where}: left {path}")
        differing = cycle.differing()
        if rc != 0 or differing:
            tally.problem(f"{where}: the following run ended with {rc}, differing {differing[:5]}")
        tally.add(kills=1, torn=len(bad), leftover=len(temps),
                  recovered=1 if rc == 0 and not differing else 0)
        slot = tally.take_slot()
        scale = 1.0


def kill_points(root):
    release, new, old, special = make_release(root)
    # Xvfb has no window manager: Wine would wait 2 s for one on every window
    # it hides. Unmanaged windows need no manager.
    rc = run("reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f")
    if rc != 0:
        raise Failure(f"reg add ended with {rc}")
    with NginxRig(release.root) as rig:
        cycles = [Cycle(os.path.join(root, f"lane{i}"), rig.base_url, new, old, special)
                  for i in range(LANES)]

        # Whole updates from the old installation: how long a run lasts from
        # the moment its Wine process is there (the shortest of three, the
        # first one also starts the Wine server).
        first = cycles[0]
        durations = []
        for _ in range(3):
            first.reset()
            log_start = first.log_size()
            wrapper = first.start()
            pid = wine_process(wrapper)
            t0 = time.monotonic()
            rc = wrapper.wait(timeout=RUN_TIMEOUT_S)
            durations.append(time.monotonic() - t0)
            first.wait_for_batch_file(log_start)
            if pid is None or rc != 0 or first.differing():
                raise Failure(f"a whole update failed (exit code {rc}, process {pid}): "
                              f"{first.differing()}")
        duration = min(durations)
        print(f"a whole update takes {duration:.2f} s", flush=True)

        tally = Tally(duration)
        threads = [threading.Thread(target=lane, args=(c, tally, i)) for i, c in enumerate(cycles)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    print(f"kill points: {tally.kills}, torn files: {tally.torn}, leftover temp files: "
          f"{tally.leftover}, recovered runs: {tally.recovered}", flush=True)
    print(f"({tally.cycles} runs started to be killed, {LANES} installations side by side, "
          f"{time.monotonic() - tally.began:.0f} s, {tally.stuck} batch files stuck after "
          f"a kill)", flush=True)
    if tally.problems:
        raise Failure("\n".join(tally.problems[:20]))
    if tally.stuck > MAX_STUCK_SHARE * max(tally.kills, 1):
        raise Failure(f"{tally.stuck} batch files stuck after {tally.kills} kills")
    if tally.kills < KILL_POINTS:
        raise Failure(f"only {tally.kills} of {KILL_POINTS} kills hit a running update")


if __name__ == "__main__":
    tree = tree_to_run()
    if tree is None:
        print("this machine runs no Windows tree; skipped")
        sys.exit(SKIP)
    if os.path.basename(os.path.normpath(BUILD)) != tree:
        print(f"kill points run in the {tree} tree on this machine; skipped here")
        sys.exit(SKIP)
    sys.exit(main({"kill_points": kill_points}))
