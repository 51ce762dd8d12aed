#!/usr/bin/env python3
"""Drives the zivtool program through its command line.

    zivtool_test.py [RUNNER...] ZIVTOOL

RUNNER (e.g. scripts/wine-run) is put before the program, so the same checks run against the
native tool and, under Wine, against zivtool.exe. Files are named relative to a scratch
folder that is the tool's current directory.
"""
import os
import subprocess
import sys
import tempfile

MAGIC = b"ZIV\x1a"
PLAZA_XML = (
    '<?xml version="1.0" encoding="gb2312"?>\r\n'
    '<GamePlazaInfo isEnableUpdate="1" name="游戏广场">\r\n'
    '    <Server updateGameUrl="http://update.example.com/更新/" '
    'updateGameUrlReserve="http://backup.example.com/"/>\r\n'
    "</GamePlazaInfo>\r\n"
).encode("cp936")

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def main():
    command = sys.argv[1:]
    if not command:
        print(__doc__)
        return 2
    if os.path.basename(command[0]) != "wine-run":
        return run_checks(command)
    # One display for all runs of the Windows program, instead of one per run.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
    from display import Display
    with Display():
        return run_checks(command)


def run_checks(command):
    work = tempfile.mkdtemp(prefix="zivtool-test-")

    def run(*args):
        result = subprocess.run(command + list(args), cwd=work, capture_output=True, timeout=300)
        return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace")

    def path(name):
        return os.path.join(work, name)

    def write(name, data):
        with open(path(name), "wb") as f:
            f.write(data)

    def read(name):
        try:
            with open(path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    # Usage.
    rc, out, _ = run("--help")
    check(rc == 0 and b"zivtool encode IN.xml OUT.ziv" in out, "--help prints the usage, exit 0")
    for args in ([], ["frob"], ["encode", "a.xml"], ["encode", "a", "b", "c"], ["decode"],
                 ["decode", "a", "b", "c"]):
        rc, _, err = run(*args)
        check(rc == 2 and "usage:" in err, "usage error for %r gives exit 2" % (args,))

    # Round trip, with Chinese text and a Chinese file name.
    write("plaza.xml", PLAZA_XML)
    for ziv in ("GamePlazaInfo.ziv", "广场信息.ziv"):
        rc, _, err = run("encode", "plaza.xml", ziv)
        data = read(ziv)
        check(rc == 0 and data is not None and data.startswith(MAGIC) and PLAZA_XML[:20] not in data,
              "encode %s: exit 0, enciphered .ziv written (%s)" % (ziv, err.strip()))
        rc, _, _ = run("decode", ziv, "back.xml")
        check(rc == 0 and read("back.xml") == PLAZA_XML, "decode %s to a file gives the same bytes" % ziv)
        rc, out, _ = run("decode", ziv)
        check(rc == 0 and out == PLAZA_XML, "decode %s to standard output gives the same bytes" % ziv)

    # Encoding over an existing file replaces it.
    write("second.xml", b"<a/>\n")
    rc, _, _ = run("encode", "second.xml", "GamePlazaInfo.ziv")
    rc2, out, _ = run("decode", "GamePlazaInfo.ziv")
    check(rc == 0 and rc2 == 0 and out == b"<a/>\n", "encode replaces an existing output file")

    # Bad input: exit 1, a clear message, and an existing output file left untouched.
    good = read("GamePlazaInfo.ziv")
    write("empty.ziv", b"")
    write("truncated.ziv", good[:-1])
    write("damaged.ziv", good[:-1] + bytes([good[-1] ^ 0x20]))
    write("short.ziv", good[:10])
    write("notxml.xml", "未闭合 <a>".encode("cp936"))
    write("empty.xml", b"")
    cases = [
        (["encode", "missing.xml", "keep.out"], "cannot read"),
        (["encode", "notxml.xml", "keep.out"], "not well-formed XML"),
        (["encode", "empty.xml", "keep.out"], "not well-formed XML"),
        (["decode", "missing.ziv", "keep.out"], "cannot be read"),
        (["decode", "plaza.xml", "keep.out"], "not a .ziv file"),
        (["decode", "empty.ziv", "keep.out"], "empty"),
        (["decode", "truncated.ziv", "keep.out"], "truncated"),
        (["decode", "short.ziv", "keep.out"], "truncated"),
        (["decode", "damaged.ziv", "keep.out"], "damaged"),
        (["decode", "plaza.xml"], "not a .ziv file"),
        (["encode", "plaza.xml", os.path.join("no-such-folder", "x.ziv")], "cannot write"),
        (["decode", "GamePlazaInfo.ziv", os.path.join("no-such-folder", "x.xml")], "cannot write"),
    ]
    for args, message in cases:
        write("keep.out", b"previous")
        rc, out, err = run(*args)
        check(rc == 1 and message in err and out == b"" and read("keep.out") == b"previous",
              "%r: exit 1, says %r, output untouched (got %d, %r)" % (args, message, rc, err.strip()))

    leftovers = [n for n in os.listdir(work) if ".tmp" in n]
    check(not leftovers, "no temporary files left behind %r" % leftovers)

    for name in os.listdir(work):
        os.remove(path(name))
    os.rmdir(work)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
