"""Running Talvex.exe under Wine on fresh installation folders.

Every scenario gets a new installation folder with copies of the built
programs, a GamePlazaInfo.ziv encoded by zivtool, and (by choice) the real
download engine or the recording one of tests/updater/recengine. The
scenarios of a script share one X display and a Wine prefix of their own:
Talvex ends every ZIVGame.exe of its Wine server, which must not hit other
tests' plazas.

Environment (set by ctest): SUITE_BIN, SUITE_BUILD, SUITE_SOURCE.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

BIN = os.environ["SUITE_BIN"]
BUILD = os.environ["SUITE_BUILD"]
SOURCE = os.environ["SUITE_SOURCE"]
WINE_RUN = os.path.join(SOURCE, "scripts", "wine-run")
RECENGINE = os.path.join(BUILD, "recengine", "PellowD.dll")
# One prefix per scenario script: each ends its Wine server between scenarios,
# which must not hit the programs of a script that ctest runs beside it.
PREFIX = os.path.join(BUILD, "wineprefix-talvex-" +
                      os.path.splitext(os.path.basename(sys.argv[0]))[0])

sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from winerig import Failure, Watcher, check, check_equal, windows_path as winpath  # noqa: E402,F401
from display import Display as _Display  # noqa: E402

REQUEST_SIZE = 1356
# What the player sees when the engine ends a run before the hand-over.
ENGINE_ENDED_BOX = ("Talvex", "DownLoad Service Error")
current_root = None  # the running scenario's temporary folder
ENTRY = re.compile(rb"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) ")


def cp936(text):
    return text.encode("cp936")


class Display:
    """One display for all scenarios, so the watcher sees Talvex's boxes: the
    caller's, or one of scripts/display for the script's run."""

    def __enter__(self):
        self.display = _Display().__enter__()
        os.environ["WINEPREFIX"] = PREFIX
        return self

    def __exit__(self, *exc):
        # The prefix's server holds the display; end it first (it is ours).
        subprocess.run(["wineserver", "-k"], env=env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.display.stop()
        return False


def env():
    return dict(os.environ, WINEPREFIX=PREFIX)


def run(exe, *args, cwd=None, timeout=60):
    """Runs a Windows program to its end; returns its exit code.

    Output goes nowhere: the Wine server and any program the run starts would
    hold a pipe open long after the program itself has ended."""
    proc = subprocess.run([WINE_RUN, exe, *args], cwd=cwd, env=env(), timeout=timeout,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc.returncode


def start(exe, *args, cwd=None):
    return subprocess.Popen([WINE_RUN, exe, *args], cwd=cwd, env=env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what}")


_ZIV_CACHE = {}


def ziv_bytes(xml_text):
    """The .ziv encoding of an XML text (code page 936), made by zivtool once per text."""
    if xml_text not in _ZIV_CACHE:
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "in.xml")
            dst = os.path.join(tmp, "out.ziv")
            with open(src, "wb") as f:
                f.write(cp936(xml_text))
            rc = run(os.path.join(BIN, "zivtool.exe"), "encode", winpath(src), winpath(dst))
            check_equal(0, rc, "zivtool encode")
            with open(dst, "rb") as f:
                _ZIV_CACHE[xml_text] = f.read()
    return _ZIV_CACHE[xml_text]


def plaza_info(enable="1", server="http://127.0.0.1:9/%s", reserve="http://127.0.0.1:9/reserve/%s",
               xml="update/xml", client="update/client"):
    attrs = f'updateGameUrl="{server}" updateGameUrlReserve="{reserve}"'
    return (f'<?xml version="1.0" encoding="gb2312"?>\n<PlazaInfo isEnableUpdate="{enable}">'
            f'<Server {attrs}/><Paths updateGameXMLtUrl="{xml}" updateGameClientUrl="{client}"/>'
            f"</PlazaInfo>")


class Installation:
    """A fresh installation folder, Chinese-named, in root."""

    def __init__(self, root, engine="rec", ziv=None, mode=None, name="游戏大厅"):
        self.folder = os.path.join(root, name)
        os.makedirs(self.folder)
        for name in ("Talvex.exe", "KelmarD.dll", "ZIVGame.exe"):
            shutil.copy2(os.path.join(BIN, name), self.folder)
        if engine == "rec":
            shutil.copy2(RECENGINE, self.folder)
        elif engine == "real":
            shutil.copy2(os.path.join(BIN, "PellowD.dll"), self.folder)
        if ziv is not None:
            self.write("GamePlazaInfo.ziv", ziv_bytes(ziv) if isinstance(ziv, str) else ziv)
        if mode is not None:
            self.write("recengine.ini", f"[engine]\r\nmode={mode}\r\n".encode())

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def write(self, name, data):
        path = self.path(*name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else cp936(data))
        return path

    def read(self, name):
        with open(self.path(*name.split("\\")), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.path(*name.split("\\")))

    def windows(self, name=""):
        return winpath(self.folder) + "\\" + name

    def talvex(self, *args, timeout=60):
        """Runs Talvex.exe from the folder (any current directory would do)."""
        return run(self.path("Talvex.exe"), *args, cwd=os.path.dirname(self.folder),
                   timeout=timeout)

    def log(self):
        """The updater log's messages (code page 936 decoded), in order."""
        folder = self.path("errRpt")
        if not os.path.isdir(folder):
            return []
        names = sorted(n for n in os.listdir(folder) if n.startswith("Talvex.exe-"))
        data = b"".join(open(os.path.join(folder, n), "rb").read() for n in names)
        starts = [m.start() for m in ENTRY.finditer(data)]
        entries = []
        for i, pos in enumerate(starts):
            end = starts[i + 1] if i + 1 < len(starts) else len(data)
            chunk = data[pos + 20:end]
            check(chunk.endswith(b"\r\n"), f"log entry ends in CR LF: {chunk!r}")
            entries.append(chunk[:-2].decode("cp936"))
        return entries

    def recorded_commands(self):
        """The recording engine's DownLoadCommand calls: (code, [records])."""
        if not self.exists("recengine.bin"):
            return []
        data = self.read("recengine.bin")
        out, pos = [], 0
        while pos < len(data):
            check_equal(b"RCMD", data[pos:pos + 4], "record marker")
            code, count = struct.unpack_from("<ii", data, pos + 4)
            pos += 12
            records = [data[pos + i * REQUEST_SIZE:pos + (i + 1) * REQUEST_SIZE]
                       for i in range(count)]
            pos += count * REQUEST_SIZE
            out.append((code, records))
        return out

    def windows_seen(self, block=0):
        """The recording engine's notes of the thread's top-level windows, one
        tuple per window or event, of the given block (blocks end at "--")."""
        if not self.exists("recengine-windows.txt"):
            return []
        text = self.read("recengine-windows.txt").decode("cp936")
        blocks = text.split("--\r\n")
        if block >= len(blocks):
            return []
        return [tuple(line.split("\t")) for line in blocks[block].split("\r\n") if line]

    def plaza_log(self):
        if not self.exists("ZIVGame.log"):
            return []
        return [line.split("\t") for line in self.read("ZIVGame.log").decode("cp936").split("\r\n")
                if line]


def request(file_name="", save_name="", save_dir="", url="", url_reserve="", md5="", count=1,
            index=0, game="", for_game=0):
    """A DownLoadRequest as the engine must receive it, every other byte zero."""
    def field(text, width):
        raw = cp936(text)
        check(len(raw) < width, f"test value fits its field: {text}")
        return raw + bytes(width - len(raw))
    data = (bytes([1]) + field(file_name, 128) + field(save_name, 260) + field(save_dir, 260) +
            field(url, 260) + field(url_reserve, 260) + field(md5, 40) + bytes(3) +
            struct.pack("<iii", count, index, 0) + field(game, 128) + bytes([for_game]) + bytes(3))
    check_equal(REQUEST_SIZE, len(data), "request size")
    return data


def describe_record(record):
    """Readable fields of a recorded request, for failure messages."""
    def text(offset, width):
        return record[offset:offset + width].split(b"\0")[0].decode("cp936", "replace")
    return {"szFileName": text(1, 128), "szSaveName": text(129, 260), "szSaveDir": text(389, 260),
            "szUrl": text(649, 260), "szUrlReserve": text(909, 260), "szMD5": text(1169, 40),
            "count/index": struct.unpack_from("<ii", record, 1212), "szGameName": text(1224, 128),
            "bForGame": record[1352]}


def check_record(want, got, what):
    if want != got:
        raise Failure(f"{what}: records differ\n  want: {describe_record(want)}\n"
                      f"  got:  {describe_record(got)}")


# One watcher per scenario: a watcher's wine-run wrapper can be ended, but the
# watcher itself lives on until the scenario's Wine server ends, and would take
# the boxes meant for a second watcher.
_watchers = {}


def boxes_of(inst, *args, **kw):
    """Runs Talvex and returns its exit code and the boxes shown meanwhile."""
    root = current_root
    watcher = _watchers.get(root)
    if watcher is None:
        watcher = _watchers[root] = Watcher(os.path.join(root, "boxes.txt")).__enter__()
    seen = len(watcher.records())
    rc = inst.talvex(*args, **kw)
    return rc, watcher.records()[seen:]


def main(scenarios):
    """Runs the named scenarios (all without arguments); exit status 1 if any failed."""
    names = sys.argv[1:] or list(scenarios)
    failed = []
    with Display():
        for name in names:
            began = time.monotonic()
            with tempfile.TemporaryDirectory(prefix="talvex-") as root:
                global current_root
                current_root = root
                try:
                    scenarios[name](root)
                    print(f"PASS {name} ({time.monotonic() - began:.1f} s)", flush=True)
                except Exception as error:  # report every scenario, then fail
                    failed.append(name)
                    print(f"FAIL {name} ({time.monotonic() - began:.1f} s): {error}", flush=True)
                finally:
                    # Programs a scenario started (plazas, watchers) end with it.
                    subprocess.run(["wineserver", "-k"], env=env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
    print(f"{len(names) - len(failed)} of {len(names)} scenarios passed", flush=True)
    return 1 if failed else 0
