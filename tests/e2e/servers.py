#!/usr/bin/env python3
"""HTTP servers on loopback for the tests: nginx serving a folder, and a
fault server for the answers nginx will not give.

In a test:
    with Nginx(root, 8780) as nginx:        # nginx.base_url, nginx.access_log()
    with FaultServer(8782) as fault:        # fault.base_url, fault.requests

For a ctest fixture (both servers, a generated file tree, and the two base
addresses in BUILD_DIR/test-env/servers.txt):
    servers.py start BUILD_DIR [--nginx-port N] [--fault-port N]
    servers.py stop BUILD_DIR
    servers.py fault PORT                   # the fault server, in the foreground

Every server listens on 127.0.0.1 only and ends by itself after TIME_LIMIT
seconds should nobody stop it. Started by root, nginx and the fixture's fault
server process run as nobody; nginx's root folder must then be world-readable.
"""
import argparse
import collections
import email.parser
import email.policy
import functools
import hashlib
import os
import pwd
import grp
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TIME_LIMIT = 3600
HOST = "127.0.0.1"
# Certificates name a host, never an address: https goes to this name.
TLS_HOST = "localhost"
BUILD = os.path.abspath(os.environ.get(
    "ZANSETUP_BUILD", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")))

# Last-Modified of the fault server's bodies unless a test names its own.
FIXED_DATE = "Tue, 05 Mar 2024 06:07:08 GMT"
FIXED_TIME = 1709618828  # the same instant as a Unix time


@functools.lru_cache(maxsize=8)
def pattern(size):
    """Deterministic bytes whose period (251) does not divide the 4 KiB read
    size, with a step every 4096 bytes, so a lost, doubled or swapped piece
    shows. tests/unit/http_fetch_test.cpp computes the same bytes."""
    return bytes((i * 31 + (i >> 12)) % 251 for i in range(size))


def _unprivileged():
    """Popen arguments that drop root to nobody; nothing for other users."""
    if os.geteuid() != 0:
        return {}
    return {"user": pwd.getpwnam("nobody").pw_uid, "group": grp.getgrnam("nogroup").gr_gid,
            "extra_groups": []}


def _python():
    """An interpreter that nobody may run (a per-user one under /root is not)."""
    if os.geteuid() == 0 and os.path.exists("/usr/bin/python3"):
        return "/usr/bin/python3"
    return sys.executable


def _check_readable_by_others(root):
    """nginx run as nobody must be able to reach and read the tree."""
    if os.geteuid() != 0:
        return
    path = os.path.abspath(root)
    if not os.stat(path).st_mode & 0o005 == 0o005:
        raise RuntimeError("nginx runs as nobody and cannot list %s: chmod o+rx it" % path)
    parent = os.path.dirname(path)
    while True:
        if not os.stat(parent).st_mode & 0o001:
            raise RuntimeError("nginx runs as nobody and cannot pass through %s: chmod o+x it" % parent)
        if parent == os.path.dirname(parent):
            break
        parent = os.path.dirname(parent)


def _port_open(port):
    try:
        with socket.create_connection((HOST, port), timeout=0.5):
            return True
    except OSError:
        return False


def _wait_listening(port, process, what, log_path=None, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if process.poll() is not None:
            detail = ""
            if log_path and os.path.exists(log_path):
                with open(log_path, errors="replace") as f:
                    detail = ": " + f.read().strip()
            raise RuntimeError("%s on port %d ended at its start%s" % (what, port, detail))
        if _port_open(port):
            return
        time.sleep(0.05)
    _kill_group(process.pid)
    raise RuntimeError("%s did not listen on port %d" % (what, port))


def _group_alive(pgid):
    """True while a process of the group still runs. A zombie does not count:
    a detached server's reaper may be slow to collect it."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            return True
    return False


def _kill_group(pgid):
    """Ends a process group we started and waits for it to go."""
    try:
        os.killpg(pgid, signal.SIGTERM)
    except (ProcessLookupError, PermissionError):
        return
    deadline = time.time() + 10
    while time.time() < deadline:
        if not _group_alive(pgid):
            return
        time.sleep(0.05)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class Served:
    """A server that a `with` block starts and stops."""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


AccessEntry = collections.namedtuple("AccessEntry", "request status body_bytes range if_range")

NGINX_CONFIG = """\
daemon off;
master_process off;
worker_processes 1;
pid "{folder}/nginx.pid";
error_log "{folder}/error.log" warn;
events {{ worker_connections 256; }}
http {{
    {mime_types}
    default_type application/octet-stream;
    # One tab-separated line per request; tests count the bytes served for
    # each Range to see what a resumed download fetched again.
    log_format ranges '$request\\t$status\\t$body_bytes_sent\\t$http_range\\t$http_if_range';
    access_log "{folder}/access.log" ranges;
    client_body_temp_path "{folder}/temp/body";
    proxy_temp_path "{folder}/temp/proxy";
    fastcgi_temp_path "{folder}/temp/fastcgi";
    uwsgi_temp_path "{folder}/temp/uwsgi";
    scgi_temp_path "{folder}/temp/scgi";
    sendfile on;
    keepalive_timeout 30;
    server {{
        {listen}
        server_name localhost;
        root "{root}";
        # Files under /slow/ trickle out, so a test can stop a download
        # half-way; a resuming client (it sends If-Range) gets them at full
        # speed, so the rest of the test does not wait.
        location /slow/ {{
            set $limit_rate 64k;
            if ($http_if_range) {{ set $limit_rate 0; }}
        }}
        {locations}
    }}
}}
"""


class Nginx(Served):
    """nginx serving `root` on 127.0.0.1:`port` as one process of ours, with
    its configuration, logs and temporary files in `folder` (by default
    BUILD/test-env/nginx-PORT), which stop() removes."""

    def __init__(self, root, port, folder=None, time_limit=TIME_LIMIT, locations="", tls=None,
                 https_port=None, build=None):
        """`locations`: further nginx location blocks, e.g. a path handed on
        to the fault server. `tls`: a certificate kind of tls.py; `port`
        then serves https with it. `https_port`: a further port that serves
        https beside a plain-http `port` (with the `tls` kind, by default
        the trusted one). The certificates are the test CA's of `build`."""
        self.build = os.path.abspath(build or BUILD)
        self.root = os.path.abspath(root)
        self.locations = locations
        self.port = int(port)
        self.tls = tls
        self.https_port = https_port
        # Each test module's servers keep their files apart (ctest names the
        # folder), since modules in networks of their own serve the same port.
        servers = os.environ.get("ZANSETUP_SERVER_FOLDER") or os.path.join(BUILD, "test-env")
        self.folder = os.path.abspath(folder or os.path.join(servers, "nginx-%d" % self.port))
        self.time_limit = time_limit
        self.process = None
        self._final_log = None

    @property
    def base_url(self):
        if self.tls and not self.https_port:
            return "https://%s:%d" % (TLS_HOST, self.port)
        return "http://%s:%d" % (HOST, self.port)

    @property
    def https_base_url(self):
        return "https://%s:%d" % (TLS_HOST, self.https_port) if self.https_port else None

    def _listen(self):
        """The listen lines, and the certificate for the https ones."""
        if not self.tls and not self.https_port:
            return "listen %s:%d;" % (HOST, self.port)
        import tls
        tls.ensure(self.build)
        certificate, key = tls.certificate(self.build, self.tls or "trusted")
        lines = ["listen %s:%d%s;" % (HOST, self.port, "" if self.https_port else " ssl")]
        if self.https_port:
            lines.append("listen %s:%d ssl;" % (HOST, self.https_port))
        lines += ['ssl_certificate "%s";' % certificate, 'ssl_certificate_key "%s";' % key]
        return "\n        ".join(lines)

    @property
    def access_log_path(self):
        return os.path.join(self.folder, "access.log")

    def start(self):
        for port in filter(None, (self.port, self.https_port)):
            if _port_open(port):
                raise RuntimeError("port %d is already in use" % port)
        _check_readable_by_others(self.root)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(os.path.join(self.folder, "temp"))
        config = os.path.join(self.folder, "nginx.conf")
        with open(config, "w") as f:
            mime = "/etc/nginx/mime.types"
            f.write(NGINX_CONFIG.format(folder=self.folder, root=self.root, listen=self._listen(),
                                        locations=self.locations,
                                        mime_types="include %s;" % mime if os.path.exists(mime) else ""))
        privileges = _unprivileged()
        if privileges:
            for path in (self.folder, os.path.join(self.folder, "temp")):
                os.chown(path, privileges["user"], privileges["group"])
        error_log = os.path.join(self.folder, "error.log")
        self.process = subprocess.Popen(
            ["timeout", str(self.time_limit), "nginx", "-p", self.folder, "-c", config, "-e", error_log],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, **privileges)
        for port in filter(None, (self.port, self.https_port)):
            _wait_listening(port, self.process, "nginx", error_log)
        self._final_log = None
        return self

    def stop(self):
        if self.process is not None:
            _kill_group(self.process.pid)
            self.process.wait()
            self.process = None
            self._final_log = self.access_log()
        shutil.rmtree(self.folder, ignore_errors=True)

    def access_log(self):
        """The requests served so far, oldest first (after stop(): all of them)."""
        if self.process is None and self._final_log is not None:
            return list(self._final_log)
        return read_access_log(self.access_log_path)


def read_access_log(path):
    entries = []
    if not os.path.exists(path):
        return entries
    with open(path, errors="replace") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 5:
                continue
            request, status, body_bytes, range_, if_range = parts
            entries.append(AccessEntry(request, int(status), int(body_bytes),
                                       None if range_ == "-" else range_,
                                       None if if_range == "-" else if_range))
    return entries


class FaultHandler(BaseHTTPRequestHandler):
    """Answers chosen by the path; see ROUTES. Every answer closes the
    connection, so no half-used connection is reused by the next request."""

    protocol_version = "HTTP/1.1"
    server_version = "ZanFault/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self._route(send_body=True)

    def do_HEAD(self):
        self._route(send_body=False)

    def do_POST(self):
        # Upload routes read the body themselves, at their own pace.
        first = urllib.parse.urlsplit(self.path).path.split("/")[1:2]
        if first and first[0] in STREAMED_BODY_ROUTES:
            self.request_body = None
        else:
            length = int(self.headers.get("Content-Length") or 0)
            self.request_body = self.rfile.read(length) if length else b""
        self._route(send_body=True)

    # -- helpers

    def _route(self, send_body):
        self.send_body = send_body
        url = urllib.parse.urlsplit(self.path)
        self.query = urllib.parse.parse_qs(url.query)
        parts = [urllib.parse.unquote(p) for p in url.path.split("/")[1:]]
        self.server.record(self.command, self.path, list(self.headers.items()))
        handler = ROUTES.get(parts[0] if parts else "")
        if handler is None:
            self._answer(404, b"no such fault\n")
            return
        try:
            handler(self, *parts[1:])
        except (TypeError, ValueError):
            self._answer(400, b"bad fault arguments\n")
        except OSError:
            pass  # the client went away

    def _answer(self, status, body, headers=(), honour_range=False, reason=None):
        """A whole answer; a single "bytes=a-b" Range is honoured on request."""
        content_range = None
        asked = self._asked_range(open_end=len(body) - 1) if honour_range and status == 200 else None
        if asked and asked[0] < len(body):
            start, end = asked[0], min(asked[1], len(body) - 1)
            content_range = "bytes %d-%d/%d" % (start, end, len(body))
            body = body[start:end + 1]
            status = 206
        self.send_response(status, reason)
        if content_range:
            self.send_header("Content-Range", content_range)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.send_body:
            self.wfile.write(body)
        self.close_connection = True

    def _head(self, status, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def _reset(self):
        """Drops the connection with a TCP reset rather than an orderly end."""
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    # -- faults, by the first segment of the path

    def status(self, code):
        self._answer(int(code), b"status " + code.encode() + b"\n", [("Content-Type", "text/plain")])

    def big(self, size):
        self._answer(200, pattern(int(size)), [("Last-Modified", FIXED_DATE)], honour_range=True)

    def ignore_range(self, size):
        self._answer(200, pattern(int(size)), [("Last-Modified", FIXED_DATE)])

    def lastmod(self, size):
        date = self.query.get("date", [FIXED_DATE])[0]
        self._answer(200, pattern(int(size)), [("Last-Modified", date)], honour_range=True)

    def nolastmod(self, size="1000"):
        self._answer(200, pattern(int(size)), honour_range=True)

    def empty(self):
        self._answer(200, b"", [("Last-Modified", FIXED_DATE)])

    def _asked_range(self, open_end=None):
        """(first, last) of a "bytes=a-b" Range header (of "bytes=a-" too,
        with `open_end` as b), or None."""
        value = self.headers.get("Range") or ""
        first, dash, last = value[6:].partition("-") if value.startswith("bytes=") else ("", "", "")
        if not last and open_end is not None:
            last = str(open_end)
        if not (dash and first.isdigit() and last.isdigit()):
            return None
        return int(first), int(last)

    def _range_of(self, data):
        """(first, last) of the asked range within `data`; None, having
        answered 200 with all of it, when no range was asked for."""
        asked = self._asked_range()
        if asked is None:
            self._answer(200, data, [("Last-Modified", FIXED_DATE)])
            return None
        return asked[0], min(asked[1], len(data) - 1)

    def _ranged(self, body, content_range):
        """206 with `body`, whatever its length, under `content_range`."""
        self._answer(206, body, [("Content-Range", content_range), ("Last-Modified", FIXED_DATE)])

    def block_fault(self, size, index, how):
        """Ranges of pattern(size) answered correctly (the 10-byte probe
        bytes=0-9 included), except the 100 KiB block `index` (or the probe,
        for index "probe"), which gets answer `how`: 200 (the whole body),
        304 (no body), long (the range and 4 KiB more), start (a Content-Range
        one byte late) or end (a Content-Range ending early, the whole range
        sent)."""
        size = int(size)
        data = pattern(size)
        asked = self._asked_range()
        if asked is None:
            self._answer(200, data, [("Last-Modified", FIXED_DATE)])
            return
        first, last = asked[0], min(asked[1], size - 1)
        is_probe = asked == (0, 9)
        if (index == "probe") != is_probe or (not is_probe and first // 102400 != int(index)):
            self._ranged(data[first:last + 1], "bytes %d-%d/%d" % (first, last, size))
        elif how == "200":
            self._answer(200, data, [("Last-Modified", FIXED_DATE)])
        elif how == "304":
            self._head(304, [("Content-Range", "bytes %d-%d/%d" % (first, last, size)),
                             ("Last-Modified", FIXED_DATE)])
        elif how == "long":
            extra = pattern(size + 8192)[first:last + 1 + 4096]
            self._ranged(extra, "bytes %d-%d/%d" % (first, last, size))
        elif how == "start":
            self._ranged(data[first:last + 1], "bytes %d-%d/%d" % (first + 1, last, size))
        elif how == "end":
            self._ranged(data[first:last + 1], "bytes %d-%d/%d" % (first, last - 1, size))
        else:
            raise ValueError(how)

    def range_total(self, size, total):
        """Ranges of pattern(size) honoured, with `total` as the text after
        the "/" of every Content-Range ("*" is legal HTTP: length unknown)."""
        data = pattern(int(size))
        asked = self._range_of(data)
        if asked is None:
            return
        first, last = asked
        self._ranged(data[first:last + 1], "bytes %d-%d/%s" % (first, last, total))

    def short(self, size="10000"):
        """Announces `size` bytes, sends half, and ends the connection in order."""
        size = int(size)
        self._head(200, [("Content-Length", str(size)), ("Last-Modified", FIXED_DATE)])
        if self.send_body:
            self.wfile.write(pattern(size)[:size // 2])

    def drop(self, size="200000"):
        """Announces `size` bytes, sends half, and resets the connection."""
        size = int(size)
        self._head(200, [("Content-Length", str(size)), ("Last-Modified", FIXED_DATE)])
        if self.send_body:
            self.wfile.write(pattern(size)[:size // 2])
        self._reset()

    def chunked(self, size="100000"):
        size = int(size)
        self._head(200, [("Transfer-Encoding", "chunked")])
        if self.send_body:
            data = pattern(size)
            for at in range(0, len(data), 8192):
                piece = data[at:at + 8192]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")

    def stall(self, seconds):
        """Sends nothing for `seconds`, then a small answer."""
        self.server.stopping.wait(float(seconds))
        self._answer(200, b"late\n")

    def stall_body(self, seconds, size="65536"):
        """Sends the headers and the first quarter, then nothing for `seconds`."""
        size = int(size)
        body = pattern(size)
        self._head(200, [("Content-Length", str(size))])
        if self.send_body:
            self.wfile.write(body[:size // 4])
            self.wfile.flush()
            self.server.stopping.wait(float(seconds))
            self.wfile.write(body[size // 4:])

    def gated(self, name):
        """A file the test registered (server.files), ranges honoured; no
        answer leaves before the test opens the gate (server.gate)."""
        if not self.server.gate.wait(120):
            self._answer(503, b"gate never opened\n")
            return
        self._answer(200, self.server.files[name], [("Last-Modified", FIXED_DATE)], honour_range=True)

    def charset(self, name, form="charset=%s"):
        """A page whose Content-Type names `name` in `form`; none without a name."""
        self._answer(200, b"<html></html>", [("Content-Type", "text/html; " + form % name)] if name else [])

    def long_headers(self, length):
        """Status text, Content-Type (charset last) and an extra header each
        `length` characters long."""
        pad = "a" * int(length)
        self._answer(200, b"long\n", [("Content-Type", "text/html; pad=%s; charset=gbk" % pad),
                                      ("X-Padding", pad), ("Last-Modified", FIXED_DATE)],
                     reason="OK " + pad)

    def echo_request(self, *_):
        """Request line (method and path), header lines, a blank line and
        the exact body bytes, as the body."""
        head = "%s %s\r\n" % (self.command, self.path)
        head += "".join("%s: %s\r\n" % (name, value) for name, value in self.headers.items())
        body = getattr(self, "request_body", None) or b""  # none for a GET
        self._answer(200, head.encode("latin-1", errors="replace") + b"\r\n" + body,
                     [("Content-Type", "application/octet-stream")])

    def multipart(self, *_):
        """What a standard multipart parser makes of the body, one line per
        fact, tab-separated, UTF-8:
            content-length N / received N / body-md5 HEX / boundary B
            text NAME VALUE / file NAME FILENAME SIZE MD5   (in body order)"""
        body = self.request_body or b""
        content_type = self.headers.get("Content-Type", "")
        lines = ["content-length\t%s" % self.headers.get("Content-Length"),
                 "received\t%d" % len(body), "body-md5\t%s" % hashlib.md5(body).hexdigest()]
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
        lines.append("boundary\t%s" % message.get_boundary())
        for part in message.iter_parts() if message.is_multipart() else ():
            # Raw UTF-8 in a header comes back as surrogate escapes.
            def text(value):
                return str(value).encode("utf-8", "surrogateescape").decode("utf-8", "replace")
            disposition = part.get("Content-Disposition")
            name = text(disposition.params.get("name"))
            data = part.get_payload(decode=True) or b""
            filename = disposition.params.get("filename")
            if filename is None:
                lines.append("text\t%s\t%s" % (name, data.decode("utf-8", "replace")))
            else:
                lines.append("file\t%s\t%s\t%d\t%s" % (name, text(filename), len(data),
                                                      hashlib.md5(data).hexdigest()))
        self._answer(200, ("\n".join(lines) + "\n").encode("utf-8"), [("Content-Type", "text/plain")])

    def _read_body(self, limit):
        """Reads up to `limit` more bytes of the request body; the count read
        (less when the client stopped sending)."""
        got = 0
        while got < limit:
            piece = self.rfile.read1(min(limit - got, 1 << 20))
            if not piece:
                break
            got += len(piece)
        return got

    def upload_hold(self, token, seconds):
        """Reads the first 64 KiB of the body, then stops reading (state
        "holding") for `seconds` or until /upload-release/TOKEN; then reads
        what remains and sets the state to "received N of M"."""
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        announced = int(self.headers.get("Content-Length") or 0)
        uploads = self.server.uploads
        release = uploads.setdefault(token + "/release", threading.Event())
        got = 0
        try:
            got = self._read_body(min(announced, 65536))
            uploads[token] = "holding"
            release.wait(float(seconds))
            got += self._read_body(announced - got)
        except OSError:
            pass
        finally:
            uploads[token] = "received %d of %d" % (got, announced)
        self._answer(200, uploads[token].encode())

    def upload_state(self, token):
        self._answer(200, self.server.uploads.get(token, "none").encode(), [("Content-Type", "text/plain")])

    def upload_release(self, token):
        self.server.uploads.setdefault(token + "/release", threading.Event()).set()
        self._answer(200, b"released\n")

    def upload_sink(self, *_):
        """Reads the announced body and throws it away: "received N of M".
        No digest: the sink must not be what limits a throughput figure."""
        announced = int(self.headers.get("Content-Length") or 0)
        got = self._read_body(announced)
        self._answer(200, b"received %d of %d\n" % (got, announced), [("Content-Type", "text/plain")])

    def recorded(self, token):
        """How many requests so far had `token` in their path."""
        count = sum(1 for _, path, _ in self.server.requests
                    if token in path and not path.startswith("/recorded/"))
        self._answer(200, b"%d\n" % count, [("Content-Type", "text/plain")])

    def ranges(self, token):
        """The Range headers of the requests so far with `token` in their
        path, one per line in arrival order ("-" for none)."""
        lines = [dict((k.lower(), v) for k, v in headers).get("range", "-")
                 for _, path, headers in self.server.requests if token in path and not path.startswith("/ranges/")]
        self._answer(200, "".join(line + "\n" for line in lines).encode(), [("Content-Type", "text/plain")])

    def cut_once(self, token, size):
        """Ranges of pattern(size) honoured; the first from the file's start
        over more than three 100 KiB blocks, of those with `token` in their
        path, is answered in full headers but ends after two and a half
        blocks."""
        data = pattern(int(size))
        asked = self._range_of(data)
        if asked is None:
            return
        first, last = asked
        body = data[first:last + 1]
        with self.server._lock:
            cut = first == 0 and len(body) > 3 * 102400 and token not in self.server.cut_tokens
            if cut:
                self.server.cut_tokens.add(token)
        headers = [("Content-Range", "bytes %d-%d/%d" % (first, last, len(data))), ("Last-Modified", FIXED_DATE),
                   ("Content-Length", str(len(body)))]
        self._head(206, headers)
        if self.send_body:
            self.wfile.write(body[:256000] if cut else body)

    def set_cookie(self, name, value):
        self._answer(200, b"cookie set\n", [("Set-Cookie", "%s=%s; Path=/" % (name, value))])

    def echo_headers(self):
        """The request's header lines as received, in order, as the body."""
        text = "".join("%s: %s\r\n" % (name, value) for name, value in self.headers.items())
        self._answer(200, text.encode("latin-1", errors="replace"), [("Content-Type", "text/plain")])


ROUTES = {
    "status": FaultHandler.status,              # /status/CODE
    "big": FaultHandler.big,                    # /big/N: N pattern bytes, ranges honoured
    "ignore-range": FaultHandler.ignore_range,  # /ignore-range/N: always 200 and the whole body
    "lastmod": FaultHandler.lastmod,            # /lastmod/N?date=HTTP-DATE
    "nolastmod": FaultHandler.nolastmod,        # /nolastmod[/N]: no Last-Modified, ranges honoured
    "empty": FaultHandler.empty,                # /empty: 200 with no body
    "block-fault": FaultHandler.block_fault,    # /block-fault/N/INDEX|probe/200|304|long|start|end
    "range-total": FaultHandler.range_total,    # /range-total/N/TOTAL-TEXT
    "short": FaultHandler.short,                # /short[/N]
    "drop": FaultHandler.drop,                  # /drop[/N]
    "chunked": FaultHandler.chunked,            # /chunked[/N]: a whole chunked body
    "stall": FaultHandler.stall,                # /stall/SECONDS
    "stall-body": FaultHandler.stall_body,      # /stall-body/SECONDS[/N]
    "gated": FaultHandler.gated,                # /gated/NAME: a registered file, after the gate
    "charset": FaultHandler.charset,            # /charset/NAME
    "charset-capital": lambda handler, name: handler.charset(name, "Charset=%s"),
    "charset-quoted": lambda handler, name: handler.charset(name, 'charset="%s"'),
    "no-content-type": lambda handler: handler.charset(None),
    "long-headers": FaultHandler.long_headers,  # /long-headers/LENGTH
    "echo-headers": FaultHandler.echo_headers,
    "echo-request": FaultHandler.echo_request,      # /echo-request[/...]: request line, headers, body
    "multipart": FaultHandler.multipart,            # /multipart[/...]: the parsed form, see there
    "upload-hold": FaultHandler.upload_hold,        # /upload-hold/TOKEN/SECONDS
    "upload-state": FaultHandler.upload_state,      # /upload-state/TOKEN
    "upload-release": FaultHandler.upload_release,  # /upload-release/TOKEN
    "upload-sink": FaultHandler.upload_sink,        # /upload-sink[/...]: body read and dropped
    "recorded": FaultHandler.recorded,              # /recorded/TOKEN: requests seen with TOKEN
    "set-cookie": FaultHandler.set_cookie,          # /set-cookie/NAME/VALUE
    "ranges": FaultHandler.ranges,                  # /ranges/TOKEN: Range headers of requests with TOKEN
    "cut-once": FaultHandler.cut_once,              # /cut-once/TOKEN/N: one long range cut after 2.5 blocks
}
STREAMED_BODY_ROUTES = {"upload-hold", "upload-sink"}


class _FaultHTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    # Closing waits for no handler: one may be holding an answer back for
    # minutes, and the process ends them all.
    block_on_close = False

    def __init__(self, port):
        super().__init__((HOST, port), FaultHandler)
        self.stopping = threading.Event()
        self.gate = threading.Event()
        self.files = {}
        self.uploads = {}
        self.requests = []
        self.cut_tokens = set()
        self._lock = threading.Lock()

    def record(self, method, path, headers):
        with self._lock:
            self.requests.append((method, path, headers))


class FaultServer(Served):
    """The fault server on 127.0.0.1:`port`, in threads of this process.
    `requests` lists (method, path, [(header, value)]) in arrival order."""

    def __init__(self, port, time_limit=TIME_LIMIT):
        self.port = int(port)
        self.time_limit = time_limit
        self._server = None
        self._timer = None

    @property
    def base_url(self):
        return "http://%s:%d" % (HOST, self.port)

    @property
    def requests(self):
        return list(self._server.requests) if self._server else []

    def add_file(self, name, data):
        """Serves `data` at /gated/NAME once open_gate() is called."""
        self._server.files[name] = data

    def open_gate(self):
        self._server.gate.set()

    def start(self):
        self._server = _FaultHTTPServer(self.port)
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        self._timer = threading.Timer(self.time_limit, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if self._timer is not None:
            self._timer.cancel()
        if server is not None:
            server.stopping.set()
            server.shutdown()
            server.server_close()

    def serve_until_signalled(self):
        self.start()
        done = threading.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, lambda *_: done.set())
        # Short sleeps: a signal does not end a long wait on an Event.
        deadline = time.time() + self.time_limit
        while not done.is_set() and time.time() < deadline:
            time.sleep(0.2)
        self.stop()


# -- the ctest fixture

def fixture_dir(build):
    return os.path.join(build, "test-env", "http-servers")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def make_test_tree(root):
    """Files the unit tests fetch from nginx, all with one known date."""
    os.makedirs(os.path.join(root, "sub"))
    files = {"small.txt": pattern(1000), "empty.bin": b"", "multi.bin": pattern(3 * 1024 * 1024 + 123),
             "sub/page.html": b"<html><body>sub</body></html>\n"}
    for name, data in files.items():
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (FIXED_TIME, FIXED_TIME))


# Redirects for the fixture's nginx: /to-http/PATH sends a request to PATH
# on the plain-http port, /to-https/PATH to PATH on the https port.
REDIRECTS = """
        location ~ ^/to-http/(.*)$ {{ return 302 http://{host}:{port}/$1; }}
        location ~ ^/to-https/(.*)$ {{ return 302 https://{tls_host}:{tls_port}/$1; }}"""


def fixture_start(build, nginx_port, fault_port, tls_port):
    fixture_stop(build, quiet=True)
    folder = fixture_dir(build)
    root = os.path.join(folder, "root")
    os.makedirs(folder)
    make_test_tree(root)
    pids = []
    started = False
    try:
        redirects = REDIRECTS.format(host=HOST, port=nginx_port, tls_host=TLS_HOST, tls_port=tls_port)
        nginx = Nginx(root, nginx_port, folder=os.path.join(folder, "nginx"), https_port=tls_port,
                      locations=redirects, build=build)
        nginx.start()
        pids.append(nginx.process.pid)
        if _port_open(fault_port):
            raise RuntimeError("port %d is already in use" % fault_port)
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        fault = subprocess.Popen(
            ["timeout", str(TIME_LIMIT), _python(), os.path.abspath(__file__), "fault", str(fault_port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, env=env, **_unprivileged())
        pids.append(fault.pid)
        _wait_listening(fault_port, fault, "fault server")
        started = True
    finally:
        with open(os.path.join(folder, "pids"), "w") as f:
            f.write("".join("%d\n" % pid for pid in pids))
        if not started:
            fixture_stop(build, quiet=True)
    with open(os.path.join(build, "test-env", "servers.txt"), "w", newline="\r\n") as f:
        f.write("nginx %s\n" % nginx.base_url)
        f.write("nginx_tls %s\n" % nginx.https_base_url)
        f.write("nginx_root %s\n" % windows_path(root))
        f.write("fault http://%s:%d\n" % (HOST, fault_port))
    print("nginx", nginx.base_url, nginx.https_base_url, "fault", "http://%s:%d" % (HOST, fault_port))


def fixture_stop(build, quiet=False):
    folder = fixture_dir(build)
    pid_file = os.path.join(folder, "pids")
    if os.path.exists(pid_file):
        with open(pid_file) as f:
            for line in f:
                if line.strip().isdigit():
                    _kill_group(int(line))
    shutil.rmtree(folder, ignore_errors=True)
    servers = os.path.join(build, "test-env", "servers.txt")
    if os.path.exists(servers):
        os.remove(servers)
    if not quiet:
        print("stopped")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    start = commands.add_parser("start")
    start.add_argument("build")
    start.add_argument("--nginx-port", type=int, default=8781)
    start.add_argument("--fault-port", type=int, default=8782)
    start.add_argument("--tls-port", type=int, default=8783)
    stop = commands.add_parser("stop")
    stop.add_argument("build")
    fault = commands.add_parser("fault")
    fault.add_argument("port", type=int)
    args = parser.parse_args()
    if args.command == "start":
        fixture_start(os.path.abspath(args.build), args.nginx_port, args.fault_port, args.tls_port)
    elif args.command == "stop":
        fixture_stop(os.path.abspath(args.build))
    else:
        FaultServer(args.port).serve_until_signalled()


if __name__ == "__main__":
    main()
