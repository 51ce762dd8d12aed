#!/usr/bin/env python3
"""Dravik.exe under Wine on real installation folders.

Each scenario builds a fresh installation folder (with a Chinese name, so that every path in the
copy log is code page 936 text), runs the real Dravik.exe with that folder as its current
directory, and checks the copy log byte for byte, the files and folders, and the plaza stand-in's
own log.

The scenarios use a Wine prefix of their own: Dravik ends every ZIVGame.exe of its Wine server,
which must not hit the plazas of other tests running at the same time.

Environment (set by ctest): SUITE_BIN, SUITE_BUILD, SUITE_SOURCE. Arguments: names of scenarios
to run (default: all).
"""

import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

BIN = os.environ["SUITE_BIN"]
BUILD = os.environ["SUITE_BUILD"]
SOURCE = os.environ["SUITE_SOURCE"]
WINE_RUN = os.path.join(SOURCE, "scripts", "wine-run")
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from winerig import Failure, check, check_equal, windows_path as winpath  # noqa: E402
from display import Display  # noqa: E402
DRAVIK = os.path.join(BIN, "Dravik.exe")
HOLDFILE = os.path.join(BIN, "holdfile.exe")
PLAZA = os.path.join(BIN, "ZIVGame.exe")

ENV = dict(os.environ, WINEPREFIX=os.path.join(BUILD, "wineprefix-filemover"))

INSTALL_NAME = "游戏大厅"
STARTED = "启动游戏客户端"
PLAZA_ENDED = "存在ZIVGame.exe进程,成功删除该进程!"


def copied(n, src, dest):
    return f"成功拷贝文件 {n},strFilePath:{src} --- strNewFilePath:{dest},并且成功删除文件"


def copy_failed(n, src, dest):
    return f"拷贝文件失败 {n},strFilePath:{src} --- strNewFilePath:{dest}"


def removed(folder, n):
    return f"最后成功删除文件夹{folder} {n}"


def remove_failed(folder, count):
    return f"最后删除文件夹失败{folder} {count}"



# --- the copy log ------------------------------------------------------------------------------

ENTRY = re.compile(r"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})(.*)", re.S)


def read_copy_log(inst):
    """All entries of errRpt/CopyLog<day>.txt as (time, message), checking their form on disk:
    the day without leading zero in the name, CR LF CR LF after each entry, code page 936."""
    folder = os.path.join(inst, "errRpt")
    entries = []
    for name in os.listdir(folder):
        m = re.fullmatch(r"CopyLog([1-9][0-9]?)\.txt", name)
        check(m is not None, f"unexpected file errRpt/{name}")
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        check(data.endswith(b"\r\n\r\n"), f"{name} does not end with CR LF CR LF: {data[-8:]!r}")
        for chunk in data.split(b"\r\n\r\n")[:-1]:
            check(b"\r" not in chunk and b"\n" not in chunk, f"{name}: stray line end in {chunk!r}")
            text = chunk.decode("gbk")
            e = ENTRY.fullmatch(text)
            check(e is not None, f"{name}: entry without time stamp: {text!r}")
            stamp = datetime.datetime.strptime(e.group(1), "%Y-%m-%d %H:%M:%S")
            check(stamp.day == int(m.group(1)), f"{name} holds an entry of day {stamp.day}")
            entries.append((stamp, e.group(2)))
    entries.sort(key=lambda entry: entry[0])  # a run may cross midnight into the next file
    return entries


def messages(inst):
    return [message for _, message in read_copy_log(inst)]


def log_size(inst):
    folder = os.path.join(inst, "errRpt")
    try:
        return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))
    except OSError:
        return 0


# --- running Windows programs ------------------------------------------------------------------

def run_dravik(inst, on_entries=None):
    """Runs Dravik.exe in inst. While it runs, on_entries (if given) is called with the entries
    so far and the time each was first seen. Returns (seconds taken, [(seen, message)])."""
    seen = []
    size = 0
    started = time.monotonic()
    with open(os.path.join(os.path.dirname(inst), "dravik.stderr"), "wb") as err:
        # No pipes: the plaza that Dravik starts would inherit them and keep them open.
        proc = subprocess.Popen([WINE_RUN, DRAVIK], cwd=inst, env=ENV, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        while True:
            try:
                proc.wait(timeout=0.02)
                done = True
            except subprocess.TimeoutExpired:
                done = False
            now = time.monotonic()
            if log_size(inst) != size:
                size = log_size(inst)
                try:
                    current = messages(inst)
                except (Failure, UnicodeDecodeError):
                    current = None  # caught in the middle of a write
                if current is not None:
                    seen += [(now - started, m) for m in current[len(seen):]]
                    if on_entries:
                        on_entries(seen)
            if done:
                break
    check(proc.returncode == 0, f"Dravik.exe ended with {proc.returncode}")
    return time.monotonic() - started, seen


class HeldFile:
    """A file held open by holdfile.exe until release(): without sharing, or (share_read) so
    that it can be read but neither written nor deleted."""

    def __init__(self, path, share_read=False):
        args = [WINE_RUN, HOLDFILE, winpath(path)] + (["--share-read"] if share_read else [])
        self.proc = subprocess.Popen(args, env=ENV,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        check(line.strip() == b"held", f"holdfile.exe did not hold {path}: {line!r}")
        self.released = False

    def release(self):
        if not self.released:
            self.released = True
            self.proc.stdin.write(b"go\n")
            self.proc.stdin.flush()

    def close(self):
        self.release()
        out = self.proc.stdout.read()
        self.proc.wait(timeout=60)
        check(out.strip() == b"released" and self.proc.returncode == 0,
              f"holdfile.exe: {out!r}, exit {self.proc.returncode}")


def plaza_starts(folder):
    """The start lines of ZIVGame.log in folder: [(process id, command line)]."""
    try:
        with open(os.path.join(folder, "ZIVGame.log"), "rb") as f:
            lines = f.read().decode("gbk").split("\r\n")
    except FileNotFoundError:
        return []
    return [tuple(line.split("\t")[1:3]) for line in lines if line.startswith("start\t")]


def wait_for_plaza_starts(folder, count, timeout=60):
    """Waits until ZIVGame.log in folder has `count` start lines. The plaza is another process
    with no channel back to us but its log, so its log is watched."""
    deadline = time.monotonic() + timeout
    while len(plaza_starts(folder)) < count:
        check(time.monotonic() < deadline, f"the plaza did not start {count} time(s) in {folder}")
        time.sleep(0.05)
    return plaza_starts(folder)


def end_windows_process(pid):
    subprocess.run([WINE_RUN, "taskkill", "/F", "/PID", str(pid)], env=ENV,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# --- installation folders ----------------------------------------------------------------------

def make_install(root, name, errrpt=True, install_name=INSTALL_NAME):
    inst = os.path.join(root, name, install_name)
    os.makedirs(inst)
    os.makedirs(os.path.join(inst, "DownLoad"))
    if errrpt:
        os.makedirs(os.path.join(inst, "errRpt"))
    return inst


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --- scenarios ---------------------------------------------------------------------------------

def no_special_folder(root):
    inst = make_install(root, "no_special")
    shutil.copy(PLAZA, inst)
    run_dravik(inst)
    check_equal([STARTED], messages(inst), "copy log")
    check(os.path.isdir(os.path.join(inst, "DownLoad")), "DownLoad was removed")
    starts = wait_for_plaza_starts(inst, 1)
    try:
        check_equal(winpath(inst) + "\\ZIVGame.exe -u", starts[0][1], "plaza command line")
    finally:
        end_windows_process(starts[0][0])


def folder_with_a_blank(root):
    # Started from an unquoted "...\游戏 大厅\ZIVGame.exe -u" alone, Windows would look for
    # "...\游戏.exe" first: a plaza stand-in waits there, logging any start beside itself.
    inst = make_install(root, "blank", install_name="游戏 大厅")
    shutil.copy(PLAZA, inst)
    decoy_folder = os.path.dirname(inst)
    shutil.copy(PLAZA, os.path.join(decoy_folder, "游戏.exe"))
    run_dravik(inst)
    check_equal([STARTED], messages(inst), "copy log")
    deadline = time.monotonic() + 60
    while not plaza_starts(inst) and not plaza_starts(decoy_folder):
        check(time.monotonic() < deadline, "neither the plaza nor 游戏.exe started")
        time.sleep(0.05)
    for pid, _ in plaza_starts(decoy_folder):
        end_windows_process(pid)
    check_equal([], plaza_starts(decoy_folder), "started in the plaza's place")
    starts = plaza_starts(inst)
    try:
        check_equal(winpath(inst) + "\\ZIVGame.exe -u", starts[0][1], "plaza command line")
    finally:
        end_windows_process(starts[0][0])


def empty_special_folder(root):
    inst = make_install(root, "empty_special")
    special = os.path.join(inst, "DownLoad", "Special")
    os.makedirs(special)
    run_dravik(inst)
    check_equal([removed(winpath(special), 1), STARTED], messages(inst), "copy log")
    check(not os.path.exists(special), "DownLoad\\Special is still there")
    check(os.path.isdir(os.path.join(inst, "DownLoad")), "DownLoad was removed")


def one_file(root):
    inst = make_install(root, "one_file")
    special = os.path.join(inst, "DownLoad", "Special")
    write(os.path.join(inst, "a.dll"), b"installed")
    write(os.path.join(special, "a.dll"), b"new \x00\xff content")
    # Entries of an earlier run on the same day stay in front.
    day = datetime.datetime.now().day
    earlier = f"2020-01-{day:02d} 00:00:00{STARTED}\r\n\r\n".encode("gbk")
    write(os.path.join(inst, "errRpt", f"CopyLog{day}.txt"), earlier)
    run_dravik(inst)
    want = [STARTED,
            copied(1, winpath(special) + "\\a.dll", winpath(inst) + "//a.dll"),
            removed(winpath(special), 2),
            STARTED]
    check_equal(want, messages(inst), "copy log")
    check_equal(b"new \x00\xff content", read(os.path.join(inst, "a.dll")), "installed a.dll")
    check(not os.path.exists(special), "DownLoad\\Special is still there")


def nested_folders(root):
    # "乗" is 0x81 0x5C in code page 936: its second byte is a backslash.
    inst = make_install(root, "nested")
    special = os.path.join(inst, "DownLoad", "Special")
    write(os.path.join(special, "资源乗", "深层", "x.dll"), b"x")
    run_dravik(inst)
    s, i = winpath(special), winpath(inst)
    want = [f"创建{i}\\资源乗目录",
            f"删除文件夹{s} 1",
            f"创建{i}\\资源乗\\深层目录",
            f"删除文件夹{s}\\资源乗 1",
            copied(1, f"{s}\\资源乗\\深层\\x.dll", f"{i}\\资源乗\\深层//x.dll"),
            removed(f"{s}\\资源乗\\深层", 2),
            STARTED]
    check_equal(want, messages(inst), "copy log")
    check_equal(b"x", read(os.path.join(inst, "资源乗", "深层", "x.dll")), "moved x.dll")
    check(not os.path.exists(special), "DownLoad\\Special is still there")


def check_gaps(seen, first, last, low, high, what):
    for (t0, _), (t1, _) in zip(seen[first:last], seen[first + 1:last + 1]):
        check(low <= t1 - t0 <= high, f"{what}: {t1 - t0:.2f} s between entries")


def file_locked_for_whole_run(root):
    inst = make_install(root, "locked")
    special = os.path.join(inst, "DownLoad", "Special")
    src = os.path.join(special, "a.dll")
    write(os.path.join(inst, "a.dll"), b"installed")
    write(src, b"new")
    # Readable: a copy could take it, and once left a cut file when the disk filled or the
    # power went. A move needs the right to delete it, so the installed file stays whole.
    held = HeldFile(src, share_read=True)
    try:
        seconds, seen = run_dravik(inst)
    finally:
        held.close()
    s, i = winpath(special), winpath(inst)
    failures = [copy_failed(n, s + "\\a.dll", i + "//a.dll") for n in range(2, 12)]
    want = failures + [failures[-1]] + [remove_failed(s, c) for c in (1, 2, 3)] + [STARTED]
    check_equal(want, messages(inst), "copy log")
    check_equal(want, [m for _, m in seen], "entries as they arrived")
    # Ten pauses of 1000 ms after the failed copies, three of 500 ms after the failed removals.
    check_gaps(seen, 0, 10, 0.8, 2.5, "copy retries")
    check(9.0 <= seen[10][0] - seen[0][0] <= 13.0,
          f"{seen[10][0] - seen[0][0]:.2f} s from the first failure entry to its repeat")
    check_gaps(seen, 11, 14, 0.35, 1.5, "final removal retries")
    check(seconds >= 11.5, f"the run took only {seconds:.2f} s")
    check_equal(b"installed", read(os.path.join(inst, "a.dll")), "installed a.dll")
    check_equal(b"new", read(src), "held source file")
    print(f"  locked file: run took {seconds:.2f} s")


def file_released_during_retries(root):
    inst = make_install(root, "released")
    special = os.path.join(inst, "DownLoad", "Special")
    src = os.path.join(special, "a.dll")
    write(src, b"new")
    s, i = winpath(special), winpath(inst)
    held = HeldFile(src)

    def release_after_second_failure(seen):
        if any(m == copy_failed(3, s + "\\a.dll", i + "//a.dll") for _, m in seen):
            held.release()

    try:
        run_dravik(inst, release_after_second_failure)
    finally:
        held.close()
    got = messages(inst)
    # Released after the entry numbered 3, so the copy succeeds at a later retry k + 1.
    k = len(got) - 4 + 1
    check(3 <= k <= 6, f"copy succeeded after {k} attempts: {got}")
    want = ([copy_failed(n, s + "\\a.dll", i + "//a.dll") for n in range(2, k + 1)]
            + [copied(k + 1, s + "\\a.dll", i + "//a.dll")] * 2
            + [removed(s, k + 2), STARTED])
    check_equal(want, got, "copy log")
    check_equal(b"new", read(os.path.join(inst, "a.dll")), "installed a.dll")
    check(not os.path.exists(special), "DownLoad\\Special is still there")


def running_plaza(root):
    inst = make_install(root, "plaza")
    shutil.copy(PLAZA, inst)
    # A program whose name differs in letter case only is somebody else's: it stays.
    other = os.path.join(inst, "other")
    os.makedirs(other)
    shutil.copy(PLAZA, os.path.join(other, "zivgame.exe"))
    plaza = subprocess.Popen([WINE_RUN, os.path.join(inst, "ZIVGame.exe")], cwd=inst, env=ENV,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    lookalike = subprocess.Popen([WINE_RUN, os.path.join(other, "zivgame.exe")], cwd=inst,
                                 env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    pids = []
    try:
        first = wait_for_plaza_starts(inst, 1)[0]
        pids.append(first[0])
        pids.append(wait_for_plaza_starts(other, 1)[0][0])
        run_dravik(inst)
        check_equal([PLAZA_ENDED, STARTED], messages(inst), "copy log")
        plaza.wait(timeout=60)  # ended by Dravik
        check_equal(0, plaza.returncode, "exit code of the ended plaza")
        starts = wait_for_plaza_starts(inst, 2)
        pids.append(starts[1][0])
        check(starts[1][0] != first[0], "no new plaza process")
        check_equal(winpath(inst) + "\\ZIVGame.exe -u", starts[1][1], "new plaza's command line")
        check(lookalike.poll() is None, "zivgame.exe was ended as well")
    finally:
        for pid in pids:
            end_windows_process(pid)
        for proc in (plaza, lookalike):
            if proc.poll() is None:
                proc.kill()
            proc.wait()


def no_errrpt_folder(root):
    inst = make_install(root, "no_errrpt", errrpt=False)
    special = os.path.join(inst, "DownLoad", "Special")
    write(os.path.join(inst, "a.dll"), b"installed")
    write(os.path.join(special, "sub", "b.dll"), b"b")
    write(os.path.join(special, "a.dll"), b"new")
    write(os.path.join(special, ".hidden.dat"), b"h")  # Wine lists dot files as hidden ones
    run_dravik(inst)
    check_equal(b"new", read(os.path.join(inst, "a.dll")), "installed a.dll")
    check_equal(b"b", read(os.path.join(inst, "sub", "b.dll")), "moved sub\\b.dll")
    check_equal(b"h", read(os.path.join(inst, ".hidden.dat")), "moved hidden file")
    check(not os.path.exists(special), "DownLoad\\Special is still there")
    left = sorted(os.path.relpath(os.path.join(d, n), inst)
                  for d, dirs, files in os.walk(inst) for n in dirs + files)
    check_equal(sorted([".hidden.dat", "DownLoad", "a.dll", "sub", os.path.join("sub", "b.dll")]),
                left,
                "installation folder afterwards")


SCENARIOS = [no_special_folder, folder_with_a_blank, empty_special_folder, one_file, nested_folders,
             file_locked_for_whole_run, file_released_during_retries, running_plaza,
             no_errrpt_folder]


def main(names):
    for program in (DRAVIK, HOLDFILE, PLAZA):
        if not os.path.isfile(program):
            print(f"missing {program}: build Dravik, holdfile and ZIVGame first", file=sys.stderr)
            return 1
    chosen = [s for s in SCENARIOS if not names or s.__name__ in names]
    # One display for the whole run: the plaza keeps a window after Dravik's wine-run ends.
    display = Display().__enter__()
    ENV["DISPLAY"] = os.environ["DISPLAY"]
    root = tempfile.mkdtemp(prefix="dravik-scenarios-")
    failed = []
    try:
        for scenario in chosen:
            began = time.monotonic()
            try:
                scenario(root)
                print(f"PASS {scenario.__name__} ({time.monotonic() - began:.1f} s)")
            except Exception as e:  # report every scenario, not just the first failure
                failed.append(scenario.__name__)
                print(f"FAIL {scenario.__name__}: {e}")
    finally:
        # The plazas the scenarios started end with the run.
        subprocess.run(["wineserver", "-k"], env=ENV, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        display.stop()
        if not failed:
            shutil.rmtree(root, ignore_errors=True)
        else:
            print(f"installation folders kept in {root}")
    print(f"{len(chosen) - len(failed)} of {len(chosen)} scenarios passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
