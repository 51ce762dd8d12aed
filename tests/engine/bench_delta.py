#!/usr/bin/env python3
"""Benchmark (not a test): an update of one large file by chunk reuse,
against zsync doing the same update, in one run.

The scenario, from a fixed seed: a data file of --mib MiB (200 by default)
of pseudo-random bytes; the new release rewrites 16 regions of 64 KiB,
inserts 100 KiB and removes 50 KiB. manifestgen --chunk-index publishes it,
zsyncmake makes zsync's control file beside it, nginx serves both.

- delta: engine_bench.exe under Wine fetches the new file over the older one
  (with its digest, as the updater asks); zsync updates a copy of the older
  file. Bytes are what nginx sent ($bytes_sent: headers, index and control
  file included).
- resume: with no older file, the engine's download is killed once half the
  file has arrived (the link is held so that the download would take five
  seconds, and the cut falls near the half), then run again to the end; the
  bytes served for both runs against the file's size.
- shaped link: nginx's limit_rate at 2.5 MB/s; the whole file (no older
  file) against chunk reuse (the older file in place), engine time.
- chunk scan: engine_bench.exe --chunk-scan over the older file (the scan
  the engine makes of it) against md5sum of it, cache warm, best of three.

Prints, among others:

    delta: engine N.NN MiB, zsync N.NN MiB, ratio to zsync = X.XX
    resume: N.NN MiB served for a N.NN MiB file cut at half, ratio to the file = X.XX
    shaped link: whole file N.N s, with chunk reuse N.N s
    chunk scan: ratio to md5sum = X.XX
    engine peak working set: whole file N.N MiB, chunk reuse N.N MiB

It judges nothing; it fails (exit 1) only when a run fails, a file does not
end identical to the release, or its output cannot be read.

    python3 tests/engine/bench_delta.py              # 200 MiB
    python3 tests/engine/bench_delta.py --mib 1024   # another size
    python3 tests/engine/bench_delta.py --short      # 8 MiB, for the suite
"""

import argparse
import hashlib
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))
sys.path.insert(0, str(HERE))
import bench_engine as be  # noqa: E402
from nginx_rig import NginxRig  # noqa: E402

SOURCE = be.SOURCE
BUILD = be.BUILD
BIN = be.BIN
# A prefix of its own: a run is killed with its whole Wine server.
PREFIX = BUILD / "wineprefix-delta-bench"
NAME = "data/big.pak"
MiB = 1024 * 1024
REPORT_LINES = [
    re.compile(r"^delta: engine \d+\.\d\d MiB, zsync \d+\.\d\d MiB, ratio to zsync = \d+\.\d\d$"),
    re.compile(r"^resume: \d+\.\d\d MiB served for a \d+\.\d\d MiB file cut at half, "
               r"ratio to the file = \d+\.\d\d$"),
    re.compile(r"^shaped link: whole file \d+\.\d s, with chunk reuse \d+\.\d s$"),
    re.compile(r"^chunk scan: ratio to md5sum = \d+\.\d\d$"),
    re.compile(r"^engine peak working set: whole file \d+\.\d MiB, chunk reuse \d+\.\d MiB$"),
]


def wine_env():
    env = be.wine_env()
    env["WINEPREFIX"] = str(PREFIX)
    return env


def end_wine():
    subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_scenario(mib, seed=20261209):
    """(old bytes, new bytes): 16 regions of 64 KiB rewritten, 100 KiB
    inserted, 50 KiB removed, all at places drawn from the seed."""
    rng = random.Random(seed)
    size = mib * MiB
    old = rng.randbytes(size)
    new = bytearray(old)
    slot = size // 16
    for i in range(16):
        at = i * slot + rng.randrange(0, slot - 64 * 1024)
        new[at:at + 64 * 1024] = rng.randbytes(64 * 1024)
    at = rng.randrange(size // 4, size // 2)
    new[at:at] = rng.randbytes(100 * 1024)
    at = rng.randrange(size // 2, 3 * size // 4)
    del new[at:at + 50 * 1024]
    return old, bytes(new)


def publish(work, new):
    """The served folder: the release file, its chunk index, zsync's control file."""
    release, client = work / "release", work / "client"
    (release / "data").mkdir(parents=True)
    (release / NAME).write_bytes(new)
    native = SOURCE / "build/native/tools/manifestgen/manifestgen"
    args = ["--release", release, "--out", work / "xml", "--chunk-index", client, "--quiet"]
    if native.exists():
        subprocess.run([str(native)] + [str(a) for a in args], check=True)
    else:
        args = [be.windows_path(a) if isinstance(a, pathlib.Path) else a for a in args]
        subprocess.run([str(be.WINE_RUN), str(BIN / "manifestgen.exe")] + args, check=True,
                       env=wine_env(), stdout=subprocess.DEVNULL)
    os.link(release / NAME, client / NAME)
    subprocess.run(["zsyncmake", "-o", str(client / (NAME + ".zsync")), "-u", "big.pak",
                    str(client / NAME)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return client


class Wire:
    """nginx's bytes on the wire per request ($bytes_sent), from a log of our own."""

    def __init__(self, work):
        self.path = work / "wire.log"

    def http(self):
        return "log_format wire '$uri $status $bytes_sent'; access_log %s wire;" % self.path

    def entries(self):
        if not self.path.exists():
            return []
        return [line.split() for line in self.path.read_text(encoding="latin-1").splitlines()]

    def sent_since(self, first):
        return sum(int(e[2]) for e in self.entries()[first:] if e[0] != "/.nginx-rig-probe")


def engine_process(wrapper):
    """The Wine process of engine_bench.exe that wine-run started."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(args[0]) != b"bash" and any(a.endswith(b"engine_bench.exe")
                                                       for a in args):
            return int(entry)
    return None


def run_engine(rig, md5, out, tmp, deadline, cut_at=None):
    """Runs engine_bench.exe for the file into out; (engine seconds, peak
    KiB). cut_at: kill the run once the partial file holds that many bytes."""
    listfile = tmp / "list.txt"
    listfile.write_text("%s\t%s\t%s\n" % (rig.url(NAME), NAME.replace("/", "\\"), md5))
    with open(tmp / "engine.out", "w+") as output:
        proc = subprocess.Popen([str(be.WINE_RUN), str(BIN / "engine_bench.exe"),
                                 be.windows_path(listfile), be.windows_path(out)],
                                env=wine_env(), cwd=str(BIN), stdout=output,
                                stderr=subprocess.STDOUT)
        began = time.monotonic()
        while proc.poll() is None:
            if time.monotonic() - began > deadline:
                proc.terminate()
                end_wine()
                proc.wait()
                raise SystemExit(f"engine_bench did not end within {deadline} s")
            if cut_at is not None:
                partials = list((out / "data").glob("~PellowD-*.part"))
                if partials and partials[0].stat().st_size >= cut_at:
                    pid = engine_process(proc)
                    if pid is not None:
                        os.kill(pid, signal.SIGKILL)
                    proc.wait()
                    end_wine()
                    return None
            time.sleep(0.01)
        output.seek(0)
        text = output.read()
    match = re.search(r"^files=1 ms=(\d+\.\d+) stops=0 peak_ws_kib=(\d+)", text, re.M)
    if proc.returncode != 0 or not match:
        raise SystemExit("engine_bench failed:\n" + text)
    return float(match.group(1)) / 1000, int(match.group(2))


def check_same(path, new_md5, who):
    if be.file_md5(path) != new_md5:
        raise SystemExit(f"{who}: the file differs from the release")


def fresh_install(work, name, old=None):
    out = work / name
    (out / "data").mkdir(parents=True)
    if old is not None:
        (out / NAME).write_bytes(old)
    return out


def chunk_scan(path, tmp):
    """Best of three of the engine's scan and of md5sum (seconds)."""
    engine, native = [], []
    for _ in range(3):
        text = subprocess.run([str(be.WINE_RUN), str(BIN / "engine_bench.exe"), "--chunk-scan",
                               be.windows_path(path)], env=wine_env(), cwd=str(BIN),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True).stdout
        match = re.search(r"ms=(\d+\.\d+)", text)
        if not match:
            raise SystemExit("chunk scan failed: " + text)
        engine.append(float(match.group(1)) / 1000)
        began = time.monotonic()
        subprocess.run(["md5sum", str(path)], check=True, stdout=subprocess.DEVNULL)
        native.append(time.monotonic() - began)
    return min(engine), min(native)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=200, help="size of the data file")
    parser.add_argument("--short", action="store_true", help="8 MiB, for the suite")
    args = parser.parse_args()
    mib = 8 if args.short else args.mib
    deadline = 120 + mib * 3
    work = BUILD / "bench-delta"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    tmp = work / "tmp"
    tmp.mkdir()
    old, new = make_scenario(mib)
    new_md5 = hashlib.md5(new).hexdigest()
    client = publish(work, new)
    wire = Wire(work)
    try:
        with be.Display():
            with NginxRig(client, extra_http=wire.http()) as rig:
                first = len(wire.entries())
                out = fresh_install(work, "delta", old)
                _, peak_reuse = run_engine(rig, new_md5, out, tmp, deadline)
                check_same(out / NAME, new_md5, "engine")
                engine_bytes = wire.sent_since(first)

                zs = work / "zsync"
                zs.mkdir()
                (zs / "old.pak").write_bytes(old)
                first = len(wire.entries())
                subprocess.run(["zsync", "-q", "-i", str(zs / "old.pak"), "-o",
                                str(zs / "big.pak"), rig.url(NAME + ".zsync")], cwd=str(zs),
                               check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                check_same(zs / "big.pak", new_md5, "zsync")
                zsync_bytes = wire.sent_since(first)

            # Held so that the download takes about five seconds: the cut
            # falls near the half however busy the machine is.
            cut_rate = max(64 * 1024, len(new) // 5)
            with NginxRig(client, extra_http=wire.http() + " limit_rate %d;" % cut_rate) as rig:
                first = len(wire.entries())
                out = fresh_install(work, "resume")
                if run_engine(rig, new_md5, out, tmp, deadline, cut_at=len(new) // 2) is not None:
                    raise SystemExit("resume: the run ended before it could be cut")
                _, peak_whole = run_engine(rig, new_md5, out, tmp, deadline)
                check_same(out / NAME, new_md5, "resume")
                resume_bytes = wire.sent_since(first)
                if list((out / "data").glob("~PellowD-*")):
                    raise SystemExit("resume: a partial or temporary file was left")

            with NginxRig(client, extra_http=wire.http() + " limit_rate 2500000;") as rig:
                out = fresh_install(work, "shaped-whole")
                whole_s, _ = run_engine(rig, new_md5, out, tmp, deadline)
                check_same(out / NAME, new_md5, "shaped whole")
                out = fresh_install(work, "shaped-reuse", old)
                reuse_s, _ = run_engine(rig, new_md5, out, tmp, deadline)
                check_same(out / NAME, new_md5, "shaped reuse")

            (work / "old.pak").write_bytes(old)
            scan_s, md5_s = chunk_scan(work / "old.pak", tmp)
    finally:
        end_wine()
    report = [
        "delta: engine %.2f MiB, zsync %.2f MiB, ratio to zsync = %.2f" % (
            engine_bytes / MiB, zsync_bytes / MiB, engine_bytes / zsync_bytes),
        "resume: %.2f MiB served for a %.2f MiB file cut at half, ratio to the file = %.2f" % (
            resume_bytes / MiB, len(new) / MiB, resume_bytes / len(new)),
        "shaped link: whole file %.1f s, with chunk reuse %.1f s" % (whole_s, reuse_s),
        "chunk scan: ratio to md5sum = %.2f" % (scan_s / md5_s),
        "engine peak working set: whole file %.1f MiB, chunk reuse %.1f MiB" % (
            peak_whole / 1024, peak_reuse / 1024),
    ]
    for line in report:
        print(line)
    for pattern in REPORT_LINES:
        if sum(1 for line in report if pattern.match(line)) != 1:
            raise SystemExit(f"report malformed: no single line matches {pattern.pattern!r}")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
