#!/usr/bin/env python3
"""Benchmark (not a test): PellowD.dll under Wine against native curl.

Serves 1,000 files of 16 KiB and one file of 512 MiB with nginx on loopback
and fetches each set with the engine (engine_bench.exe under Wine, 4 workers,
with and without the MD5 check that the updater always asks for) and with
curl (--parallel, at most 4 transfers at once), in the same run. Prints the
wall times and the ratio engine / curl. Each figure is the best of three
runs (engine and curl alternate), because the machine may be shared. The engine's time is measured inside
the Windows program from the command to the last report; the Wine start-up
is shown apart.

    SUITE_BIN=build/windows/bin python3 tests/engine/bench_engine.py
"""

import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))
from nginx_rig import NginxRig  # noqa: E402

SOURCE = pathlib.Path(os.environ.get("SUITE_SOURCE", HERE.parents[1]))
BIN = pathlib.Path(os.environ.get("SUITE_BIN", SOURCE / "build" / "windows" / "bin"))
WORKERS = 4


def windows_path(path):
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def make_files(root):
    small = []
    (root / "small").mkdir()
    for i in range(1000):
        data = os.urandom(16 * 1024)
        name = "small/f%04d.bin" % i
        (root / name).write_bytes(data)
        small.append((name, hashlib.md5(data).hexdigest()))
    h = hashlib.md5()
    with open(root / "big.bin", "wb") as f:
        for _ in range(512):
            chunk = os.urandom(1024 * 1024)
            h.update(chunk)
            f.write(chunk)
    return small, [("big.bin", h.hexdigest())]


def run_engine(rig, files, out, with_md5, tmp):
    if out.exists():
        shutil.rmtree(out)
    out.mkdir()
    listfile = tmp / "list.txt"
    with open(listfile, "w") as f:
        for name, md5 in files:
            f.write("%s\t%s\t%s\n" % (rig.url(name), name.replace("/", "\\"),
                                      md5 if with_md5 else ""))
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    t0 = time.monotonic()
    for _ in range(3):  # wine-run may fail to get a display when many runs start at once
        proc = subprocess.run([str(SOURCE / "scripts" / "wine-run"),
                               str(BIN / "engine_bench.exe"), windows_path(listfile),
                               windows_path(out)],
                              env=env, cwd=str(BIN), stdout=subprocess.PIPE, text=True,
                              timeout=1800)
        line = [l for l in proc.stdout.splitlines() if l.startswith("files=")]
        if proc.returncode != 125:
            break
    total = time.monotonic() - t0
    if proc.returncode != 0 or not line:
        raise SystemExit("engine_bench failed: %r" % proc.stdout)
    ms = float(line[0].split("ms=")[1].split()[0])
    return ms / 1000.0, total


def run_curl(rig, files, out, tmp):
    if out.exists():
        shutil.rmtree(out)
    out.mkdir()
    cfg = tmp / "curl.cfg"
    with open(cfg, "w") as f:
        for name, _ in files:
            f.write('url = "%s"\noutput = "%s"\n' % (rig.url(name), out / name))
    t0 = time.monotonic()
    subprocess.run(["curl", "--no-progress-meter", "--fail", "--create-dirs", "--noproxy", "*",
                    "--parallel", "--parallel-max", str(WORKERS), "--config", str(cfg)],
                   check=True, timeout=1800)
    return time.monotonic() - t0


def check(out, files, root):
    for name, _ in files[:50] + files[-1:]:
        if (out / name).read_bytes() != (root / name).read_bytes():
            raise SystemExit("content differs: " + name)


def main():
    with tempfile.TemporaryDirectory(prefix="pellowd-bench-") as tmp:
        tmp = pathlib.Path(tmp)
        root = tmp / "root"
        root.mkdir()
        print("laying out 1,000 x 16 KiB and 1 x 512 MiB ...", flush=True)
        small, big = make_files(root)
        with NginxRig(root, workers=2) as rig:
            # One warm-up run each, so that the Wine prefix and the page cache are ready.
            run_engine(rig, small[:20], tmp / "warm", True, tmp)
            run_curl(rig, small[:20], tmp / "warm", tmp)
            print("%-26s %10s %10s %10s %8s" % ("set", "engine s", "+wine s", "curl s", "ratio"))
            for label, files in (("1000 x 16 KiB", small), ("1 x 512 MiB", big)):
                for with_md5 in (True, False):
                    best = None
                    for _ in range(3):
                        eng, total = run_engine(rig, files, tmp / "eng", with_md5, tmp)
                        check(tmp / "eng", files, root)
                        cur = run_curl(rig, files, tmp / "curl", tmp)
                        check(tmp / "curl", files, root)
                        shutil.rmtree(tmp / "eng")
                        shutil.rmtree(tmp / "curl")
                        run = (eng, total, cur)
                        best = run if best is None else tuple(map(min, best, run))
                    eng, total, cur = best
                    name = label + (" md5" if with_md5 else " no md5")
                    print("%-26s %10.2f %10.2f %10.2f %8.2f" % (name, eng, total, cur, eng / cur),
                          flush=True)


if __name__ == "__main__":
    main()
