#!/usr/bin/env python3
"""Whole updates: the real Talvex.exe and the real PellowD.dll under Wine,
nginx on a loopback port serving a release, the plaza stand-in, Wine's own
cmd.exe running SpecialCpy.bat, and the message-box watcher.
"""

import base64
import datetime
import hashlib
import os
import shutil
import subprocess
import sys

from talvexrig import (BIN, ENGINE_ENDED_BOX, SOURCE, Installation, boxes_of, check, check_equal, main,
                       plaza_info, run, start, wait_for, winpath, ziv_bytes)
from nginx_rig import NginxRig, free_port, make_authority
from winerig import run_windows, windows_path

EXIT_HANDED_OVER, EXIT_QUIT, EXIT_STARTUP, EXIT_ENGINE_STOPPED = 0, 1, 2, 3
# Signed releases expire 30 days ahead, as manifestgen's default: the updater
# refuses an expiry more than 90 days ahead.
EXPIRES = (datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0) +
           datetime.timedelta(days=30)).strftime("%Y-%m-%dT%H:%M:%SZ")


class Release:
    """A release folder as the publisher puts it on the server."""

    def __init__(self, root):
        self.root = os.path.join(root, "release")
        self.files = []  # (name, data, special, game, digest)
        self.sha256 = {}  # name -> the SHA-256 text a signed manifest gives instead of the true one

    def add(self, name, data, special=0, game=None, digest=None, sha256=None):
        self.files.append((name, data, special, game, digest))
        if sha256:
            self.sha256[name] = sha256
        # The engine asks for code page 936 bytes; the served names are those bytes.
        path = os.path.join(os.fsencode(self.root), b"update", b"client",
                            *name.strip("\\").encode("cp936").split(b"\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def publish(self, games=(), signer=None, sequence=1, expires=None):
        """Writes the manifests; with a signer, signed ones with their .sig."""
        expires = expires or EXPIRES

        def root(name):
            if not signer:
                return "<Update>"
            return f'<Update name="{name}" sequence="{sequence}" expires="{expires}">'

        def write(name, text):
            data = text.encode("cp936")
            path = os.path.join(os.fsencode(xml), name.encode("cp936"))
            with open(path, "wb") as f:
                f.write(data)
            if signer:
                with open(path + b".sig", "wb") as f:
                    f.write(signer.sign(data))

        def entries(game):
            return "".join(
                f'<File name="{n}" date="{d or hashlib.md5(data).hexdigest()}" '
                f'bytes="{len(data)}" isSpecial="{s}"' +
                (f' sha256="{self.sha256.get(n) or hashlib.sha256(data).hexdigest()}"'
                 if signer else "") + "/>"
                for n, data, s, g, d in self.files if g == game)
        xml = os.path.join(self.root, "update", "xml")
        os.makedirs(xml, exist_ok=True)
        write("LastUpdateFiles.xml",
              '<?xml version="1.0" encoding="gb2312"?>\n' + root("LastUpdateFiles.xml") + "<Files>" +
              entries(None) +
              "</Files><Games>" + "".join(f'<Game name="{g}"/>' for g in games) +
              "</Games></Update>")
        for game in games:
            name = f"{game}_UpdateFiles.xml"
            write(name, '<?xml version="1.0" encoding="gb2312"?>\n' + root(name) + "<Files>" +
                  entries(game) + "</Files></Update>")


    def chunk_indexes(self):
        """Publishes the chunk index of every file of 1 MiB or more, with the
        publisher's tool, beside the served files."""
        big = [(n, data) for n, data, s, g, d in self.files if len(data) >= 1024 * 1024]
        scratch = os.path.join(self.root, "chunk-release")
        for name, data in big:
            path = os.path.join(os.fsencode(scratch), *name.strip("\\").encode("cp936").split(b"\\"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        client = os.path.join(self.root, "update", "client")
        args = ["--release", scratch, "--out", os.path.join(scratch, "xml"),
                "--chunk-index", client, "--quiet"]
        native = os.path.join(SOURCE, "build", "native", "tools", "manifestgen", "manifestgen")
        if os.path.exists(native):
            subprocess.run([native] + args, check=True)
        else:
            rc = run_windows(os.path.join(BIN, "manifestgen.exe"),
                             *[a if a.startswith("--") else windows_path(a) for a in args])
            if rc != 0:
                raise RuntimeError("manifestgen --chunk-index failed")
        shutil.rmtree(scratch)


class Signer:
    """A publisher's P-256 key made by OpenSSL's own tool for this run, so the
    updater's CNG checks bytes that our code did not sign."""

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.pem = os.path.join(folder, "publisher.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", self.pem], check=True)
        der = subprocess.run(["openssl", "ec", "-in", self.pem, "-pubout", "-outform", "DER"],
                             capture_output=True, check=True).stdout
        self.public = "ecdsa-p256:" + base64.b64encode(der[-64:]).decode()

    def fingerprint(self):
        """What the updater's sequence records name this key by."""
        return hashlib.sha256(base64.b64decode(self.public.split(":", 1)[1])).hexdigest().encode()

    def sign(self, data):
        der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.pem], input=data,
                             capture_output=True, check=True).stdout
        # SEQUENCE { INTEGER r, INTEGER s } -> r || s, 32 bytes each.
        raw, pos = b"", 2
        for _ in range(2):
            length = der[pos + 1]
            raw += der[pos + 2:pos + 2 + length].lstrip(b"\0").rjust(32, b"\0")
            pos += 2 + length
        return raw


def installation(root, server, reserve, key=None, https_only=False):
    ziv = plaza_info(server=server + "/%s", reserve=reserve + "/%s")
    if key:
        ziv = ziv.replace("<Server ", f'<Server updatePublicKey="{key}" ')
    if https_only:
        ziv = ziv.replace("<Server ", '<Server updateHttpsOnly="1" ')
    return Installation(root, engine="real", ziv=ziv)


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


def a_wrong_digest_is_never_installed_or_started(root):
    # The engine refuses an MD5 that differs before its move, and in a signed
    # run, told each file's SHA-256 by the updater, a SHA-256 that differs
    # too: the installed file stays as it was. (With an engine that cannot be
    # told, the updater removes the file itself: updaterun_test covers it.)
    cases = [
        ("MD5 differs", dict(digest="0" * 32), False, EXIT_ENGINE_STOPPED, ENGINE_ENDED_BOX,
         b"installed"),
        ("MD5 matches, SHA-256 differs", dict(sha256="0" * 64), True, EXIT_ENGINE_STOPPED,
         ENGINE_ENDED_BOX, b"installed"),
    ]
    for index, (what, digests, signed, want_rc, box, left) in enumerate(cases):
        case_root = os.path.join(root, "cases", str(index))
        signer = Signer(os.path.join(case_root, "publisher")) if signed else None
        release = Release(case_root)
        release.add("\\ZIVGame.exe", b"served bytes", **digests)
        release.publish(signer=signer)
        with NginxRig(release.root) as rig:
            inst = installation(case_root, rig.base_url, rig.base_url,
                                key=signer.public if signed else None)
            inst.write("ZIVGame.exe", b"installed")
            rc, boxes = boxes_of(inst, timeout=120)
            check_equal(want_rc, rc, f"{what}: exit code")
            check_equal([box], boxes, f"{what}: message boxes")
            check_equal(left, inst.read("ZIVGame.exe") if inst.exists("ZIVGame.exe") else None,
                        f"{what}: what is left of the file")
            check("更新完成！" not in inst.log(), f"{what}: nothing handed over: {inst.log()}")


def unusable_served_manifests(root):
    # One row for each way a manifest is refused, to show that the refusal is
    # joined from the server to the box; which manifests are refused, and
    # with which lines and boxes, is the run's and the reader's own tests'.
    # Well-formed, so that only the name is what the updater refuses.
    digest = b"0" * 32
    cases = [
        ("unparseable", b"<Update><Files>"),
        ("quoting special name",
         b'<U><F><File name="\\a.dll" date="' + digest + b'" bytes="1" isSpecial="1"/>'
         b'<File name="\\b&quot; &amp; echo &gt;..\\..\\evil.dll &amp; &quot;.dll" date="' +
         digest + b'" bytes="1" isSpecial="1"/></F><G/></U>'),
    ]
    for index, (what, manifest) in enumerate(cases):
        case_root = os.path.join(root, "cases", str(index))
        release = Release(case_root)
        release.publish()
        with open(os.path.join(release.root, "update", "xml", "LastUpdateFiles.xml"), "wb") as f:
            f.write(manifest)
        with NginxRig(release.root) as rig:
            inst = installation(case_root, rig.base_url, rig.base_url)
            rc, boxes = boxes_of(inst, timeout=120)
            check_equal(EXIT_QUIT, rc, f"{what}: exit code")
            check_equal([("Talvex", "LastUpdateFiles.xml出错！")], boxes, f"{what}: message boxes")
            check(not os.path.exists(os.path.join(case_root, "evil.dll")),
                  f"{what}: nothing written outside")
            check(not inst.exists("SpecialCpy.bat"), f"{what}: no batch file")
            check_equal(["/update/xml/LastUpdateFiles.xml"],
                        [uri for method, uri, status, size in rig.requests()],
                        f"{what}: only the manifest was fetched")


def signed_release_updates_to_identical(root):
    signer = Signer(os.path.join(root, "publisher"))
    release = Release(root)
    release.add("\\Plaza.dat", b"plaza data v2")
    release.add("\\Quorle.dll", b"rank library v2", special=1)
    release.add("\\斗地主.exe", b"game v2", game="斗地主")
    release.publish(games=["斗地主"], signer=signer, sequence=5)
    with NginxRig(release.root) as rig:
        inst = installation(root, rig.base_url, rig.base_url, key=signer.public)
        inst.write("Plaza.dat", b"plaza data v1")
        inst.write("斗地主.exe", b"game v1")
        rc, boxes = boxes_of(inst, timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "exit code")
        check_equal([], boxes, "message boxes")
        wait_for(lambda: not inst.exists("SpecialCpy.bat"), "SpecialCpy.bat to finish")
        check_equal(b"plaza data v2", inst.read("Plaza.dat"), "ordinary file replaced")
        check_equal(b"rank library v2", inst.read("Quorle.dll"), "special file moved")
        check(f"更新列表签名验证通过(LastUpdateFiles.xml)(序号5，有效期至{EXPIRES})"
              in inst.log(), f"verification logged: {inst.log()}")
        check_equal(b"LastUpdateFiles.xml 5 " + signer.fingerprint() + b"\r\n",
                    inst.read("DownLoad\\SignedSequence.txt"), "sequence kept under its key")

        rc, boxes = boxes_of(inst, "-gamename:斗地主", timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "game: exit code")
        check_equal([], boxes, "game: message boxes")
        check_equal(b"game v2", inst.read("斗地主.exe"), "game file replaced")
        sigs = sorted(uri for method, uri, status, size in rig.requests() if uri.endswith(".sig"))
        check_equal(2, len(sigs), f"each manifest's .sig fetched once: {sigs}")

        # A cut run of an older release left its batch file and a special file
        # this release no longer names: removed, not run, and the plaza starts.
        inst.write("DownLoad\\Special\\Withdrawn.dll", b"withdrawn")
        inst.write("SpecialCpy.bat",
                   b'echo f | xcopy "%~dp0DownLoad\\Special\\Withdrawn.dll" '
                   b'"%~dp0\\Withdrawn.dll" /s /h /c /y\r\n'
                   b'Start "" "%~dp0ZIVGame.exe" -u\r\ndel /f %0\r\n')
        rc, boxes = boxes_of(inst, timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "stale batch file: exit code")
        check_equal([], boxes, "stale batch file: message boxes")
        check("删除上次未完成的特殊文件和SpecialCpy.bat(1)" in inst.log(), f"logged: {inst.log()}")
        check_equal(["运行大厅(" + inst.windows("ZIVGame.exe") + " -u)", "更新完成！"],
                    inst.log()[-2:], "stale batch file: the plaza started itself")
        check(not inst.exists("SpecialCpy.bat"), "stale batch file removed")
        check(not inst.exists("DownLoad\\Special\\Withdrawn.dll"), "stale staged file removed")
        check(not inst.exists("Withdrawn.dll"), "the withdrawn file was never installed")

        # Rotation: a release signed with the current key brings a plaza
        # information file that also names an offline key; the offline key
        # then signs, at a lower sequence than a record the first key's thief
        # could have left, and is accepted.
        offline = Signer(os.path.join(root, "offline"))
        rotated = plaza_info(server=rig.base_url + "/%s", reserve=rig.base_url + "/%s").replace(
            "<Server ", f'<Server updatePublicKey="{signer.public}" '
                        f'updatePublicKey2="{offline.public}" ')
        release.add("\\GamePlazaInfo.ziv", ziv_bytes(rotated))
        release.publish(games=["斗地主"], signer=signer, sequence=6)
        rc, boxes = boxes_of(inst, timeout=90)
        check_equal((EXIT_HANDED_OVER, []), (rc, boxes), "rotation: exit code and boxes")
        check_equal(ziv_bytes(rotated), inst.read("GamePlazaInfo.ziv"), "rotation: keys installed")
        inst.write("DownLoad\\SignedSequence.txt",
                   b"LastUpdateFiles.xml 999999999 " + signer.fingerprint() + b"\r\n")
        release.add("\\Rotated.dat", b"signed offline")
        release.publish(games=["斗地主"], signer=offline, sequence=3)
        rc, boxes = boxes_of(inst, timeout=90)
        check_equal((EXIT_HANDED_OVER, []), (rc, boxes), "offline key: exit code and boxes")
        check_equal(b"signed offline", inst.read("Rotated.dat"), "offline key: file installed")
        check(f"更新列表签名验证通过(LastUpdateFiles.xml)(序号3，有效期至{EXPIRES}，备用公钥)"
              in inst.log(), f"offline key: verification logged: {inst.log()}")


def refused_signed_manifests_change_nothing(root):
    signer = Signer(os.path.join(root, "publisher"))
    stranger = Signer(os.path.join(root, "stranger"))
    release = Release(root)
    release.add("\\Plaza.dat", b"plaza data v2")
    xml = os.path.join(release.root, "update", "xml")
    manifest = os.path.join(xml, "LastUpdateFiles.xml")

    def altered():
        data = bytearray(open(manifest, "rb").read())
        data[data.index(b'date="') + 6] ^= 0x01  # one byte of the file's digest
        open(manifest, "wb").write(bytes(data))

    def served_as(name, other):
        """A mirror answers a request for `other` with the manifest `name` and its .sig."""
        def spoil():
            for suffix in ("", ".sig"):
                shutil.copyfile(os.path.join(xml, name + suffix), os.path.join(xml, other + suffix))
        return spoil

    # Each case publishes, then spoils the release the way a mirror could; a
    # case with a game updates that game.
    cases = [
        ("one byte altered", dict(sequence=7), altered, "签名无效", None),
        ("missing .sig", dict(sequence=7), lambda: os.remove(manifest + ".sig"), "缺少签名文件",
         None),
        ("another key's .sig", dict(sequence=7, signer=stranger), None, "签名无效", None),
        ("expired", dict(sequence=7, expires="2020-01-01T00:00:00Z"), None,
         "已过期(2020-01-01T00:00:00Z)", None),
        ("rolled back", dict(sequence=6), None, "版本回退(6<7)", None),
        ("an older plaza manifest at a game's path", dict(sequence=6),
         served_as("LastUpdateFiles.xml", "G_UpdateFiles.xml"),
         "更新列表名称不符(LastUpdateFiles.xml)", "G"),
        ("another game's current manifest at a game's path", dict(sequence=7),
         served_as("H_UpdateFiles.xml", "G_UpdateFiles.xml"),
         "更新列表名称不符(H_UpdateFiles.xml)", "G"),
        # Read as empty, it would be rewritten with one record and every
        # other manifest's rollback forgotten.
        ("a sequence record that cannot be read", dict(sequence=7),
         lambda: inst.write("DownLoad\\SignedSequence.txt",
                            b"LastUpdateFiles.xml 9\r\n" + b"#" * 65536),
         "无法读取版本序号记录", None),
    ]
    with NginxRig(release.root) as rig:
        inst = installation(root, rig.base_url, rig.base_url, key=signer.public)
        inst.write("Plaza.dat", b"plaza data v1")
        # Sequence 7 is accepted once (nothing to fetch on that run), so 6 is a rollback.
        inst.write("DownLoad\\SignedSequence.txt", b"LastUpdateFiles.xml 7\r\n")
        plaza = start(inst.path("ZIVGame.exe"), cwd=inst.folder)
        wait_for(lambda: inst.plaza_log(), "the plaza to start")
        for what, publish, spoil, reason, game in cases:
            release.publish(**dict(dict(signer=signer, games=["G", "H"]), **publish))
            if spoil:
                spoil()
            seen = len(rig.requests())
            record = inst.read("DownLoad\\SignedSequence.txt")
            name = f"{game}_UpdateFiles.xml" if game else "LastUpdateFiles.xml"
            box = "打开" + inst.windows("DownLoad\\" + name) + "出错！" if game else name + "出错！"
            rc, boxes = boxes_of(inst, *([f"-gamename:{game}"] if game else []), timeout=90)
            check_equal(EXIT_QUIT, rc, f"{what}: exit code")
            check_equal([("Talvex", box)], boxes, f"{what}: message boxes")
            check_equal(f"更新列表签名验证失败({name})：" + reason, inst.log()[-1],
                        f"{what}: the last log line")
            uris = [uri for method, uri, status, size in rig.requests()[seen:]]
            check(all(uri.startswith("/update/xml/" + name) for uri in uris),
                  f"{what}: nothing but the manifest and its .sig fetched: {uris}")
            check(plaza.poll() is None, f"{what}: the running plaza was not ended")
            check_equal(b"plaza data v1", inst.read("Plaza.dat"), f"{what}: installation untouched")
            check_equal(record, inst.read("DownLoad\\SignedSequence.txt"),
                        f"{what}: kept sequence unchanged")

    # The same installation without a key updates from an unsigned server as before.
    plain = Release(os.path.join(root, "plain"))
    plain.add("\\Plaza.dat", b"plaza data v3")
    plain.publish()
    with NginxRig(plain.root) as rig:
        inst.write("GamePlazaInfo.ziv", ziv_bytes(plaza_info(server=rig.base_url + "/%s",
                                                             reserve=rig.base_url + "/%s")))
        rc, boxes = boxes_of(inst, timeout=90)
        check_equal(EXIT_HANDED_OVER, rc, "without a key: exit code")
        check_equal([], boxes, "without a key: message boxes")
        check_equal(b"plaza data v3", inst.read("Plaza.dat"), "without a key: updated")
        check(not any(uri.endswith(".sig") for method, uri, status, size in rig.requests()),
              "without a key: no .sig asked for")


def https_update_with_the_test_authority_trusted(root):
    signer = Signer(os.path.join(root, "publisher"))
    authority, cert, key = make_authority(os.path.join(root, "tls"))
    release = Release(root)
    release.add("\\Plaza.dat", b"plaza data over https")
    release.add("\\子目录\\说明.txt", b"notes over https")
    release.publish(signer=signer, sequence=3)
    trustroot = os.path.join(BIN, "trustroot.exe")
    with NginxRig(release.root, ssl=(cert, key), url_host="localhost") as rig:
        inst = installation(root, rig.base_url, rig.base_url, key=signer.public, https_only=True)
        inst.write("Plaza.dat", b"plaza data v1")
        # Until the prefix trusts the authority, the engine refuses the server,
        # and with a key that is a manifest without its signature.
        rc, boxes = boxes_of(inst, timeout=120)
        check_equal(EXIT_QUIT, rc, "untrusted: exit code")
        check_equal("更新列表签名验证失败(LastUpdateFiles.xml)：缺少签名文件", inst.log()[-1],
                    "untrusted: the last log line")
        check_equal(b"plaza data v1", inst.read("Plaza.dat"), "untrusted: nothing installed")
        check_equal([], rig.requests(), "untrusted: no request got through")

        check_equal(0, run(trustroot, winpath(authority)), "trustroot adds the authority")
        try:
            rc, boxes = boxes_of(inst, timeout=120)
            check_equal(EXIT_HANDED_OVER, rc, "trusted: exit code")
            check_equal([], boxes, "trusted: message boxes")
            check_equal(b"plaza data over https", inst.read("Plaza.dat"), "file replaced")
            check_equal(b"notes over https", inst.read("子目录\\说明.txt"), "file added")
            check(f"更新列表签名验证通过(LastUpdateFiles.xml)(序号3，有效期至{EXPIRES})"
                  in inst.log(), f"verification logged: {inst.log()}")
            check(rig.base_url.startswith("https://localhost:"), rig.base_url)
        finally:
            check_equal(0, run(trustroot, "--remove", winpath(authority)),
                        "trustroot takes the authority out again")


SCENARIOS = {f.__name__: f for f in (
    plaza_update_end_to_end,
    game_update_end_to_end,
    reserve_server_serves_when_the_primary_is_down,
    a_wrong_digest_is_never_installed_or_started,
    unusable_served_manifests,
    signed_release_updates_to_identical,
    refused_signed_manifests_change_nothing,
    https_update_with_the_test_authority_trusted,
)}

if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
