#!/usr/bin/env python3
"""Benchmark (not a test): PellowD.dll under Wine against curl doing the same work.

Serves 1,000 files of 16 KiB and one file of 512 MiB with nginx on loopback
and fetches each set, in alternating rounds (best of three; the order of the
three runs turns from round to round), with:

- the engine: engine_bench.exe under Wine sends one batch with the MD5 digest
  of every file, as the updater always does, and times it inside the program
  from the command to the last report; by then every file is checked and
  flushed by the engine itself. The Wine start-up is shown apart (+wine);
- the same work with native tools: for the small files, curl --parallel (at
  most 4 transfers at once, as the engine's 4 workers) then md5sum --check
  of the files against their digests, then sync; for the large file,
  curl | tee FILE | md5sum, then sync; each timed as one;
- bare curl: the same transfers, nothing checked, nothing made durable;
- the engine built without its flushes (bin/bench-noflush, a build for this
  benchmark alone), to show what making the files durable costs it.
- for the small files, the file work alone (engine_bench.exe --file-floor):
  on 4 threads, no engine and no network, create a temporary file beside
  each target, write 16 KiB, close it and move it over the target. Any
  engine that installs files that way pays at least this; under Wine it
  is about half the engine's time, which no change inside the engine can
  win back.

Every timed run starts after a sync, so that what an earlier run left dirty
is not written out inside the next one, and writes into a folder of its own
in the build tree; all are removed at the end (a full run needs about
7 GiB there). Prints a table, then, among others:

    small files: ratio to same work = X.XX
    small files: ratio to bare curl = X.XX
    small files: the file work alone took N.NN times the same work
    large file: ratio to same work = X.XX
    large file: ratio to bare curl = X.XX
    engine peak working set: small files N MiB, large file N MiB
    small files: 1000 requests over N connections, ...

The peak working set is the largest of the rounds. The target is a ratio to
the same work of at most 1.00 for both sets, and a peak working set that does
not grow with the file size; the benchmark prints, it judges neither. The
connections come from nginx's access log ($connection, $connection_requests),
to show whether the engine kept its connections alive. It fails (exit status
1) only when a run fails, the engine's files differ from the served ones, or
its output cannot be read.

    python3 tests/engine/bench_engine.py            # the full benchmark
    python3 tests/engine/bench_engine.py --short    # 40 x 16 KiB, 1 x 8 MiB, one round

SUITE_BUILD names the Windows build tree (default: the tree of SUITE_BIN
when that is set, else the first one that scripts/wine-trees says this
machine runs); its bin folder holds engine_bench.exe and PellowD.dll.
"""

import argparse
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = pathlib.Path(os.environ.get("SUITE_SOURCE", HERE.parents[1]))
sys.path.insert(0, str(HERE.parent / "support"))
from buildtrees import default_build  # noqa: E402
from nginx_rig import NginxRig  # noqa: E402
from display import Display as _Display  # noqa: E402

WINE_RUN = SOURCE / "scripts" / "wine-run"


def tree_in_use():
    if os.environ.get("SUITE_BIN"):
        return pathlib.Path(os.environ["SUITE_BIN"]).resolve().parent
    return default_build(SOURCE)


BUILD = pathlib.Path(os.environ.get("SUITE_BUILD") or tree_in_use())
BIN = pathlib.Path(os.environ.get("SUITE_BIN") or BUILD / "bin")
# A prefix of the benchmark's own: a run that overruns is ended with its whole
# Wine server, which must not take other programs of the tree's prefix along.
PREFIX = BUILD / "wineprefix-engine-bench"
# The engine built without its flushes, beside a copy of engine_bench.exe: it
# shows what making the files durable costs. Only this benchmark loads it.
NOFLUSH_BIN = BIN / "bench-noflush"
WORKERS = 4
SMALL_BYTES = 16 * 1024

FULL = {"small": 1000, "large_mib": 512, "rounds": 3, "deadline": 900}
SHORT = {"small": 40, "large_mib": 8, "rounds": 1, "deadline": 300}

ENGINE_LINE = re.compile(r"^files=(\d+) ms=(\d+\.\d+) stops=(\d+) peak_ws_kib=(\d+)$")
# The lines a program reads; each must come out exactly once and well formed.
REPORT_LINES = [re.compile(r"^small files: ratio to same work = \d+\.\d\d$"),
                re.compile(r"^small files: ratio to bare curl = \d+\.\d\d$"),
                re.compile(r"^small files: the file work alone took \d+\.\d\d times "
                           r"the same work$"),
                re.compile(r"^large file: ratio to same work = \d+\.\d\d$"),
                re.compile(r"^large file: ratio to bare curl = \d+\.\d\d$"),
                re.compile(r"^engine peak working set: small files \d+\.\d MiB, "
                           r"large file \d+\.\d MiB$"),
                re.compile(r"^small files: \d+(-\d+)? requests over \d+(-\d+)? connections, ")]
CURL = ["curl", "--no-progress-meter", "--fail", "--noproxy", "*"]


def windows_path(path):
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def wine_env():
    # WinINet under Wine takes a proxy from the environment; loopback needs none.
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["WINEPREFIX"] = str(PREFIX)
    return env


def end_wine():
    subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class Display:
    """One display for every run (the caller's, or one of scripts/display):
    wine-run would otherwise start and stop an Xvfb, and wait for the Wine
    server to wind down, around each run."""

    def __enter__(self):
        self.display = _Display().__enter__()
        return self

    def __exit__(self, *exc):
        # The prefix's server holds the display; end it first (it is ours).
        end_wine()
        self.display.stop()
        return False


def make_files(root, shape):
    small = []
    (root / "small").mkdir()
    for i in range(shape["small"]):
        data = os.urandom(SMALL_BYTES)
        name = "small/f%04d.bin" % i
        (root / name).write_bytes(data)
        small.append((name, hashlib.md5(data).hexdigest()))
    h = hashlib.md5()
    with open(root / "big.bin", "wb") as f:
        for _ in range(shape["large_mib"]):
            chunk = os.urandom(1024 * 1024)
            h.update(chunk)
            f.write(chunk)
    return small, [("big.bin", h.hexdigest())]


def fresh(folder):
    # A new folder for every run, and nothing deleted before the end: on ext4
    # a file made soon after many others were deleted costs far more kernel
    # time (the inode allocator passes over the recently deleted ones), which
    # would charge each run for the clean-up of the one before.
    folder.mkdir(parents=True)


def sync():
    subprocess.run(["sync"], check=True)


def file_md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def check_files(out, files, who, contents=True):
    """Exactly the served files, each with its digest: no file missing,
    none torn, no temporary file left behind."""
    found = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    want = sorted(name for name, _ in files)
    if found != want:
        extra = sorted(set(found) - set(want))[:5]
        missing = sorted(set(want) - set(found))[:5]
        raise SystemExit(f"{who}: files differ from the served ones "
                         f"(missing {missing}, not served {extra})")
    for name, md5 in files if contents else []:
        if file_md5(out / name) != md5:
            raise SystemExit(f"{who}: content differs: {name}")


def served_since(rig, first):
    """(requests, connections, most requests on one connection) served from
    log entry `first` on."""
    conns = rig.connections()[first:]
    return len(conns), len({c for c, _ in conns}), max((n for _, n in conns), default=0)


def run_engine(rig, files, out, tmp, deadline, bin_dir=None, floor=False):
    """The engine's time for the batch (s), the whole run's with Wine (s), its
    peak working set (KiB) and what nginx served for it. bin_dir: where
    engine_bench.exe and the PellowD.dll it loads are (BIN). floor: the file
    work alone instead, without the engine (files of zeros)."""
    bin_dir = bin_dir or BIN
    fresh(out)
    listfile = tmp / "list.txt"
    with open(listfile, "w") as f:
        for name, md5 in files:
            f.write("%s\t%s\t%s\n" % (rig.url(name), name.replace("/", "\\"), md5))
    first = len(rig.requests())
    sync()
    # Output to a file, not a pipe: the Wine server the run starts would hold
    # a pipe open long after the program has ended.
    with open(tmp / "engine.out", "w+") as output:
        began = time.monotonic()
        mode = ["--file-floor", str(SMALL_BYTES)] if floor else []
        proc = subprocess.Popen([str(WINE_RUN), str(bin_dir / "engine_bench.exe")] + mode +
                                [windows_path(listfile), windows_path(out)],
                                env=wine_env(), cwd=str(bin_dir), stdout=output,
                                stderr=subprocess.STDOUT)
        try:
            rc = proc.wait(timeout=deadline)
        except subprocess.TimeoutExpired:
            # wine-run passes the signal on to the program; whatever else the
            # run left (a box nobody presses, a debugger) goes with the server.
            proc.terminate()
            end_wine()
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            raise SystemExit(f"engine_bench did not end within {deadline} s")
        took = time.monotonic() - began
        output.seek(0)
        text = output.read()
    parsed = [m for m in map(ENGINE_LINE.match, text.splitlines()) if m]
    if rc != 0 or len(parsed) != 1:
        raise SystemExit(f"engine_bench failed (exit status {rc}): {text!r}")
    reports, ms, stops, peak_kib = parsed[0].groups()
    if int(reports) != len(files) or int(stops) != 0 or int(peak_kib) == 0:
        raise SystemExit(f"engine_bench: unexpected figures: {parsed[0].group(0)!r}")
    check_files(out, files, "engine", contents=not floor)
    return float(ms) / 1000.0, took, int(peak_kib), served_since(rig, first)


def curl_parallel(rig, files, out, tmp):
    cfg = tmp / "curl.cfg"
    with open(cfg, "w") as f:
        for name, _ in files:
            f.write('url = "%s"\noutput = "%s"\n' % (rig.url(name), out / name))
    return CURL + ["--create-dirs", "--parallel", "--parallel-max", str(WORKERS),
                   "--config", str(cfg)]


def run_small_same(rig, files, out, tmp):
    """curl --parallel, md5sum --check, sync: fetched, verified, durable."""
    fresh(out)
    command = curl_parallel(rig, files, out, tmp)
    sums = tmp / "small.md5"
    sums.write_text("".join("%s  %s\n" % (md5, name) for name, md5 in files))
    sync()
    began = time.monotonic()
    subprocess.run(command, check=True)
    subprocess.run(["md5sum", "--check", "--quiet", str(sums)], cwd=str(out), check=True)
    sync()
    return time.monotonic() - began


def run_small_bare(rig, files, out, tmp):
    fresh(out)
    command = curl_parallel(rig, files, out, tmp)
    sync()
    began = time.monotonic()
    subprocess.run(command, check=True)
    took = time.monotonic() - began
    if sum(1 for p in out.rglob("*") if p.is_file()) != len(files):
        raise SystemExit("bare curl: files missing")
    return took


def run_large_same(rig, files, out):
    """curl | tee FILE | md5sum, sync: fetched, verified, durable."""
    (name, md5), = files
    fresh(out)
    sync()
    began = time.monotonic()
    digest = subprocess.run(
        ["bash", "-c", 'set -o pipefail; "${@:3}" "$1" | tee "$2" | md5sum', "bash",
         rig.url(name), str(out / name)] + CURL,
        stdout=subprocess.PIPE, text=True, check=True).stdout.split()[0]
    sync()
    took = time.monotonic() - began
    if digest != md5:
        raise SystemExit(f"curl | tee | md5sum: digest {digest}, served {md5}")
    return took


def run_large_bare(rig, files, out):
    (name, _), = files
    fresh(out)
    sync()
    began = time.monotonic()
    subprocess.run(CURL + ["-o", str(out / name), rig.url(name)], check=True)
    took = time.monotonic() - began
    if (out / name).stat().st_size != (pathlib.Path(rig.root) / name).stat().st_size:
        raise SystemExit("bare curl: size differs")
    return took


def counted(n, noun):
    return "%d %s%s" % (n, noun, "" if n == 1 else "s")


def spread(values):
    low, high = min(values), max(values)
    return "%d" % low if low == high else "%d-%d" % (low, high)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--short", action="store_true", help="40 x 16 KiB, 1 x 8 MiB, one round")
    options = parser.parse_args()
    shape = SHORT if options.short else FULL
    small_label = "%d x %d KiB" % (shape["small"], SMALL_BYTES // 1024)
    large_label = "1 x %d MiB" % shape["large_mib"]
    with Display(), tempfile.TemporaryDirectory(prefix="engine-bench-", dir=BUILD) as tmp:
        tmp = pathlib.Path(tmp)
        root = tmp / "root"
        root.mkdir()
        print(f"laying out {small_label} and {large_label} in {tmp} ...", flush=True)
        small, large = make_files(root, shape)
        runs = tmp / "runs"
        with NginxRig(root, workers=2, log_connections=True) as rig:
            # Warm-up: the Wine prefix (made on first use), the page cache of
            # the served files and nginx.
            run_engine(rig, small[:20], runs / "warm-engine", tmp, shape["deadline"])
            run_small_same(rig, small[:20], runs / "warm-curl", tmp)
            for name, _ in large:
                with open(root / name, "rb") as f:
                    while f.read(1 << 20):
                        pass
            deadline = shape["deadline"]
            runners = {
                "small": {"engine": lambda out: run_engine(rig, small, out, tmp, deadline),
                          "noflush": lambda out: run_engine(rig, small, out, tmp, deadline,
                                                            NOFLUSH_BIN),
                          "same": lambda out: run_small_same(rig, small, out, tmp),
                          "bare": lambda out: run_small_bare(rig, small, out, tmp),
                          "floor": lambda out: run_engine(rig, small, out, tmp, deadline,
                                                          floor=True)},
                "large": {"engine": lambda out: run_engine(rig, large, out, tmp, deadline),
                          "noflush": lambda out: run_engine(rig, large, out, tmp, deadline,
                                                            NOFLUSH_BIN),
                          "same": lambda out: run_large_same(rig, large, out),
                          "bare": lambda out: run_large_bare(rig, large, out)},
            }
            best, peak, served = {}, {"small": 0, "large": 0}, []

            def keep(key, took):
                best[key] = min(best.get(key, took), took)

            for rnd in range(1, shape["rounds"] + 1):
                # The order turns round by round, so that no side always runs
                # first, right after the other side's writes.
                for key, label in (("small", small_label), ("large", large_label)):
                    sides = list(runners[key])
                    turn = (rnd - 1) % len(sides)
                    order = sides[turn:] + sides[:turn]
                    got = {}
                    for what in order:
                        got[what] = runners[key][what](runs / f"{rnd}-{key}-{what}")
                    eng, wall, kib, conns = got["engine"]
                    same, bare = got["same"], got["bare"]
                    keep(key + " noflush", got["noflush"][0])
                    keep(key + " engine", eng)
                    keep(key + " wall", wall)
                    keep(key + " same", same)
                    keep(key + " bare", bare)
                    peak[key] = max(peak[key], kib)
                    floor = ""
                    if key == "small":
                        served.append(conns)
                        keep("small floor", got["floor"][0])
                        floor = f", file work alone {got['floor'][0]:.2f} s"
                    print(f"round {rnd}: {label}: engine {eng:.2f} s ({wall:.2f} s with Wine, "
                          f"peak {kib / 1024:.1f} MiB, {counted(conns[0], 'request')} over "
                          f"{counted(conns[1], 'connection')}), same work {same:.2f} s, "
                          f"bare curl {bare:.2f} s, engine without flushes {got['noflush'][0]:.2f} s"
                          f"{floor}", flush=True)

        rounds = shape["rounds"]
        print()
        print(f"best of {rounds}" if rounds > 1 else "one round")
        print("%-16s %10s %10s %12s %12s %12s %12s" % (
            "set", "engine s", "+wine s", "same work s", "bare curl s", "no flush s",
            "file work s"))
        for label, key in ((small_label, "small"), (large_label, "large")):
            floor = "%.2f" % best[key + " floor"] if key + " floor" in best else "-"
            print("%-16s %10.2f %10.2f %12.2f %12.2f %12.2f %12s" % (
                label, best[key + " engine"], best[key + " wall"], best[key + " same"],
                best[key + " bare"], best[key + " noflush"], floor))
        report = [
            "small files: ratio to same work = %.2f" % (best["small engine"] / best["small same"]),
            "small files: ratio to bare curl = %.2f" % (best["small engine"] / best["small bare"]),
            "small files: the file work alone took %.2f times the same work" % (
                best["small floor"] / best["small same"]),
            "large file: ratio to same work = %.2f" % (best["large engine"] / best["large same"]),
            "large file: ratio to bare curl = %.2f" % (best["large engine"] / best["large bare"]),
            "engine peak working set: small files %.1f MiB, large file %.1f MiB" % (
                peak["small"] / 1024, peak["large"] / 1024),
            "small files: %s requests over %s connections, at most %s on one (the engine's runs)"
            % (spread([s[0] for s in served]), spread([s[1] for s in served]),
               spread([s[2] for s in served])),
        ]
        for line in report:
            print(line)
        for pattern in REPORT_LINES:
            if sum(1 for line in report if pattern.match(line)) != 1:
                raise SystemExit(f"report malformed: no single line matches {pattern.pattern!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
