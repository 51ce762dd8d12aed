#!/usr/bin/env python3
"""Benchmark (not a test): Talvex's update decision under Wine against md5sum.

Lays out an installation of 20,000 files, 2 GiB in all (sizes from a few
bytes to tens of MiB, Chinese names among them), every file current, with
the plaza manifest already in DownLoad\\ and the recording engine, which
fetches nothing. Then, in alternating rounds (best of three, cache warm):

- a whole Talvex run that ends on the nothing-to-update path, hashing every
  file (the decision as a player's machine makes it);
- the same run with an empty manifest, whose time is what the run costs
  without the decision (Wine start-up, the dialog, the hand-over);
- md5sum over the same files;
- a run where every size differs, so nothing is hashed and the per-file
  overhead of the decision (and of sending the batch) is visible against
  the same run for one file.

The decision's time is the first run less the second. Prints, among others:
    decision: ratio to md5sum = X.XX

    python3 tests/updater/bench_decision.py            # the full benchmark
    python3 tests/updater/bench_decision.py --short    # 300 files, one round

SUITE_BUILD names the Windows build tree (default: the first one that
scripts/wine-trees says this machine runs).
"""

import argparse
import hashlib
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = pathlib.Path(os.environ.get("SUITE_SOURCE", HERE.parents[1]))
sys.path.insert(0, str(HERE.parent / "support"))
from buildtrees import default_build  # noqa: E402

BUILD = pathlib.Path(os.environ.get("SUITE_BUILD") or default_build(SOURCE))
os.environ.setdefault("SUITE_BUILD", str(BUILD))
os.environ.setdefault("SUITE_BIN", str(BUILD / "bin"))
os.environ.setdefault("SUITE_SOURCE", str(SOURCE))
sys.path.insert(0, str(HERE / "scenarios"))

import talvexrig  # noqa: E402
from talvexrig import Display, Installation, Watcher, plaza_info  # noqa: E402

FULL = {"files": 20000, "large": 40, "total": 2 << 30, "rounds": 3}
SHORT = {"files": 300, "large": 3, "total": 24 << 20, "rounds": 1}


def sizes(shape, rnd):
    """File sizes: most log-uniform from 8 bytes to 256 KiB, a few large
    ones taking what is left of the total."""
    small = [int(8 * (32768 ** rnd.random())) for _ in range(shape["files"] - shape["large"])]
    left = max(shape["total"] - sum(small), shape["large"])
    weights = [0.5 + rnd.random() for _ in range(shape["large"])]
    large = [int(left * w / sum(weights)) for w in weights]
    out = small + large
    rnd.shuffle(out)
    return out


def name_of(i):
    """Manifest names: nested folders, one name in fifty Chinese."""
    if i % 50 == 0:
        return f"\\资源\\地图{i // 50 % 7}\\场景{i:05d}.dat"
    return f"\\res\\d{i % 97:02d}\\sub{i % 5}\\f{i:05d}.bin"


def lay_out(inst, shape):
    rnd = random.Random(20261208)
    block = rnd.randbytes(1 << 20)
    entries = []
    for i, size in enumerate(sizes(shape, rnd)):
        path = pathlib.Path(inst.path(*name_of(i).strip("\\").split("\\")))
        path.parent.mkdir(parents=True, exist_ok=True)
        digest = hashlib.md5()
        with open(path, "wb") as f:
            source = i.to_bytes(4, "little") + block  # no two files alike
            pos = 0
            while pos < size:
                piece = source[:size - pos]
                f.write(piece)
                digest.update(piece)
                pos += len(piece)
        entries.append((name_of(i), size, digest.hexdigest(), str(path)))
    return entries


def manifest(entries, bytes_of=lambda size: str(size)):
    lines = ['<?xml version="1.0" encoding="GB2312"?>', "<update>", "  <files>"]
    for name, size, digest, _ in entries:
        lines.append(f'    <file name="{name}" date="{digest}" bytes="{bytes_of(size)}" '
                     'isSpecial="0"/>')
    lines += ["  </files>", "  <games/>", "</update>", ""]
    return "\r\n".join(lines)


def run_talvex(inst, manifest_text, mode):
    inst.write("DownLoad\\LastUpdateFiles.xml", manifest_text)
    inst.write("recengine.ini", f"[engine]\r\nmode={mode}\r\n".encode())
    for name in ("recengine.bin", "errRpt"):
        target = pathlib.Path(inst.path(name))
        if target.is_dir():
            shutil.rmtree(target)
        elif target.exists():
            target.unlink()
    # A box watcher beside every run: an engine that ends the run (the "hold"
    # mode) leaves a box that nobody would press otherwise.
    with Watcher(pathlib.Path(inst.folder).parent / "boxes.txt"):
        began = time.monotonic()
        rc = inst.talvex(timeout=1800)
        took = time.monotonic() - began
    # The plaza the hand-over started ends here, outside the time measured.
    subprocess.run(["wineserver", "-k"], env=talvexrig.env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return rc, took


def run_md5sum(entries):
    listing = b"\0".join(os.fsencode(e[3]) for e in entries)
    began = time.monotonic()
    out = subprocess.run(["xargs", "-0", "md5sum"], input=listing, stdout=subprocess.PIPE,
                         check=True).stdout
    took = time.monotonic() - began
    got = out.count(b"\n")
    if got != len(entries):
        raise SystemExit(f"md5sum read {got} files of {len(entries)}")
    return took


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--short", action="store_true", help="300 files, one round")
    options = parser.parse_args()
    shape = SHORT if options.short else FULL
    with Display(), tempfile.TemporaryDirectory(prefix="decision-", dir=BUILD) as root:
        inst = Installation(root, ziv=plaza_info(), mode="serve")
        print(f"laying out {shape['files']} files, {shape['total'] >> 20} MiB, "
              f"in {inst.folder} ...", flush=True)
        entries = lay_out(inst, shape)
        current = manifest(entries)
        empty = manifest([])
        resized = manifest(entries, lambda size: str(size + 1))
        # The same end (a batch sent, the engine ending the run, its box
        # pressed) for one file: the baseline of the run where every size differs.
        resized_one = manifest(entries[:1], lambda size: str(size + 1))
        n = len(entries)

        def decided(want_line):
            log = inst.log()
            if want_line not in log:
                raise SystemExit(f"Talvex did not decide as expected ({want_line!r}): {log[-5:]}")

        # Warm-up: the page cache, the prefix and the Wine server's files.
        run_md5sum(entries)
        run_talvex(inst, current, "serve")
        best = {}
        for _ in range(shape["rounds"]):
            rc, took = run_talvex(inst, current, "serve")
            decided("没有需要更新的文件(0)")
            best["current"] = min(best.get("current", took), took)
            took = run_md5sum(entries)
            best["md5sum"] = min(best.get("md5sum", took), took)
            rc, took = run_talvex(inst, empty, "serve")
            decided("没有需要更新的文件(0)")
            best["empty"] = min(best.get("empty", took), took)
            rc, took = run_talvex(inst, resized, "hold")
            sent = sum(len(records) for code, records in inst.recorded_commands() if code == 3)
            if sent != n:
                raise SystemExit(f"every size differs, but {sent} of {n} files were asked for")
            best["resized"] = min(best.get("resized", took), took)
            rc, took = run_talvex(inst, resized_one, "hold")
            best["resized_one"] = min(best.get("resized_one", took), took)

        decision = max(best["current"] - best["empty"], 0.0)
        print(f"whole run, {n} files current:   {best['current']:8.2f} s")
        print(f"whole run, empty manifest:      {best['empty']:8.2f} s")
        print(f"decision (the difference):      {decision:8.2f} s")
        print(f"md5sum over the same files:     {best['md5sum']:8.2f} s")
        per_file = (best["resized"] - best["resized_one"]) / max(n - 1, 1)
        print(f"whole run, every size differs:  {best['resized']:8.2f} s "
              f"({per_file * 1e6:.0f} us a file beyond the same run for one file, "
              f"{best['resized_one']:.2f} s)")
        print(f"whole run: ratio to md5sum = {best['current'] / best['md5sum']:.2f}")
        print(f"decision: ratio to md5sum = {decision / best['md5sum']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
