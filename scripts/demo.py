#!/usr/bin/env python3
"""The demo behind scripts/demo (which builds first): a plaza update and a game
update of an older installation, from a release published with the tools."""

import argparse
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))
# Run from ctest or scripts/demo, the Windows build tree is given; otherwise it is build/windows.
BUILD = pathlib.Path(os.environ.get("SUITE_BUILD", ROOT / "build" / "windows"))
BIN = pathlib.Path(os.environ.get("SUITE_BIN", BUILD / "bin"))
NATIVE = ROOT / "build" / "native"
WORK = ROOT / "build" / "demo"  # replaced by --work
os.environ["SUITE_BIN"] = str(BIN)
os.environ["SUITE_BUILD"] = str(BUILD)
# A Wine prefix of the demo's own, so ending its Wine processes touches nothing else.
os.environ["WINEPREFIX"] = str(BUILD / "wineprefix-demo")

import nginx_rig  # noqa: E402
from display import Display  # noqa: E402
import winerig  # noqa: E402

SUITE_BINARIES = ["Talvex.exe", "KelmarD.dll", "PellowD.dll", "Dravik.exe"]
GAME = "Chess"


def say(text=""):
    print(text, flush=True)


def blob(seed, size):
    """Deterministic bytes standing in for an asset of the release."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{seed}/{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def pieces(version):
    """A large game asset: version 2 rewrites three regions of version 1, so an
    update can reuse the rest from the installed file."""
    data = bytearray(blob("pieces", 3 * 1024 * 1024))
    if version == 2:
        for i, at in enumerate((200_000, 1_400_000, 2_900_000)):
            data[at:at + 32 * 1024] = blob(f"pieces v2 {i}", 32 * 1024)
    return bytes(data)


def make_release(release):
    files = {
        "ZIVGame.exe": (BIN / "ZIVGame.exe").read_bytes(),
        "Quorle.dll": (BIN / "Quorle.dll").read_bytes(),
        "res/skin/lobby.png": blob("lobby v2", 48_000),
        "res/skin/buttons.png": blob("buttons", 12_000),
        "res/sound/click.wav": blob("click", 9_000),
        "config/servers.ini": b"[servers]\r\nlobby=127.0.0.1\r\nversion=2\r\n",
        f"{GAME}.exe": blob("chess exe v2", 64_000),
        f"{GAME}/board.dat": blob("board v2", 20_000),
        f"{GAME}/pieces.pak": pieces(2),
        f"{GAME}/rules.txt": "象棋规则 v2\r\n".encode("cp936"),
        "res/text/大厅公告.txt": "欢迎来到游戏大厅\r\n".encode("cp936"),
    }
    for name, data in files.items():
        path = release / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return sorted(files)


def make_installation(install, release):
    """An installation one release behind: some files older, some missing."""
    shutil.copytree(release, install)
    (install / "Quorle.dll").write_bytes((release / "Quorle.dll").read_bytes() + b"old build")
    (install / "res/skin/lobby.png").write_bytes(blob("lobby v1", 47_000))
    (install / "res/sound/click.wav").unlink()
    (install / "res/text/大厅公告.txt").unlink()
    (install / f"{GAME}.exe").write_bytes(blob("chess exe v1", 64_000))
    (install / f"{GAME}/board.dat").write_bytes(blob("board v1", 20_000))
    (install / f"{GAME}/pieces.pak").write_bytes(pieces(1))
    (install / f"{GAME}/rules.txt").unlink()
    winerig.copy_binaries(SUITE_BINARIES, install)
    (install / "errRpt").mkdir()


def serve_release(release, client):
    """The file server's copy of the release. The updater asks for each file
    by its manifest name, whose bytes are code page 936, so the server keeps
    the names as code page 936 bytes."""
    for path in sorted(release.rglob("*")):
        if not path.is_file():
            continue
        relative = path.relative_to(release).as_posix().encode("cp936")
        target = os.path.join(os.fsencode(client), relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(path, target)


def manifestgen(tools, *args):
    if tools == "native":
        return subprocess.run([str(NATIVE / "tools/manifestgen/manifestgen"), *map(str, args)]).returncode
    args = [winerig.windows_path(a) if isinstance(a, pathlib.Path) else a for a in args]
    return winerig.run_windows(BIN / "manifestgen.exe", *args, timeout=300)


def publish(tools, release, xml_folder, key, client_folder):
    args = ["--release", release, "--out", xml_folder, "--special", "Quorle.dll",
            "--game", GAME, "--quiet", "--sign-key", key, "--chunk-index", client_folder]
    return manifestgen(tools, *args)


def encode_info(tools, xml, ziv):
    if tools == "native":
        return subprocess.run([str(NATIVE / "tools/zivtool/zivtool"), "encode", str(xml), str(ziv)]).returncode
    return winerig.run_windows(BIN / "zivtool.exe", "encode", winerig.windows_path(xml),
                               winerig.windows_path(ziv), timeout=120)


def describe(path):
    if not path.exists():
        return "missing"
    data = path.read_bytes()
    return f"{hashlib.md5(data).hexdigest()[:12]} {len(data):>7}"


def table(title, names, install, release, before=None):
    say(title)
    width = max(len(n) for n in names) + 2
    if before is None:
        say(f"  {'file':<{width}}{'installed':<22}{'release':<22}")
        for name in names:
            say(f"  {name:<{width}}{describe(install / name):<22}{describe(release / name):<22}")
    else:
        say(f"  {'file':<{width}}{'before':<22}{'after':<22}{'release':<22}")
        for name in names:
            after = describe(install / name)
            mark = "ok" if after == describe(release / name) else "DIFFERS"
            say(f"  {name:<{width}}{before[name]:<22}{after:<22}{describe(release / name):<22}{mark}")
    say()


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


def plaza_log(install):
    path = install / "ZIVGame.log"
    return path.read_bytes().decode("cp936", "replace") if path.exists() else ""


def run_talvex(install, *args):
    with winerig.Watcher(WORK / "boxes.txt") as boxes:
        rc = winerig.run_windows(install / "Talvex.exe", *args, cwd=install, timeout=180)
        records = boxes.records()
    return rc, records


def main():
    global WORK
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", type=pathlib.Path, default=WORK,
                        help="folder for the release, the server and the installation")
    parser.add_argument("--tools", choices=["native", "windows"], default="native",
                        help="publish with the Linux tools or the Windows ones under Wine")
    options = parser.parse_args()
    WORK = options.work.resolve()
    if not (BIN / "Talvex.exe").exists():
        say(f"demo: {BIN / 'Talvex.exe'} is missing; run scripts/demo, which builds first")
        return 2
    if WORK.exists():
        shutil.rmtree(WORK)
    release, server, install = WORK / "release", WORK / "server", WORK / "install"
    names = make_release(release)
    problems = []

    display = Display().__enter__()
    try:
        say(f"1. Publishing the release with manifestgen ({options.tools}), signed")
        keys = WORK / "keys"
        keys.mkdir()
        if manifestgen(options.tools, "keygen", "--out", keys / "publisher") != 0:
            say("demo: manifestgen keygen failed")
            return 1
        public_key = (keys / "publisher.pub").read_text(encoding="ascii").strip()
        say(f"   publisher key: {public_key[:40]}...")
        if publish(options.tools, release, server / "xml", keys / "publisher.pem",
                   server / "client") != 0:
            say("demo: manifestgen failed")
            return 1
        serve_release(release, server / "client")
        for manifest in sorted((server / "xml").iterdir()):
            say(f"   {manifest.relative_to(WORK)}")
        for index in sorted((server / "client").rglob("*.cix")):
            say(f"   {index.relative_to(WORK)} (chunk index, {index.stat().st_size} bytes)")
        say()

        with nginx_rig.NginxRig(server) as rig:
            say(f"2. nginx serves {server} at {rig.base_url}")
            make_installation(install, release)
            info = WORK / "GamePlazaInfo.xml"
            info.write_text(
                '<?xml version="1.0" encoding="GB2312"?>\n'
                '<plaza isEnableUpdate="1">\n'
                f'  <server updateGameUrl="{rig.base_url}/%s" '
                f'updateGameUrlReserve="{rig.base_url}/%s" '
                'updateGameXMLtUrl="xml" updateGameClientUrl="client"\n'
                f'          updatePublicKey="{public_key}"/>\n'
                '</plaza>\n', encoding="ascii")
            if encode_info(options.tools, info, install / "GamePlazaInfo.ziv") != 0:
                say("demo: zivtool failed")
                return 1
            say("   GamePlazaInfo.ziv encoded with zivtool, pointing at it, with the publisher key")
            native_tool = NATIVE / "tools/manifestgen/manifestgen"
            if native_tool.exists():
                verify = subprocess.run(
                    [str(native_tool), "verify", "--server", f"{rig.base_url}/%s", "--xml-path",
                     "xml", "--client-path", "client", "--key", str(keys / "publisher.pub")],
                    capture_output=True, text=True)
                say(f"   manifestgen verify: exit code {verify.returncode}")
                for line in verify.stdout.splitlines():
                    say(f"     {line}")
                if verify.returncode != 0:
                    problems.append("manifestgen verify found the published release wrong")
            say()
            before = {name: describe(install / name) for name in names}
            table("3. The older installation", names, install, release)

            say("4. Plaza update: the running plaza is ended, files fetched, SpecialCpy.bat "
                "moves Quorle.dll, the plaza restarts with -u")
            plaza = winerig.start_windows(install / "ZIVGame.exe", cwd=install)
            wait_for(lambda: "start" in plaza_log(install), 30)
            rc, boxes = run_talvex(install)
            say(f"   Talvex.exe exit code {rc}; message boxes: {boxes or 'none'}")
            restarted = wait_for(lambda: not (install / "SpecialCpy.bat").exists()
                                 and "-u" in plaza_log(install), 60)
            say(f"   SpecialCpy.bat ran and removed itself, plaza restarted: {restarted}")
            try:
                plaza.wait(timeout=30)  # the first plaza was ended by the updater
            except subprocess.TimeoutExpired:
                problems.append("the running plaza was not ended")
            if rc != 0 or boxes or not restarted:
                problems.append("the plaza update did not hand over cleanly")
            say()

            say(f"5. Game update: Talvex.exe -gamename:{GAME} while the plaza runs")
            served_before = len(rig.requests())
            rc, boxes = run_talvex(install, f"-gamename:{GAME}")
            asset = f"{GAME}/pieces.pak"
            fetched = sum(size for _, uri, _, size in rig.requests()[served_before:]
                          if uri.startswith(f"/client/{asset}"))
            asset_size = (release / asset).stat().st_size
            say(f"   {asset}: {fetched / 1048576:.2f} MiB fetched (its chunk index included) "
                f"for a {asset_size / 1048576:.2f} MiB file; the rest came from the older file")
            if fetched >= asset_size / 2:
                problems.append(f"{asset} was not rebuilt from the chunks of the older file")
            say(f"   Talvex.exe exit code {rc}; message boxes: {boxes or 'none'}")
            notified = wait_for(lambda: "0x0464\t2" in plaza_log(install), 20)
            say(f"   the plaza's window got 0x0464 with 2: {notified}")
            if rc != 0 or boxes or not notified:
                problems.append("the game update did not hand over cleanly")
            say()

            table("6. Before and after", names, install, release, before)
            say("7. The updater's log")
            log_lines = []
            for log in sorted((install / "errRpt").glob("Talvex.exe-*.log")):
                log_lines += log.read_bytes().decode("cp936", "replace").splitlines()
            for line in log_lines:
                say(f"   {line}")
            say()
            verified = [line for line in log_lines if "签名验证" in line]
            say("   signature checks in the log:")
            for line in verified:
                say(f"   {line}")
            if len([line for line in verified if "签名验证通过" in line]) != 2 or \
                    len(verified) != 2:
                problems.append("the updater did not verify both manifests")
            say()
            say("8. What the stand-in plaza saw (ZIVGame.log)")
            for line in plaza_log(install).splitlines():
                say(f"   {line}")
            say()
            say(f"   requests served by nginx: {len(rig.requests())}")
            say()
    finally:
        subprocess.run(["wineserver", "-k"], env=winerig.wine_env(), check=False)
        display.stop()

    if not all(describe(install / n) == describe(release / n) for n in names):
        problems.append("the installation does not match the release")
    leftovers = [p for p in ("SpecialCpy.bat", "DownLoad/Special") if (install / p).exists()]
    if leftovers:
        problems.append(f"left behind: {', '.join(leftovers)}")
    if problems:
        for problem in problems:
            say(f"PROBLEM: {problem}")
        return 1
    say("The installation is identical to the release.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
