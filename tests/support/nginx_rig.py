"""Start and stop a private nginx for tests and benchmarks.

nginx runs as the current user on a free loopback port, with its own
configuration, pid file, logs and temporary folders in a private directory,
serving a given root folder read-only. Nothing outside that directory is
touched, so several rigs (and several engineers) can run side by side.

    from nginx_rig import NginxRig

    with NginxRig("/tmp/release") as rig:
        url = rig.url("/LastUpdateFiles.xml")   # http://127.0.0.1:PORT/LastUpdateFiles.xml
        ...                                      # run the Windows program against url
        print(rig.requests())                    # [("GET", "/LastUpdateFiles.xml", 200, 1234)]

NginxRig(root, host="127.0.0.1", port=None, workers=2, extra_http="", ssl=None,
         url_host=None, log_connections=False)
    root        folder served as "/" (must exist; files are read at request time)
    port        fixed port, or None for a free one (chosen at start; retried
                when another process takes it first)
    workers     nginx worker processes
    extra_http  text added inside the http block (e.g. "gzip on;")
    ssl         (certificate file, key file): serve HTTPS instead of HTTP
    url_host    host name used in base_url/url() (e.g. "localhost" to match a
                certificate); the listening address stays `host`
    log_connections  also log each request's connection ($connection) and its
                place on that connection ($connection_requests), for
                connections()

start() returns once nginx answers HTTP on the port (raises RuntimeError with
nginx's error log when it does not within 20 s); stop() ends it and waits for
it (safe to call twice). base_url is "http://HOST:PORT" (no trailing slash).
requests() reads the access log: one (method, uri, status, body bytes) tuple
per request, in completion order. connections() reads the same log (made
with log_connections=True): one (connection serial number, requests served on
it so far) tuple per request, in the same order, so that a caller can tell
whether its client kept connections alive; len(requests()) before and after a
run cuts out that run's part of either. keep=True on the constructor leaves
the private directory behind for inspection; it is removed otherwise.

make_authority(folder) makes a certificate authority of the run and a
certificate for "localhost" that it signed, for ssl= (a Wine prefix trusts
the authority once tests/support/trustroot adds it there).

Run as a script to serve a folder until interrupted:
    python3 tests/support/nginx_rig.py FOLDER [PORT]
"""

import grp
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PROBE = "/.nginx-rig-probe"  # readiness probe, left out of requests()
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


def _tls_client_hello():
    import ssl as _ssl
    ctx = _ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = _ssl.CERT_NONE
    inc, out = _ssl.MemoryBIO(), _ssl.MemoryBIO()
    obj = ctx.wrap_bio(inc, out, server_hostname="localhost")
    try:
        obj.do_handshake()
    except _ssl.SSLWantReadError:
        pass
    return out.read()


_TLS_PROBE = _tls_client_hello()


def free_port(host="127.0.0.1"):
    """A port nobody listens on right now (it may be taken before we bind it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def make_authority(folder):
    """A certificate authority of this run and a server certificate for
    "localhost" that it signed. Returns (authority, certificate, key)."""
    os.makedirs(folder, exist_ok=True)
    ca, ca_key = os.path.join(folder, "authority.pem"), os.path.join(folder, "authority.key")
    cert, key = os.path.join(folder, "localhost.pem"), os.path.join(folder, "localhost.key")
    csr, ext = os.path.join(folder, "localhost.csr"), os.path.join(folder, "localhost.ext")
    quiet = dict(check=True, capture_output=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                    "-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=suite test authority",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key,
                    "-out", csr, "-subj", "/CN=localhost"], **quiet)
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n")
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                    "-CAcreateserial", "-out", cert, "-days", "2", "-sha256", "-extfile", ext],
                   **quiet)
    return ca, cert, key


class NginxRig:
    def __init__(self, root, host="127.0.0.1", port=None, workers=2, extra_http="", keep=False,
                 ssl=None, url_host=None, log_connections=False):
        self.root = os.path.abspath(root)
        self.ssl = ssl
        self.url_host = url_host or host
        self.host = host
        self.port = port
        self.workers = workers
        self.extra_http = extra_http
        self.log_connections = log_connections
        self.keep = keep
        self.dir = None
        self.proc = None

    # -- life cycle -------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        if not os.path.isdir(self.root):
            raise RuntimeError("nginx_rig: no such folder: %s" % self.root)
        self.dir = tempfile.mkdtemp(prefix="nginx-rig-")
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.mkdir(os.path.join(self.dir, sub))
        fixed = self.port is not None
        last_error = ""
        for _ in range(1 if fixed else 5):
            port = self.port if fixed else free_port(self.host)
            self._write_conf(port)
            err = open(os.path.join(self.dir, "stderr.log"), "ab")
            self.proc = subprocess.Popen(
                [NGINX, "-p", self.dir + "/", "-c", os.path.join(self.dir, "nginx.conf"),
                 "-e", os.path.join(self.dir, "error.log")],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err)
            err.close()
            if self._wait_ready(port):
                self.port = port
                return self
            last_error = self._error_text()
            self._kill()
            if "Address already in use" not in last_error:
                break
        self.stop()
        raise RuntimeError("nginx_rig: nginx did not start:\n" + last_error)

    def stop(self):
        self._kill()
        if self.dir and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    # -- use --------------------------------------------------------------

    @property
    def base_url(self):
        return "%s://%s:%d" % ("https" if self.ssl else "http", self.url_host, self.port)

    def url(self, path):
        """The address of PATH (relative to root; a leading "/" is optional)."""
        return self.base_url + "/" + path.lstrip("/")

    def requests(self):
        """(method, uri, status, body bytes) per request served so far."""
        return [entry[:4] for entry in self._log_entries()]

    def connections(self):
        """(connection serial number, requests served on it so far) per
        request served so far; needs log_connections=True."""
        if not self.log_connections:
            raise RuntimeError("nginx_rig: connections() needs log_connections=True")
        return [entry[4:] for entry in self._log_entries()]

    # -- inside -----------------------------------------------------------

    def _log_entries(self):
        out = []
        path = os.path.join(self.dir, "access.log")
        if not os.path.exists(path):
            return out
        fields = 6 if self.log_connections else 4
        with open(path, encoding="latin-1") as f:
            for line in f:
                parts = line.rstrip("\n").split(" ")
                if len(parts) == fields and parts[1] != PROBE:
                    out.append((parts[0], parts[1]) + tuple(int(p) for p in parts[2:]))
        return out

    def _write_conf(self, port):
        d = self.dir
        user = ""
        if os.geteuid() == 0:
            # A root master would hand the workers to "nobody", who cannot read
            # a private (0700) test folder; keep them as the current user.
            user = "user %s %s;" % (pwd.getpwuid(os.getuid()).pw_name,
                                    grp.getgrgid(os.getgid()).gr_name)
        conf = """
{user}
worker_processes {workers};
pid {d}/nginx.pid;
error_log {d}/error.log warn;
daemon off;
events {{ worker_connections 1024; }}
http {{
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    server_tokens off;
    keepalive_requests 100000;
    keepalive_timeout 65;
    log_format suite '$request_method $uri $status $body_bytes_sent{conn_fields}';
    access_log {d}/access.log suite;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    {extra}
    server {{
        listen {host}:{port}{ssl_flag};
        {ssl_conf}
        root {root};
        location / {{ }}
    }}
}}
""".format(user=user, workers=self.workers, d=d, host=self.host, port=port,
           root=self.root, extra=self.extra_http,
           conn_fields=" $connection $connection_requests" if self.log_connections else "",
           ssl_flag=" ssl" if self.ssl else "",
           ssl_conf=("ssl_certificate %s; ssl_certificate_key %s;" % tuple(self.ssl))
           if self.ssl else "")
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(conf)

    def _wait_ready(self, port):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                with socket.create_connection((self.host, port), timeout=1) as s:
                    if self.ssl:
                        # A TLS port that accepts a connection and answers a
                        # hello with a handshake record is ready.
                        s.sendall(_TLS_PROBE)
                        if s.recv(1)[:1] in (b"\x16", b"\x15"):
                            return True
                        continue
                    s.sendall(b"HEAD " + PROBE.encode() + b" HTTP/1.0\r\nHost: rig\r\n\r\n")
                    if s.recv(16).startswith(b"HTTP/"):
                        return True
            except OSError:
                pass
            time.sleep(0.05)
        return False

    def _error_text(self):
        text = ""
        for name in ("stderr.log", "error.log"):
            p = os.path.join(self.dir or "", name)
            if os.path.exists(p):
                with open(p, errors="replace") as f:
                    text += f.read()
        return text

    def _kill(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)  # graceful: the master ends its workers
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
        self.proc = None


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: nginx_rig.py FOLDER [PORT]")
    rig = NginxRig(sys.argv[1], port=int(sys.argv[2]) if len(sys.argv) > 2 else None)
    with rig:
        print(rig.base_url, flush=True)
        try:
            signal.pause()
        except KeyboardInterrupt:
            pass
