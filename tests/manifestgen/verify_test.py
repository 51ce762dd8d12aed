#!/usr/bin/env python3
"""manifestgen verify against a release served by nginx on loopback: it passes
on what was published, and names each file changed or missing on the server,
a name the server does not hold in code page 936, a manifest whose signature
fails and one that has expired.

    verify_test.py MANIFESTGEN SOURCE_DIR
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

MANIFESTGEN, SOURCE = sys.argv[1], pathlib.Path(sys.argv[2])
sys.path.insert(0, str(SOURCE / "tests" / "support"))
from nginx_rig import NginxRig  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAIL {what}", flush=True)


def tool(*args):
    return subprocess.run([MANIFESTGEN, *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def serve(release, client):
    """The server keeps every name as its code page 936 bytes, as the updater asks."""
    for path in sorted(release.rglob("*")):
        if path.is_file():
            target = os.path.join(os.fsencode(client),
                                  path.relative_to(release).as_posix().encode("cp936"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(path, target)


def main():
    with tempfile.TemporaryDirectory(prefix="manifestgen-verify-") as tmp:
        tmp = pathlib.Path(tmp)
        release, server = tmp / "release", tmp / "server"
        files = {"ZIVGame.exe": b"plaza", "res/a.dat": b"aaaa", "res/公告.txt": b"notice",
                 "Chess.exe": b"chess", "Chess/棋盘.dat": b"board",
                 "res/big.pak": bytes(range(256)) * 6000}
        for name, data in files.items():
            (release / name).parent.mkdir(parents=True, exist_ok=True)
            (release / name).write_bytes(data)
        check(tool("keygen", "--out", tmp / "k").returncode == 0, "keygen")
        check(tool("keygen", "--out", tmp / "other").returncode == 0, "keygen of another key")
        publish = ["--release", release, "--out", server / "xml", "--game", "Chess", "--quiet",
                   "--sign-key", tmp / "k.pem", "--chunk-index", server / "client"]
        check(tool(*publish).returncode == 0, "publish")
        serve(release, server / "client")

        with NginxRig(server) as rig:
            verify = ["verify", "--server", rig.base_url + "/%s", "--xml-path", "xml",
                      "--client-path", "client", "--key", tmp / "k.pub"]
            run = tool(*verify)
            check(run.returncode == 0, f"a clean release passes: {run.stdout}{run.stderr}")
            check("6 file(s) checked, 0 problem(s)" in run.stdout and
                  "1 chunk index(es) match their files; 0 file(s)" in run.stdout,
                  f"clean summary: {run.stdout}")

            client = os.fsencode(server / "client")
            with open(os.path.join(client, b"res", b"a.dat"), "wb") as f:
                f.write(b"bbbb")  # same size, other bytes
            os.remove(os.path.join(client, b"ZIVGame.exe"))
            for index in (server / "client" / "res").glob("big.pak.*.cix"):
                index.write_bytes(index.read_bytes()[:-1] + b"?")
            # Stored under its UTF-8 bytes: the updater's request does not find it.
            notice = os.path.join(client, b"res", "公告.txt".encode("cp936"))
            os.rename(notice, os.path.join(client, b"res", "公告.txt".encode("utf-8")))
            other = tool("--release", release, "--out", tmp / "other-xml", "--game", "Chess",
                         "--quiet", "--sign-key", tmp / "other.pem")
            check(other.returncode == 0, "publish with the other key")
            shutil.copy(tmp / "other-xml" / "Chess_UpdateFiles.xml.sig",
                        server / "xml" / "Chess_UpdateFiles.xml.sig")
            run = tool(*verify)
            check(run.returncode == 1, f"differences give exit status 1: {run.returncode}")
            # "what  name: why" -> "what name"
            got = sorted(" ".join(line.split(":")[0].split()) for line in run.stdout.splitlines()
                         if "problem(s)" not in line and not line.startswith("signed")
                         and "chunk index(es)" not in line)
            want = sorted(["bad signature Chess_UpdateFiles.xml", "missing \\ZIVGame.exe",
                           "missing \\res\\公告.txt", "wrong digest \\res\\a.dat",
                           "wrong chunk index \\res\\big.pak"])
            check(got == want, f"problems named: {got}\n  output: {run.stdout}")
            check("6 file(s) checked, 5 problem(s)" in run.stdout, f"summary: {run.stdout}")

            check(tool(*publish, "--expires", "2020-01-01T00:00:00Z").returncode == 0,
                  "publish an expired release")
            run = tool(*verify)
            expired = [line for line in run.stdout.splitlines() if line.startswith("expired")]
            check(run.returncode == 1 and len(expired) == 2,
                  f"both manifests expired: {run.stdout}")

            unsigned = tool(*verify[:-2])
            check("signed" not in unsigned.stdout and "expired" not in unsigned.stdout,
                  f"without --key signatures are not looked at: {unsigned.stdout}")
            check(tool("verify", "--server", "http://h/%s%s", "--xml-path", "x",
                       "--client-path", "c").returncode == 2, "a bad --server is a usage error")
    print("PASS" if not failures else f"{len(failures)} check(s) failed", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
