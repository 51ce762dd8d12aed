"""A small HTTP/1.1 server of our own that misbehaves on purpose.

The first segment of the request path picks the behaviour; the rest names a
file under the served root folder:

    /ok/NAME       200 with the file and its Content-Length (404 when missing)
    /missing/NAME  404, whatever exists
    /error/NAME    500
    /cut/NAME      200 with the full Content-Length, then half the body (at
                   most cut_at bytes), then the connection is closed
    /wrong/NAME    200 with the right length but every byte inverted
    /stall/NAME    200 headers with the full length, then nothing: the
                   connection stays open until the server stops
    /flaky/NAME    the first request for NAME is cut like /cut, later ones
                   are served like /ok
    /chunked/NAME  200 with the file in chunks, no Content-Length, a clean end
    /endless/NAME  200 without Content-Length, then the file over and over
                   until the client goes away
    /hugelength/NAME  200 announcing 2**40 bytes, then the file, then a close
    /drip1/NAME    200 with the full length, then 1 byte a second
    /drip5k/NAME   200 with the full length, then 512 bytes every 0.1 s
    /html/NAME     200 with a small HTML page instead of the file
    /gzip/NAME     200 with the file gzip-compressed, Content-Encoding: gzip
                   and the compressed length (sent although nobody asked)
    /204/NAME      204 No Content
    /206/NAME      206 with the first half of the file and its Content-Range

With a "Range: bytes=A-B" header, /ok/ and a /flaky/ that has served NAME
once answer 206 with that range, as nginx does; a chunk index (a name ending
in ".cix") is served so under every mode below, which misbehave only for the
file itself when it is asked for a range (without one they serve it whole):

    /range200/NAME    200 with the whole file
    /rangeshift/NAME  206 with the range one byte further on, and its bytes
    /multipart/NAME   206 multipart/byteranges holding the range asked for
    /range416/NAME    416, whatever the range
    /rangeshort/NAME  206 with the right headers, then half the body and a close
    /rangeflip/NAME   206 with the right headers and every byte inverted
    /rangemoved/NAME  206 as asked, but each answer with another ETag: the
                      file changed on the server between two ranges
    /redirect-host/NAME    302 to /ok/NAME on this server under the name
                           "localhost" (another host, same loopback)
    /redirect-scheme/NAME  302 to ftp:// on this server
    /redirect-loop/NAME    302 to itself (a relative Location)
    /redirect-http/NAME    302 to /ok/NAME over plain HTTP on this server under
                           the name "localhost" (asked over TLS: from https
                           down to http, the same host and the right bytes)

    from fault_server import FaultServer, RefusedPort

    with FaultServer(root) as srv, RefusedPort() as dead:
        srv.url("cut", "a/b.bin")     # http://127.0.0.1:PORT/cut/a/b.bin
        dead.url("a/b.bin")           # connection refused
        srv.requests()                # ["/cut/a/b.bin", ...] in arrival order

FaultServer(root, cut_at=64*1024, tls=None). With tls=(certificate file, key
file) the same modes are served over TLS too, on a port of their own:
tls_base_url is "https://localhost:PORT" (the certificate's name). stop()
releases stalled connections and waits for the serving threads. RefusedPort
holds a bound loopback port that never listens, so connecting to it is
refused (and nobody else can take it).
"""

import gzip
import http.server
import os
import socket
import socketserver
import ssl
import threading
import urllib.parse


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # quiet: tests read requests() instead
        pass

    def do_GET(self):
        srv = self.server.owner
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        srv._record(path)
        parts = path.lstrip("/").split("/", 1)
        mode, name = parts[0], parts[1] if len(parts) > 1 else ""
        if mode == "missing":
            return self._status(404)
        if mode == "error":
            return self._status(500)
        body = srv._read(name)
        if body is None:
            return self._status(404)
        if mode == "flaky":
            mode = "ok" if srv._seen_before(name) else "cut"
        wanted = self._range(len(body))
        if wanted is not None and (mode == "ok" or name.endswith(".cix")):
            return self._partial(body, *wanted)
        if mode.startswith("range") or mode == "multipart":
            if wanted is None:
                return self._send(body, body)
            first, last = wanted
            if mode == "range416":
                return self._status(416)
            if mode == "rangeshift" and last + 1 < len(body):
                return self._partial(body, first + 1, last + 1)
            if mode == "multipart":
                return self._multipart(body, first, last)
            if mode == "rangeshort":
                return self._partial(body, first, last, cut=True)
            if mode == "rangeflip":
                return self._partial(body, first, last, flip=True)
            if mode == "rangemoved":
                return self._partial(body, first, last, etag='"v%d"' % len(srv.requests()))
            return self._send(body, body)  # range200
        if mode == "ok":
            return self._send(body, body)
        if mode == "wrong":
            return self._send(body, bytes(b ^ 0xFF for b in body))
        if mode == "cut":
            return self._send(body, body[:min(len(body) // 2, srv.cut_at)], close=True)
        if mode == "stall":
            self._headers(len(body))
            srv._stop.wait(120)
            self.close_connection = True
            return None
        if mode == "chunked":
            return self._chunked(body)
        if mode == "endless":
            return self._endless(body)
        if mode == "hugelength":
            self._headers(2 ** 40)
            return self._send_and_close(body)
        if mode in ("drip1", "drip5k"):
            size, pause = (1, 1.0) if mode == "drip1" else (512, 0.1)
            return self._drip(body, size, pause)
        if mode == "html":
            return self._page(b"<html><body>Please log in</body></html>\n")
        if mode == "gzip":
            packed = gzip.compress(body)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Encoding", "gzip")
            self.send_header("Content-Length", str(len(packed)))
            self.end_headers()
            self.wfile.write(packed)
            return None
        if mode == "204":
            self.send_response(204)
            self.end_headers()
            return None
        if mode == "206":
            half = body[:len(body) // 2]
            self.send_response(206)
            self.send_header("Content-Range", "bytes 0-%d/%d" % (len(half) - 1, len(body)))
            self.send_header("Content-Length", str(len(half)))
            self.end_headers()
            self.wfile.write(half)
            return None
        if mode.startswith("redirect-"):
            return self._redirect(mode, name)
        return self._status(404)

    def _range(self, size):
        """(first, last) of a single "bytes=A-B" or "bytes=A-" range inside
        the file, or None."""
        value = self.headers.get("Range", "")
        if not value.startswith("bytes=") or "," in value:
            return None
        first, _, last = value[6:].partition("-")
        try:
            first = int(first)
            last = int(last) if last else size - 1
        except ValueError:
            return None
        if first > last or first >= size:
            return None
        return first, min(last, size - 1)

    def _partial(self, body, first, last, cut=False, flip=False, etag='"v0"'):
        part = body[first:last + 1]
        if flip:
            part = bytes(b ^ 0xFF for b in part)
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))
        self.send_header("Content-Length", str(len(part)))
        self.send_header("ETag", etag)
        self.end_headers()
        self.wfile.write(part[:len(part) // 2] if cut else part)
        self.wfile.flush()
        if cut:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _multipart(self, body, first, last):
        page = (b"--SEP\r\nContent-Type: application/octet-stream\r\n"
                b"Content-Range: bytes %d-%d/%d\r\n\r\n" % (first, last, len(body)) +
                body[first:last + 1] + b"\r\n--SEP--\r\n")
        self.send_response(206)
        self.send_header("Content-Type", "multipart/byteranges; boundary=SEP")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def _redirect(self, mode, name):
        srv = self.server.owner
        target = {
            "redirect-host": "http://localhost:%d/ok/%s" % (srv.port, name),
            "redirect-scheme": "ftp://%s:%d/%s" % (srv.host, srv.port, name),
            "redirect-loop": "/redirect-loop/%s" % name,
            "redirect-http": "http://localhost:%d/ok/%s" % (srv.port, name),
        }.get(mode)
        if target is None:
            return self._status(404)
        self.send_response(302)
        self.send_header("Location", target)
        self.send_header("Content-Length", "0")
        self.end_headers()
        return None

    def _chunked(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for i in range(0, len(body), 4096):
            piece = body[i:i + 4096]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _endless(self, body):
        # Without a length the body ends only with the connection: it never does.
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = (body or b"x") * max(1, 65536 // max(1, len(body)))
        try:
            while not self.server.owner._stop.is_set():
                self.wfile.write(block)
        except OSError:
            pass  # the client gave up, as it should

    def _drip(self, body, size, pause):
        self._headers(len(body))
        self.close_connection = True
        try:
            for i in range(0, len(body), size):
                self.wfile.write(body[i:i + size])
                self.wfile.flush()
                if self.server.owner._stop.wait(pause):
                    return
        except OSError:
            pass

    def _send_and_close(self, body):
        self.close_connection = True
        try:
            self.wfile.write(body)
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _status(self, code):
        text = b"%d\n" % code
        self.send_response(code)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    def _headers(self, length):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.end_headers()
        self.wfile.flush()

    def _page(self, page):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def _send(self, full, sent, close=False):
        self._headers(len(full))
        self.wfile.write(sent)
        self.wfile.flush()
        if close:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    tls = None  # an ssl.SSLContext: connections are served over TLS

    def finish_request(self, request, client_address):
        if self.tls is None:
            return super().finish_request(request, client_address)
        # The handshake happens in the connection's own thread, so that a slow
        # or failing client holds up no other.
        try:
            secure = self.tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return None
        try:
            return super().finish_request(secure, client_address)
        finally:
            secure.close()  # it owns the connection now, not `request`


class FaultServer:
    def __init__(self, root, host="127.0.0.1", cut_at=64 * 1024, tls=None):
        self.root = os.path.abspath(root)
        self.host = host
        self.cut_at = cut_at
        self.tls = tls
        self._lock = threading.Lock()
        self._log = []
        self._served = set()
        self._stop = threading.Event()
        self._servers = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        self.port = self._serve(None)
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*self.tls)
            self.tls_port = self._serve(context)
        return self

    def _serve(self, context):
        httpd = _Server((self.host, 0), _Handler)
        httpd.owner = self
        httpd.tls = context
        thread = threading.Thread(target=httpd.serve_forever, daemon=True)
        thread.start()
        self._servers.append((httpd, thread))
        return httpd.server_address[1]

    def stop(self):
        self._stop.set()
        for httpd, thread in self._servers:
            httpd.shutdown()
            httpd.server_close()
            thread.join()
        self._servers = []

    @property
    def base_url(self):
        return "http://%s:%d" % (self.host, self.port)

    @property
    def tls_base_url(self):
        return "https://localhost:%d" % self.tls_port

    def url(self, mode, name):
        return "%s/%s/%s" % (self.base_url, mode, name.lstrip("/"))

    def requests(self):
        with self._lock:
            return list(self._log)

    def _record(self, path):
        with self._lock:
            self._log.append(path)

    def _seen_before(self, name):
        with self._lock:
            seen = name in self._served
            self._served.add(name)
            return seen

    def _read(self, name):
        full = os.path.normpath(os.path.join(self.root, name))
        if not full.startswith(self.root + os.sep) or not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()


class RefusedPort:
    def __init__(self, host="127.0.0.1"):
        self.host = host
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind((host, 0))  # bound, never listening: connects are refused
        self.port = self._sock.getsockname()[1]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        self._sock.close()

    @property
    def base_url(self):
        return "http://%s:%d" % (self.host, self.port)

    def url(self, name):
        return "%s/%s" % (self.base_url, name.lstrip("/"))
