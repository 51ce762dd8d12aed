"""Helpers for scenarios that run the suite's Windows programs under Wine.

Every program goes through scripts/wine-run (code page 936, the suite's Wine
prefix, a display). A scenario that shows message boxes starts the watcher
beside the program under test and reads back what the user would have seen:

    with Watcher(folder / "boxes.txt") as boxes:
        rc = run_windows(bin_dir / "Talvex.exe", cwd=folder, timeout=60)
    assert boxes.records() == [("Talvex", "GamePlazaInfo.ziv文件不存在！")]

Texts in records() are decoded from code page 936; raw bytes are in raw().
"""

import os
import pathlib
import shutil
import subprocess
import time

SOURCE = pathlib.Path(os.environ.get("SUITE_SOURCE", pathlib.Path(__file__).resolve().parents[2]))
BUILD = pathlib.Path(os.environ.get("SUITE_BUILD", SOURCE / "build" / "windows"))
BIN = pathlib.Path(os.environ.get("SUITE_BIN", BUILD / "bin"))
WINE_RUN = SOURCE / "scripts" / "wine-run"


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", str(BUILD / "wineprefix"))
    return env


def windows_path(path):
    """The Wine (Z:) path of a Linux path."""
    return "Z:" + os.path.abspath(str(path)).replace("/", "\\")


class Failure(Exception):
    """A scenario's expectation that did not hold."""


def check(condition, what):
    if not condition:
        raise Failure(what)


def check_equal(want, got, what):
    if want != got:
        lines = [f"{what}:", "  want:"] + [f"    {w!r}" for w in (want if isinstance(want, list) else [want])]
        lines += ["  got:"] + [f"    {g!r}" for g in (got if isinstance(got, list) else [got])]
        raise Failure("\n".join(lines))


def run_windows(exe, *args, cwd=None, timeout=120):
    """Runs a Windows program to its end and returns its exit code.

    Its output is not piped: a program it starts (the plaza, a batch file)
    would inherit the pipe and hold the run open long after the program ended.
    """
    proc = subprocess.run([str(WINE_RUN), str(exe), *map(str, args)], cwd=cwd,
                          env=wine_env(), timeout=timeout,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc.returncode


def start_windows(exe, *args, cwd=None):
    """Starts a Windows program and returns its Popen (the Wine loader)."""
    return subprocess.Popen([str(WINE_RUN), str(exe), *map(str, args)], cwd=cwd,
                            env=wine_env(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def copy_binaries(names, folder):
    """Copies built binaries (e.g. "Talvex.exe") into an installation folder."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for name in names:
        shutil.copy2(BIN / name, folder / name)


class Watcher:
    """The message-box watcher, running while the with-block runs."""

    def __init__(self, outfile, timeout_ms=300000):
        self.outfile = pathlib.Path(outfile)
        self.timeout_ms = timeout_ms
        self.proc = None

    def __enter__(self):
        if self.outfile.exists():
            self.outfile.unlink()
        self.proc = start_windows(BIN / "msgwatch.exe", windows_path(self.outfile),
                                  "--timeout-ms", self.timeout_ms)
        # Give the watcher a moment to start polling before boxes can appear;
        # a box shown earlier is still found, this only avoids racing startup.
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return False

    def raw(self):
        return self.outfile.read_bytes() if self.outfile.exists() else b""

    def records(self):
        out = []
        for line in self.raw().split(b"\n"):
            if not line:
                continue
            caption, _, text = line.partition(b"\t")
            out.append((unescape(caption.decode("cp936")), unescape(text.decode("cp936"))))
        return out


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"\\": "\\", "t": "\t", "n": "\n"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)
