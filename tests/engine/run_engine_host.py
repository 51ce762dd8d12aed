#!/usr/bin/env python3
"""Runs engine_host_test.exe under Wine against real servers.

Starts nginx (nginx_rig, once over HTTP and once over HTTPS with a
self-signed certificate for "localhost") and the fault server on loopback
(over HTTP, and over HTTPS with a certificate of an authority of this run),
holds a port that refuses connections, lays out the served files, and passes
their addresses and folders to the Windows test program through its
environment. For the program's run the authority is trusted in the tree's
own Wine prefix (trustroot.exe adds it, and takes it out again afterwards);
the self-signed certificate stays of no known authority. Extra arguments go
to the test program (e.g. --gtest_filter=...). Exit code: the test
program's, or 1 when the authority could not be taken out.
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
from nginx_rig import NginxRig, make_authority  # noqa: E402

SOURCE = pathlib.Path(os.environ.get("SUITE_SOURCE", HERE.parents[1]))
BIN = pathlib.Path(os.environ.get("SUITE_BIN", SOURCE / "build" / "windows" / "bin"))
# A prefix of the test's own, named so that trustroot and the test program
# meet in it whatever WINEPREFIX the caller has set: the authority it trusts
# for a while must not reach the tree's other programs, which run beside it.
PREFIX = pathlib.Path(os.environ.get("SUITE_BUILD", BIN.parent)) / "wineprefix-engine-host"


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
        authority, trusted_cert, trusted_key = make_authority(str(tmp / "authority"))
        with NginxRig(root) as nginx, RefusedPort() as refused, \
                FaultServer(root, tls=(trusted_cert, trusted_key)) as fault, \
                NginxRig(root, ssl=(cert, key), url_host="localhost") as secure:
            env = dict(os.environ)
            for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                         "ALL_PROXY"):
                env.pop(name, None)
            env.update({
                "WINEPREFIX": str(PREFIX),
                "PELLOW_NGINX": nginx.base_url,
                "PELLOW_FAULT": fault.base_url,
                "PELLOW_FAULT_TLS": fault.tls_base_url,
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
            wine_run = str(SOURCE / "scripts" / "wine-run")
            trustroot = [wine_run, str(BIN / "trustroot.exe")]
            # The first program of a new prefix waits for wineboot to make it.
            subprocess.run(trustroot + [windows_path(authority)], env=env, check=True, timeout=300)
            try:
                cmd = [wine_run, str(BIN / "engine_host_test.exe"), "--gtest_color=no",
                       *sys.argv[1:]]
                rc = subprocess.run(cmd, env=env, cwd=str(BIN), timeout=800).returncode
            finally:
                # trustroot reads the store back: 0 only once the authority is gone.
                removed = subprocess.run(trustroot + ["--remove", windows_path(authority)],
                                         env=env, timeout=120).returncode
            if removed != 0:
                print("run_engine_host: the test authority may still be in %s" % PREFIX)
                return 1
            return rc


if __name__ == "__main__":
    sys.exit(main())
