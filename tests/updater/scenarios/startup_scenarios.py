#!/usr/bin/env python3
"""Talvex.exe under Wine: start-up, the manifest requests and the hand-over.

Each scenario runs the real Talvex.exe on a fresh installation folder, with
the message-box watcher, and checks its exit code, the boxes the user saw,
the updater log, what the plaza stand-in recorded, and (with the recording
engine) the request records byte for byte.
"""

import os
import shutil
import sys
import time

from talvexrig import (ENGINE_ENDED_BOX, Installation, boxes_of, check, check_equal, check_record,
                       main, plaza_info, request, start, wait_for)

EXIT_HANDED_OVER, EXIT_QUIT, EXIT_STARTUP, EXIT_ENGINE_STOPPED = 0, 1, 2, 3
EXIT_DIALOG_COMMAND, EXIT_NOT_STARTED = 5, 6

BAT_FOR_SUB_X = (b"@ping 127.0.0.1 -n 2 >nul\r\n"
                 b"echo f | xcopy \"%~dp0DownLoad\\Special\\sub\\x.dll\" \"%~dp0\\sub\\x.dll\" "
                 b"/s /h /c /y\r\n"
                 b"del \"%~dp0DownLoad\\Special\" /s /q\r\n"
                 b" rd \"%~dp0DownLoad\\Special\" /s /q\r\n"
                 b"Start \"\" \"%~dp0ZIVGame.exe\" -u\r\n"
                 b"del /f %0\r\n")


def updating_disabled_starts_the_plaza(root):
    # Beside every installation waits a plaza stand-in named "游戏.exe": from the
    # unquoted "...\游戏 大厅\ZIVGame.exe -u" alone, Windows would start it first.
    cases = [("plain folder", "游戏大厅", True), ("folder with a blank", "游戏 大厅", True),
             ("no plaza to start", "游戏大厅", False)]
    for index, (what, name, has_plaza) in enumerate(cases):
        case_root = os.path.join(root, str(index))
        inst = Installation(case_root, ziv=plaza_info(enable="off"), name=name)
        shutil.copy2(inst.path("ZIVGame.exe"), os.path.join(case_root, "游戏.exe"))
        if not has_plaza:
            os.remove(inst.path("ZIVGame.exe"))
        rc, boxes = boxes_of(inst)
        check_equal([], boxes, f"{what}: message boxes")
        command = inst.windows("ZIVGame.exe") + " -u"
        if has_plaza:
            check_equal(EXIT_HANDED_OVER, rc, f"{what}: exit code")
            wait_for(lambda: inst.plaza_log(), f"{what}: the plaza to start")
            plaza = inst.plaza_log()
            check_equal("start", plaza[0][0], f"{what}: plaza log")
            check_equal(command, plaza[0][2], f"{what}: plaza command line")
            log = ["不需要更新，直接进入大厅了(0)", f"运行大厅({command})", "更新完成！"]
        else:
            # Nothing was handed over, and the exit code says so.
            check_equal(EXIT_NOT_STARTED, rc, f"{what}: exit code")
            log = ["不需要更新，直接进入大厅了(0)", f"运行大厅({command})", "运行大厅失败(2)",
                   "更新完成！"]
        check_equal(log, inst.log(), f"{what}: updater log")
        check(not os.path.exists(os.path.join(case_root, "ZIVGame.log")),
              f"{what}: 游戏.exe started in the plaza's place")
        check_equal([], inst.recorded_commands(), f"{what}: requests to the engine")


def updating_disabled_runs_the_waiting_batch_file(root):
    inst = Installation(root, ziv=plaza_info(enable="0"))
    inst.write("SpecialCpy.bat", BAT_FOR_SUB_X)
    inst.write("DownLoad\\Special\\sub\\x.dll", b"new special file")
    inst.write("sub\\x.dll", b"old")
    rc, boxes = boxes_of(inst)
    check_equal(EXIT_HANDED_OVER, rc, "exit code")
    check_equal([], boxes, "message boxes")
    check_equal(["不需要更新，直接进入大厅了(0)", "运行bat文件(SpecialCpy.bat)", "更新完成！"],
                inst.log(), "updater log")
    # The batch file deletes itself last, after starting the plaza.
    wait_for(lambda: not inst.exists("SpecialCpy.bat") and inst.plaza_log(),
             "SpecialCpy.bat to finish")
    check_equal(b"new special file", inst.read("sub\\x.dll"), "moved special file")
    check(not inst.exists("DownLoad\\Special"), "DownLoad\\Special removed")
    plaza = inst.plaza_log()
    check_equal("start", plaza[0][0], "plaza log")
    check(plaza[0][2].endswith("-u"), f"plaza started with -u: {plaza[0][2]}")


def startup_failures_show_their_box_and_end(root):
    cases = [
        ("missing GamePlazaInfo.ziv", None, "rec", "GamePlazaInfo.ziv文件不存在！", None),
        ("undecodable GamePlazaInfo.ziv", b"ZIV\x1a garbage that is no .ziv file", "rec",
         "GamePlazaInfo.ziv文件解析出错！", None),
        ("no isEnableUpdate", '<PlazaInfo><S updateGameUrl="http://h/%s"/></PlazaInfo>', "rec",
         "GamePlazaInfo.ziv文件解析出错！", None),
        ("missing PellowD.dll", plaza_info(), None, "DownLoad Service Error",
         "Create DownLoad Service Error"),
        ("format-string server", plaza_info(server="http://h/%s%n%n"), "rec",
         "GamePlazaInfo.ziv文件解析出错！", "服务器地址格式无效，只允许一个%s(http://h/%s%n%n)"),
        ("plain reserve with https only",
         plaza_info(server="https://h/%s").replace("<Server ", '<Server updateHttpsOnly="1" '),
         "rec", "GamePlazaInfo.ziv文件解析出错！",
         "只允许https服务器地址，拒绝(http://127.0.0.1:9/reserve/%s)"),
        ("malformed public key",
         plaza_info().replace("<Server ", '<Server updatePublicKey="ecdsa-p256:AAAA" '), "rec",
         "GamePlazaInfo.ziv文件解析出错！", "发布者公钥无效(ecdsa-p256:AAAA)"),
    ]
    for index, (what, ziv, engine, box, logged) in enumerate(cases):
        inst = Installation(os.path.join(root, "cases", str(index)), engine=engine, ziv=ziv)
        began = time.monotonic()
        rc, boxes = boxes_of(inst)
        check_equal(EXIT_STARTUP, rc, f"{what}: exit code")
        check_equal([("Talvex", box)], boxes, f"{what}: message boxes")
        check_equal([logged or box], inst.log(), f"{what}: updater log")
        check_equal([], inst.recorded_commands(), f"{what}: requests")
        check(not inst.exists("ZIVGame.log"), f"{what}: no plaza started")
        check(time.monotonic() - began < 30, f"{what}: ended promptly")


def plaza_manifest_request_byte_for_byte(root):
    inst = Installation(root, ziv=plaza_info())
    rc, boxes = boxes_of(inst, "-other", "x")
    check_equal(EXIT_ENGINE_STOPPED, rc, "exit code (the recording engine ends the run)")
    check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
    commands = inst.recorded_commands()
    check_equal([2], [code for code, _ in commands], "command codes")
    check_equal(1, len(commands[0][1]), "records of the command")
    check_record(request(file_name="LastUpdateFiles.xml", save_name="LastUpdateFiles.xml",
                         save_dir=inst.windows("DownLoad"),
                         url="http://127.0.0.1:9/update/xml/LastUpdateFiles.xml",
                         url_reserve="http://127.0.0.1:9/reserve/update/xml/LastUpdateFiles.xml"),
                 commands[0][1][0], "plaza manifest request")
    log = inst.log()
    check_equal("DownloadLastUpdateXMLFile start ...", log[1], "log")
    check(log[0].startswith("传递进来的参数(") and log[0].endswith("-other x)"), f"log: {log[0]}")
    # The dialog never stays on screen: by the time the loop idles it is hidden.
    dialogs = [w for w in inst.windows_seen() if w[0] == "#32770"]
    check_equal([("#32770", "Talvex", "0", "16", "关于 Talvex(&A)...", "1")], dialogs,
                "Talvex's top-level windows: hidden, the about entry, its icons")
    check_equal(b"created\r\nreleased\r\n", inst.read("recengine-life.txt"),
                "the engine released when the dialog is destroyed")


def game_manifest_request_byte_for_byte(root):
    inst = Installation(root, ziv=plaza_info(server="http://h/%s/", reserve=""))
    rc, boxes = boxes_of(inst, "-GameName:斗地主:x", "-gamename:Other")
    check_equal(EXIT_ENGINE_STOPPED, rc, "exit code")
    check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
    commands = inst.recorded_commands()
    check_equal([5], [code for code, _ in commands], "command codes")
    check_record(request(file_name="斗地主_UpdateFiles.xml", save_name="斗地主_UpdateFiles.xml",
                         save_dir=inst.windows("DownLoad"),
                         url="http://h/update/xml//斗地主_UpdateFiles.xml",
                         url_reserve="/斗地主_UpdateFiles.xml", game="斗地主", for_game=1),
                 commands[0][1][0], "game manifest request")
    check_equal(["下载服务退出，更新未完成"], inst.log()[1:],
                "only the command line and the engine's end are logged")


def overlong_game_name_is_refused(root):
    inst = Installation(root, ziv=plaza_info())
    rc, boxes = boxes_of(inst, "-gamename:" + "g" * 128)
    check_equal(EXIT_STARTUP, rc, "exit code")
    check_equal([("Talvex", "打开" + inst.windows("DownLoad\\" + "g" * 128 + "_UpdateFiles.xml") +
                  "出错！")], boxes, "message boxes")
    check_equal([], inst.recorded_commands(), "requests")
    check(any("szGameName" in line for line in inst.log()), f"log: {inst.log()}")


def open_game_reaches_the_plaza_window(root):
    inst = Installation(root, ziv=plaza_info(), mode="serve")
    inst.write("DownLoad\\G_UpdateFiles.xml", "<R><F/></R>")
    plaza = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
    wait_for(lambda: inst.plaza_log(), "the plaza to start")
    rc, boxes = boxes_of(inst, "-gamename:G")
    check_equal(EXIT_HANDED_OVER, rc, "exit code")
    check_equal([], boxes, "message boxes")
    wait_for(lambda: len(inst.plaza_log()) >= 2, "the plaza's message")
    check_equal(["0x0464", "2", "0"], inst.plaza_log()[1], "message to the plaza window")
    check_equal(1, len([e for e in inst.plaza_log() if e[0] == "start"]), "no plaza restart")
    check_equal([5, 4], [code for code, _ in inst.recorded_commands()], "command codes")
    check(plaza.poll() is None, "the plaza still runs")


def terminate_by_name_respects_letter_case(root):
    inst = Installation(root, ziv=plaza_info(), mode="serve")
    inst.write("DownLoad\\LastUpdateFiles.xml", "<R><F/><G/></R>")
    other = os.path.join(root, "other")
    os.makedirs(other)
    # Two plazas: one named exactly, one whose name differs only in case.
    exact = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
    lower = os.path.join(other, "zivgame.exe")
    with open(inst.path("ZIVGame.exe"), "rb") as src, open(lower, "wb") as dst:
        dst.write(src.read())
    differing = start(lower, cwd=other)
    wait_for(lambda: inst.plaza_log() and os.path.exists(os.path.join(other, "ZIVGame.log")),
             "both plazas to start")
    rc, boxes = boxes_of(inst)
    check_equal(EXIT_HANDED_OVER, rc, "exit code")
    check_equal([], boxes, "message boxes")
    wait_for(lambda: exact.poll() is not None, "ZIVGame.exe to be ended", timeout=15)
    check(differing.poll() is None, "zivgame.exe still runs")
    check_equal(["没有需要更新的文件(0)", "运行大厅(" + inst.windows("ZIVGame.exe") + " -u)",
                 "更新完成！"], inst.log()[-3:], "updater log")


def ok_or_cancel_is_no_hand_over(root):
    for command in ("ok", "cancel"):
        inst = Installation(os.path.join(root, command), ziv=plaza_info(), mode=command)
        rc, boxes = boxes_of(inst)
        check_equal(EXIT_DIALOG_COMMAND, rc, f"{command}: exit code")
        check_equal([], boxes, f"{command}: message boxes")
        check_equal(f"更新被中止(ID{command.upper()})", inst.log()[-1], f"{command}: updater log")
        check(not inst.exists("ZIVGame.log"), f"{command}: no plaza started")


def about_box_from_the_system_menu(root):
    inst = Installation(root, ziv=plaza_info(), mode="about")
    rc, boxes = boxes_of(inst)
    check_equal(EXIT_ENGINE_STOPPED, rc, "exit code")
    check_equal([ENGINE_ENDED_BOX], boxes, "message boxes")
    seen = inst.windows_seen(block=1)
    about = [w[:3] for w in seen if w[0] == "#32770" and w[1] != "Talvex"]
    # 0x0020 opened nothing; 0x001F opened exactly one about box.
    check_equal([("#32770", "关于 Talvex", "1")], about, "about box")
    check_equal([("about-ok", "确定")], [w for w in seen if w[0] == "about-ok"], "its OK button")


SCENARIOS = {f.__name__: f for f in (
    about_box_from_the_system_menu,
    ok_or_cancel_is_no_hand_over,
    updating_disabled_starts_the_plaza,
    updating_disabled_runs_the_waiting_batch_file,
    startup_failures_show_their_box_and_end,
    plaza_manifest_request_byte_for_byte,
    game_manifest_request_byte_for_byte,
    overlong_game_name_is_refused,
    open_game_reaches_the_plaza_window,
    terminate_by_name_respects_letter_case,
)}

if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
