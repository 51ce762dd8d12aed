#!/usr/bin/env python3
"""Talvex.exe under Wine: the update decision and the download orchestration.

The engine here is the recording one (tests/updater/recengine): the scenario
puts the "downloaded" manifest and special files where the engine would have
saved them, the engine reports each request as finished (or ends the run),
and the scenario checks what Talvex asked for, what it wrote, what it showed
and how the run ended. Whole updates against a real server with the real
engine are in e2e_scenarios.py.
"""

import hashlib
import os
import subprocess
import sys

from talvexrig import (BIN, ENGINE_ENDED_BOX, WINE_RUN, Installation, boxes_of, check,
                       check_equal, check_record, env, main, plaza_info, request, start, wait_for)

EXIT_HANDED_OVER, EXIT_QUIT, EXIT_STARTUP, EXIT_ENGINE_STOPPED = 0, 1, 2, 3
FILES = "http://127.0.0.1:9/update/client"
FILES_RESERVE = "http://127.0.0.1:9/reserve/update/client"


def md5(data):
    return hashlib.md5(data).hexdigest()


def entry(name, data, special=0, digest=None, size=None):
    return (f'<File name="{name}" date="{digest or md5(data)}" '
            f'bytes="{len(data) if size is None else size}" isSpecial="{special}"/>')


def plaza_manifest(files, games=""):
    return (f'<?xml version="1.0" encoding="gb2312"?>\n<Update><Files>{"".join(files)}</Files>'
            f"<Games>{games}</Games></Update>")


def installation(root, mode, manifest=None, game=None):
    inst = Installation(root, ziv=plaza_info(), mode=mode)
    if manifest is not None:
        name = "LastUpdateFiles.xml" if game is None else f"{game}_UpdateFiles.xml"
        inst.write("DownLoad\\" + name, manifest)
    return inst


def plaza_batch_and_batch_file(root):
    same, old, new, special = b"unchanged", b"old bytes", b"new bytes", b"special dll"
    inst = installation(root, "hold", plaza_manifest([
        entry("\\same.dll", same),
        entry("\\changed.dll", new),
        entry("\\sub\\special.dll", special, special=1),
        entry("\\游戏\\规则.txt", b"rules", special=0, size="0100"),
    ], '<Game name="G"/><Game name="Absent"/>'))
    inst.write("same.dll", same)
    inst.write("changed.dll", old)
    inst.write("游戏\\规则.txt", b"x" * 100)
    inst.write("G.exe", b"not really a program")
    plaza = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
    wait_for(lambda: inst.plaza_log(), "the plaza to start")

    rc, boxes = boxes_of(inst)
    check_equal(EXIT_ENGINE_STOPPED, rc, "exit code (the engine ended the run)")
    check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
    wait_for(lambda: plaza.poll() is not None, "the running plaza to be ended", timeout=15)
    commands = inst.recorded_commands()
    check_equal([2, 3], [code for code, _ in commands], "command codes")
    batch = commands[1][1]
    check_equal(3, len(batch), "requests in the batch")
    folder = inst.windows()[:-1]
    check_record(request("\\changed.dll", "changed.dll", folder, FILES + "\\changed.dll",
                         FILES_RESERVE + "\\changed.dll", md5(new), 3, 0), batch[0], "file 0")
    check_record(request("\\sub\\special.dll", "sub\\special.dll", inst.windows("DownLoad\\Special"),
                         FILES + "\\sub\\special.dll", FILES_RESERVE + "\\sub\\special.dll",
                         md5(special), 3, 1), batch[1], "file 1")
    check_record(request("\\游戏\\规则.txt", "游戏\\规则.txt", folder, FILES + "\\游戏\\规则.txt",
                         FILES_RESERVE + "\\游戏\\规则.txt", md5(b"rules"), 3, 2),
                 batch[2], "file 2")
    check_equal((b"@ping 127.0.0.1 -n 2 >nul\r\n"
                 b"echo f | xcopy \"%~dp0DownLoad\\Special\\sub\\special.dll\" "
                 b"\"%~dp0\\sub\\special.dll\" /s /h /c /y\r\n"
                 b"del \"%~dp0DownLoad\\Special\" /s /q\r\n"
                 b" rd \"%~dp0DownLoad\\Special\" /s /q\r\n"
                 b"Start \"\" \"%~dp0ZIVGame.exe\" -u\r\n"
                 b"del /f %0\r\n"), inst.read("SpecialCpy.bat"), "SpecialCpy.bat")
    log = inst.log()
    updates = [line for line in log if line.startswith("updatefile(")]
    check_equal(["updatefile(3)" + FILES + n + "(" + FILES_RESERVE + n + ")"
                 for n in ("\\changed.dll", "\\sub\\special.dll", "\\游戏\\规则.txt")],
                updates, "updatefile lines")
    check(log.index(updates[-1]) < log.index("@ping 127.0.0.1 -n 2 >nul\r\n"),
          "the batch file is logged after the request lines")
    check_equal(b"old bytes", inst.read("changed.dll"), "nothing replaced by Talvex itself")


def plaza_update_hands_over_to_the_batch_file(root):
    inst = installation(root, "serve", plaza_manifest([
        entry("\\a.dll", b"a"),
        entry("\\sub\\s.dll", b"special", special=1),
    ]))
    # As the engine would have saved them.
    inst.write("a.dll", b"a")
    inst.write("DownLoad\\Special\\sub\\s.dll", b"special")
    rc, boxes = boxes_of(inst)
    check_equal(EXIT_HANDED_OVER, rc, "exit code")
    check_equal([], boxes, "message boxes")
    wait_for(lambda: not inst.exists("SpecialCpy.bat") and inst.plaza_log(),
             "SpecialCpy.bat to finish")
    check_equal(b"special", inst.read("sub\\s.dll"), "special file moved into place")
    check(not inst.exists("DownLoad\\Special"), "DownLoad\\Special removed")
    check(inst.plaza_log()[0][2].endswith("-u"), f"plaza start: {inst.plaza_log()}")
    check_equal(["更新完成，打开大厅。", "运行bat文件(SpecialCpy.bat)", "更新完成！"],
                inst.log()[-3:], "end of the updater log")


def game_update_tells_the_plaza(root):
    inst = installation(root, "serve", '<R><F>' + entry("\\G\\g.dll", b"g") +
                        entry("\\G\\s.dat", b"s", special=1) + "</F></R>", game="G")
    plaza = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
    wait_for(lambda: inst.plaza_log(), "the plaza to start")
    rc, boxes = boxes_of(inst, "-gamename:G")
    check_equal(EXIT_HANDED_OVER, rc, "exit code")
    check_equal([("Talvex", "游戏更新不允许有特殊文件2")], boxes, "message boxes")
    wait_for(lambda: len(inst.plaza_log()) >= 2, "the plaza's message")
    check_equal([["start", inst.plaza_log()[0][1], inst.plaza_log()[0][2]], ["0x0464", "2", "0"]],
                inst.plaza_log(), "plaza log: no restart, one message")
    check(plaza.poll() is None, "the plaza still runs")
    check(not inst.exists("SpecialCpy.bat"), "no batch file for a game update")
    batch = inst.recorded_commands()[1][1]
    check_equal([("G", 1), ("G", 1)],
                [(r[1224:1352].split(b"\0")[0].decode(), r[1352]) for r in batch],
                "game name and flag of each request")
    check_equal("更新完成，打开游戏。", inst.log()[-1], "end of the updater log")


def nothing_to_update(root):
    inst = installation(root, "serve", plaza_manifest([entry("\\a.dll", b"a")]))
    inst.write("a.dll", b"a")
    rc, boxes = boxes_of(inst)
    check_equal(EXIT_HANDED_OVER, rc, "exit code")
    check_equal([], boxes, "message boxes")
    check_equal([2, 4], [code for code, _ in inst.recorded_commands()], "command codes")
    wait_for(lambda: inst.plaza_log(), "the plaza to start")
    check_equal(["没有需要更新的文件(0)", "运行大厅(" + inst.windows("ZIVGame.exe") + " -u)",
                 "更新完成！"], inst.log()[-3:], "end of the updater log")


def engine_stop_while_fetching_hands_nothing_over(root):
    inst = installation(root, "stop", plaza_manifest([
        entry("\\a.dll", b"a"), entry("\\b.dll", b"b"), entry("\\s.dll", b"s", special=1)]))
    rc, boxes = boxes_of(inst)
    check_equal(EXIT_ENGINE_STOPPED, rc, "exit code")
    check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
    check(inst.exists("SpecialCpy.bat"), "the batch file waits for the next run")
    check(not inst.exists("ZIVGame.log"), "no plaza started")
    check("更新完成！" not in inst.log(), "no hand-over logged")
    check_equal("下载服务停止，更新未完成", inst.log()[-1], "the engine's stop logged")


def a_locked_file_is_fetched(root):
    same = b"same bytes"
    inst = installation(root, "hold", plaza_manifest([entry("\\locked.dll", same),
                                                      entry("\\free.dll", same)]))
    inst.write("locked.dll", same)
    inst.write("free.dll", same)
    # Held open without sharing: right size, but its digest cannot be read.
    holder = subprocess.Popen([WINE_RUN, os.path.join(BIN, "holdfile.exe"),
                               inst.windows("locked.dll")], env=env(), stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        check_equal(b"held\n", holder.stdout.readline().replace(b"\r", b""), "holdfile")
        rc, boxes = boxes_of(inst)
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    check_equal(EXIT_ENGINE_STOPPED, rc, "exit code")
    check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
    batch = inst.recorded_commands()[1][1]
    check_equal(["\\locked.dll"], [r[1:129].split(b"\0")[0].decode() for r in batch],
                "only the locked file is fetched")


def a_second_updater_changes_nothing(root):
    inst = installation(root, "idle", plaza_manifest([entry("\\a.dll", b"a", special=1)]))
    first = start(inst.path("Talvex.exe"), cwd=inst.folder)
    try:
        wait_for(lambda: inst.recorded_commands(), "the first updater to ask for its manifest")

        # The first updater's engine notes its windows once its loop idles,
        # which may come after the snapshot on a busy machine: that note is
        # the first updater's, and a second engine would show in
        # recengine-life.txt, checked below.
        def files():
            return {name: inst.read(name) for name in os.listdir(inst.folder)
                    if os.path.isfile(inst.path(name)) and name != "recengine-windows.txt"}
        before = files()
        rc, boxes = boxes_of(inst)
        check_equal(EXIT_STARTUP, rc, "the second updater's exit code")
        check_equal([], boxes, "message boxes")
        after = files()
        check_equal(before, after, "the installation's files")
        check_equal(b"created\r\n", inst.read("recengine-life.txt"),
                    "only the first updater loaded the engine")
        check_equal([2], [c for c, _ in inst.recorded_commands()], "requests")
        lines = [line for line in inst.log() if line.startswith("已有更新程序在运行，本次不更新(")]
        check_equal(1, len(lines), f"the second updater's log line: {inst.log()}")
    finally:
        inst.write("recengine.go", b"")
        first.wait(timeout=60)
    check_equal(EXIT_ENGINE_STOPPED, first.returncode, "the first updater ran on to its end")


SCENARIOS = {f.__name__: f for f in (
    a_second_updater_changes_nothing,
    a_locked_file_is_fetched,
    plaza_batch_and_batch_file,
    plaza_update_hands_over_to_the_batch_file,
    game_update_tells_the_plaza,
    nothing_to_update,
    engine_stop_while_fetching_hands_nothing_over,
)}

if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
