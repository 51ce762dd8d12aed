#!/usr/bin/env python3
"""Runs engine_host_test.exe under Wine against real servers.

Starts nginx (nginx_rig, once over HTTP and once over HTTPS with a
self-signed certificate for "localhost") and the fault server on loopback, holds a port that
refuses connections, lays out the served files, and passes their addresses
and folders to the Windows test program through its environment. Extra
arguments go to the test program (e.g. --gtest_filter=...). Exit code: the
test program's.
"""

import hashlib
import os
import pathlib
import random
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))

from fault_server import FaultServer, RefusedPort  # noqa: E402
from nginx_rig import NginxRig  # noqa: E402

SOURCE = pathlib.Path(os.environ.get("SUITE_SOURCE", HERE.parents[1]))
BIN = pathlib.Path(os.environ.get("SUITE_BIN", SOURCE / "build" / "windows" / "bin"))


def windows_path(path):
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def lay_out(root):
    rnd = random.Random(20261207)
    (root / "LastUpdateFiles.xml").write_bytes(
        b'<?xml version="1.0" encoding="gb2312"?>\n<update><files/><games/></update>\n')
    (root / "game_UpdateFiles.xml").write_bytes(b"<update><files/></update>\n")
    (root / "good.bin").write_bytes(rnd.randbytes(200 * 1024))
    (root / "short.bin").write_bytes(rnd.randbytes(16 * 1024))
    batch = root / "batch"
    lines = []
    for i in range(200):
        name = "f%03d.bin" % i if i % 3 else "d%d/f%03d.bin" % (i % 7, i)
        size = 0 if i == 17 else rnd.randrange(1, 40 * 1024)
        data = rnd.randbytes(size)
        (batch / name).parent.mkdir(parents=True, exist_ok=True)
        (batch / name).write_bytes(data)
        lines.append("%s %s\n" % (name, hashlib.md5(data).hexdigest()))
    (batch / "index.txt").write_text("".join(lines))
    big = root / "big"
    big.mkdir()
    for i in range(8):
        (big / ("big%d.bin" % i)).write_bytes(os.urandom(8 * 1024 * 1024))


def make_certificate(folder):
    """A self-signed certificate for "localhost" (it is its own authority)."""
    cert, key = folder / "localhost.pem", folder / "localhost.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                    "-keyout", str(key), "-out", str(cert), "-days", "2",
                    "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                    "-addext", "basicConstraints=critical,CA:TRUE"],
                   check=True, capture_output=True)
    return cert, key


def main():
    with tempfile.TemporaryDirectory(prefix="pellowd-host-") as tmp:
        tmp = pathlib.Path(tmp)
        root, work = tmp / "root", tmp / "work"
        root.mkdir()
        work.mkdir()
        lay_out(root)
        cert, key = make_certificate(tmp)
        with NginxRig(root) as nginx, FaultServer(root) as fault, RefusedPort() as refused, \
                NginxRig(root, ssl=(cert, key), url_host="localhost") as secure:
            env = dict(os.environ)
            for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                         "ALL_PROXY"):
                env.pop(name, None)
            env.update({
                "PELLOW_NGINX": nginx.base_url,
                "PELLOW_FAULT": fault.base_url,
                "PELLOW_REFUSED": refused.base_url,
                "PELLOW_HTTPS": secure.base_url,
                "PELLOW_ROOT": windows_path(root),
                "PELLOW_WORK": windows_path(work),
                "PELLOWD_TIMEOUT_MS": "2000",
                # Under 1 KiB/s for 2 s is too slow; no body may take more than
                # 20 s beyond its length at that rate; no file over 12 MiB.
                "PELLOWD_WINDOW_MS": "2000",
                "PELLOWD_MIN_RATE": "1024",
                "PELLOWD_DEADLINE_MS": "20000",
                "PELLOWD_MAX_FILE_BYTES": str(12 * 1024 * 1024),
            })
            cmd = [str(SOURCE / "scripts" / "wine-run"), str(BIN / "engine_host_test.exe"),
                   "--gtest_color=no", *sys.argv[1:]]
            return subprocess.run(cmd, env=env, cwd=str(BIN), timeout=800).returncode


if __name__ == "__main__":
    sys.exit(main())
