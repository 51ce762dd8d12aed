#!/usr/bin/env python3
"""Whole updates: the real Talvex.exe and the real PellowD.dll under Wine,
nginx on a loopback port serving a release, the plaza stand-in, Wine's own
cmd.exe running SpecialCpy.bat, and the message-box watcher.
"""

import hashlib
import os
import sys

from talvexrig import (ENGINE_ENDED_BOX, Installation, boxes_of, check, check_equal, main,
                       plaza_info, start, wait_for)
from nginx_rig import NginxRig, free_port

EXIT_HANDED_OVER, EXIT_QUIT, EXIT_STARTUP, EXIT_ENGINE_STOPPED = 0, 1, 2, 3


class Release:
    """A release folder as the publisher puts it on the server."""

    def __init__(self, root):
        self.root = os.path.join(root, "release")
        self.files = []  # (name, data, special, game)

    def add(self, name, data, special=0, game=None, digest=None):
        self.files.append((name, data, special, game, digest))
        # The engine asks for code page 936 bytes; the served names are those bytes.
        path = os.path.join(os.fsencode(self.root), b"update", b"client",
                            *name.strip("\\").encode("cp936").split(b"\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def publish(self, games=()):
        def entries(game):
            return "".join(
                f'<File name="{n}" date="{d or hashlib.md5(data).hexdigest()}" '
                f'bytes="{len(data)}" isSpecial="{s}"/>'
                for n, data, s, g, d in self.files if g == game)
        xml = os.path.join(self.root, "update", "xml")
        os.makedirs(xml, exist_ok=True)
        plaza = ('<?xml version="1.0" encoding="gb2312"?>\n<Update><Files>' + entries(None) +
                 "</Files><Games>" + "".join(f'<Game name="{g}"/>' for g in games) +
                 "</Games></Update>")
        with open(os.path.join(xml, "LastUpdateFiles.xml"), "wb") as f:
            f.write(plaza.encode("cp936"))
        for game in games:
            name = f"{game}_UpdateFiles.xml".encode("cp936")
            with open(os.path.join(os.fsencode(xml), name), "wb") as f:
                f.write(('<?xml version="1.0" encoding="gb2312"?>\n<Update><Files>' +
                         entries(game) + "</Files></Update>").encode("cp936"))


def installation(root, server, reserve):
    return Installation(root, engine="real",
                        ziv=plaza_info(server=server + "/%s", reserve=reserve + "/%s"))


def plaza_update_end_to_end(root):
    release = Release(root)
    release.add("\\Plaza.dat", b"plaza data v2")
    release.add("\\sub\\deep\\ordinary.txt", b"ordinary v2")
    release.add("\\Quorle.dll", b"rank library v2", special=1)
    release.add("\\sub\\Special.dll", b"special v2" * 1000, special=1)
    release.add("\\G\\game.dat", b"game data", game="G")
    release.publish(games=["G"])
    with NginxRig(release.root) as rig:
        inst = installation(root, rig.base_url, rig.base_url)
        inst.write("Plaza.dat", b"plaza data v1")
        inst.write("Quorle.dll", b"rank library v1")
        plaza = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
        wait_for(lambda: inst.plaza_log(), "the plaza to start")

        rc, boxes = boxes_of(inst, timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "exit code")
        check_equal([], boxes, "message boxes")
        check(plaza.poll() is not None, "the running plaza was ended")
        wait_for(lambda: not inst.exists("SpecialCpy.bat") and len(inst.plaza_log()) >= 2,
                 "SpecialCpy.bat to move the special files and start the plaza")
        check_equal(b"plaza data v2", inst.read("Plaza.dat"), "ordinary file replaced")
        check_equal(b"ordinary v2", inst.read("sub\\deep\\ordinary.txt"), "ordinary file added")
        check_equal(b"rank library v2", inst.read("Quorle.dll"), "special file moved")
        check_equal(b"special v2" * 1000, inst.read("sub\\Special.dll"), "special file added")
        check(not inst.exists("G\\game.dat"), "a game's files are not the plaza's")
        check(not inst.exists("DownLoad\\Special"), "DownLoad\\Special removed")
        started = inst.plaza_log()[-1]
        check_equal("start", started[0], "the plaza started again")
        check(started[2].endswith("-u"), f"with -u: {started}")
        check_equal(["运行bat文件(SpecialCpy.bat)", "更新完成！"], inst.log()[-2:],
                    "end of the updater log")

        # A second run finds nothing to do.
        first_log = len(inst.log())
        rc, boxes = boxes_of(inst, timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "second run: exit code")
        check_equal([], boxes, "second run: message boxes")
        check_equal(["没有需要更新的文件(0)", "运行大厅(" + inst.windows("ZIVGame.exe") + " -u)",
                     "更新完成！"], inst.log()[first_log:][-3:], "second run: updater log")


def game_update_end_to_end(root):
    release = Release(root)
    release.add("\\Plaza.dat", b"plaza data v2")
    release.add("\\斗地主.exe", b"game v2", game="斗地主")
    release.add("\\斗地主\\牌.dat", b"cards v2", game="斗地主")
    release.publish(games=["斗地主"])
    with NginxRig(release.root) as rig:
        inst = installation(root, rig.base_url, rig.base_url)
        inst.write("Plaza.dat", b"plaza data v1")
        inst.write("斗地主.exe", b"game v1")
        plaza = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
        wait_for(lambda: inst.plaza_log(), "the plaza to start")
        rc, boxes = boxes_of(inst, "-gamename:斗地主", timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "exit code")
        check_equal([], boxes, "message boxes")
        check_equal(b"game v2", inst.read("斗地主.exe"), "game file replaced")
        check_equal(b"cards v2", inst.read("斗地主\\牌.dat"), "game file added")
        check_equal(b"plaza data v1", inst.read("Plaza.dat"), "plaza files left alone")
        wait_for(lambda: len(inst.plaza_log()) >= 2, "the plaza's message")
        check_equal(["0x0464", "2", "0"], inst.plaza_log()[1], "message to the plaza window")
        check(plaza.poll() is None, "the plaza still runs, not restarted")
        check(not inst.exists("SpecialCpy.bat"), "no batch file")
        fetched = sorted(uri for method, uri, status, size in rig.requests())
        check(all("Plaza.dat" not in uri and "LastUpdateFiles" not in uri for uri in fetched),
              f"only the game's files fetched: {fetched}")


def reserve_server_serves_when_the_primary_is_down(root):
    release = Release(root)
    release.add("\\a.dll", b"from the reserve")
    release.publish()
    down = f"http://127.0.0.1:{free_port()}"
    with NginxRig(release.root) as rig:
        inst = installation(root, down, rig.base_url)
        rc, boxes = boxes_of(inst, timeout=120)
        check_equal(EXIT_HANDED_OVER, rc, "exit code")
        check_equal([], boxes, "message boxes")
        check_equal(b"from the reserve", inst.read("a.dll"), "file fetched from the reserve")


def a_wrong_digest_leaves_the_installed_copy(root):
    release = Release(root)
    release.add("\\a.dll", b"served bytes", digest="0" * 32)
    release.publish()
    with NginxRig(release.root) as rig:
        inst = installation(root, rig.base_url, rig.base_url)
        inst.write("a.dll", b"installed")
        rc, boxes = boxes_of(inst, timeout=120)
        check_equal(EXIT_ENGINE_STOPPED, rc, "exit code (the engine ended the run)")
        check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
        check_equal(b"installed", inst.read("a.dll"), "installed copy untouched")
        check(not inst.exists("ZIVGame.log"), "no plaza started")


def unusable_served_manifests(root):
    # Well-formed, so that only the name is what the updater refuses.
    digest = b"0" * 32
    cases = [
        ("missing", None, None),
        ("unparseable", b"<Update><Files>", "LastUpdateFiles.xml出错！"),
        ("text first", b"<Update>text<Files/><Games/></Update>", "网络下载LastUpdateFiles.xml出错！"),
        ("hostile name", b'<U><F><File name="\\..\\evil.dll" date="' + digest + b'" bytes="1" '
                         b'isSpecial="0"/></F><G/></U>', "LastUpdateFiles.xml出错！"),
        ("quoting special name",
         b'<U><F><File name="\\a.dll" date="' + digest + b'" bytes="1" isSpecial="1"/>'
         b'<File name="\\b&quot; &amp; echo &gt;..\\..\\evil.dll &amp; &quot;.dll" date="' +
         digest + b'" bytes="1" isSpecial="1"/></F><G/></U>', "LastUpdateFiles.xml出错！"),
    ]
    for index, (what, manifest, box) in enumerate(cases):
        case_root = os.path.join(root, "cases", str(index))
        release = Release(case_root)
        release.publish()
        path = os.path.join(release.root, "update", "xml", "LastUpdateFiles.xml")
        if manifest is None:
            os.remove(path)
        else:
            with open(path, "wb") as f:
                f.write(manifest)
        with NginxRig(release.root) as rig:
            inst = installation(case_root, rig.base_url, rig.base_url)
            rc, boxes = boxes_of(inst, timeout=120)
            if manifest is None:
                # The engine ends the run itself when a file is on neither server;
                # the box for a missing manifest needs an engine that reports
                # success without a file (update_scenarios.py covers it).
                check_equal(EXIT_ENGINE_STOPPED, rc, f"{what}: exit code")
                check_equal([ENGINE_ENDED_BOX], boxes, f"{what}: message boxes")
                check(not inst.exists("ZIVGame.log"), f"{what}: no plaza started")
                continue
            check_equal(EXIT_QUIT, rc, f"{what}: exit code")
            check_equal([("Talvex", box)], boxes, f"{what}: message boxes")
            check(not os.path.exists(os.path.join(case_root, "evil.dll")),
                  f"{what}: nothing written outside")
            check(not inst.exists("SpecialCpy.bat"), f"{what}: no batch file")
            check_equal(["/update/xml/LastUpdateFiles.xml"],
                        [uri for method, uri, status, size in rig.requests()],
                        f"{what}: only the manifest was fetched")


SCENARIOS = {f.__name__: f for f in (
    plaza_update_end_to_end,
    game_update_end_to_end,
    reserve_server_serves_when_the_primary_is_down,
    a_wrong_digest_leaves_the_installed_copy,
    unusable_served_manifests,
)}

if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
