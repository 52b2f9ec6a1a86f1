#!/usr/bin/env python3
"""HTTP servers on loopback for the tests, each started and stopped by a `with` block: nginx serving a
folder (Nginx), and a fault server for the answers nginx will not give (FaultServer).

For a ctest fixture (both servers, a generated file tree, the addresses in BUILD_DIR/test-env/servers.txt):
    servers.py start BUILD_DIR [--nginx-port N] [--fault-port N] [--tls-port N]
    servers.py stop BUILD_DIR
    servers.py fault PORT                   # the fault server, in the foreground

Every server listens on 127.0.0.1 only and ends by itself after TIME_LIMIT seconds should nobody stop it.
Started by root, the server programs run as nobody; nginx's root folder must then be world-readable.
"""
import argparse
import collections
import contextlib
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
from pathlib import Path

import tls
from tls import HOST as TLS_HOST

TIME_LIMIT = 3600
HOST = "127.0.0.1"
BUILD = os.path.abspath(os.environ.get(
    "ZANSETUP_BUILD", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")))

# Last-Modified of the fault server's bodies unless a test names its own.
FIXED_DATE = "Tue, 05 Mar 2024 06:07:08 GMT"
FIXED_TIME = 1709618828  # the same instant as a Unix time


@functools.lru_cache(maxsize=8)
def pattern(size):
    """Deterministic bytes whose period (251) does not divide the 4 KiB read size, with a step every 4096
    bytes, so a lost, doubled or swapped piece shows. tests/unit/http_fetch_test.cpp computes the same bytes."""
    return bytes((i * 31 + (i >> 12)) % 251 for i in range(size))


def _unprivileged():
    """Popen arguments that drop root to nobody; nothing for other users."""
    if os.geteuid() != 0:
        return {}
    return {"user": pwd.getpwnam("nobody").pw_uid, "group": grp.getgrnam("nogroup").gr_gid,
            "extra_groups": []}


def _check_readable_by_others(root):
    """nginx run as nobody must be able to reach and read the tree."""
    path = os.path.abspath(root)
    if os.geteuid() == 0 and os.stat(path).st_mode & 0o005 != 0o005:
        raise RuntimeError("nginx runs as nobody and cannot list %s: chmod o+rx it" % path)
    while os.geteuid() == 0 and path != os.path.dirname(path):
        path = os.path.dirname(path)
        if not os.stat(path).st_mode & 0o001:
            raise RuntimeError("nginx runs as nobody and cannot pass through %s: chmod o+x it" % path)


def wait_until(condition, timeout=60, step=0.1):
    """Whether `condition()` came true within `timeout` seconds."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def _port_open(port):
    try:
        with socket.create_connection((HOST, port), timeout=0.5):
            return True
    except OSError:
        return False


def _wait_listening(port, process, what, log_path=None, timeout=15):
    wait_until(lambda: process.poll() is not None or _port_open(port), timeout, step=0.05)
    if process.poll() is not None:
        detail = ""
        if log_path and os.path.exists(log_path):
            detail = ": " + Path(log_path).read_text(errors="replace").strip()
        raise RuntimeError("%s on port %d ended at its start%s" % (what, port, detail))
    if not _port_open(port):
        _kill_group(process.pid)
        raise RuntimeError("%s did not listen on port %d" % (what, port))


def _group_alive(pgid):
    """True while a process of the group still runs (not a zombie: a detached server's reaper may be slow)."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
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
    if not wait_until(lambda: not _group_alive(pgid), 10, step=0.05):
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(pgid, signal.SIGKILL)


class Served:
    """A server that a `with` block starts and stops."""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ServerProcess(Served):
    """A server program on the loopback `ports`, run as nobody when started by root, its files in `folder`
    (made anew by start(), removed by stop()); `command`, or a subclass's configure() that writes the files."""

    start_timeout = 15

    def __init__(self, folder, ports, time_limit=TIME_LIMIT, command=None):
        self.folder = os.path.abspath(folder)
        self.ports = [int(port) for port in ports if port]
        self.time_limit = time_limit
        self.command = command
        self.process = None

    def configure(self):
        """(command line, the log that says why it ended at its start, or None)"""
        return self.command, None

    def start(self):
        for port in self.ports:
            if _port_open(port):
                raise RuntimeError("port %d is already in use" % port)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        command, log_path = self.configure()
        privileges = _unprivileged()
        for folder, _, files in os.walk(self.folder) if privileges else ():
            for path in [folder] + [os.path.join(folder, name) for name in files]:
                os.chown(path, privileges["user"], privileges["group"])
        self.process = subprocess.Popen(
            ["timeout", str(self.time_limit)] + command, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, **privileges)
        for port in self.ports:
            _wait_listening(port, self.process, os.path.basename(command[0]), log_path, self.start_timeout)
        return self

    def stop(self):
        if self.process is not None:
            _kill_group(self.process.pid)
            self.process.wait()
            self.process = None
            self.ended()
        shutil.rmtree(self.folder, ignore_errors=True)

    def ended(self):
        """Keeps what the folder's removal would lose."""


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
    # Tests count the bytes served for each Range to see what a resumed download fetched again.
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
        # Files under /slow/ trickle out, so a test can stop a download half-way; a resuming
        # client (it sends If-Range) gets them at full speed, so the rest of the test does not wait.
        location /slow/ {{
            set $limit_rate 64k;
            if ($http_if_range) {{ set $limit_rate 0; }}
        }}
        {locations}
    }}
}}
"""


class Nginx(ServerProcess):
    """nginx serving `root` on 127.0.0.1:`port`, its files in `folder` (by default BUILD/test-env/nginx-PORT).
    `locations`: further location blocks, e.g. a path handed on to the fault server. `tls`: a certificate
    kind of tls.py (the test CA's of `build`) that `port` serves https with. `https_port`: a further port that
    serves https beside a plain-http `port` (with the `tls` kind, by default the trusted one)."""

    def __init__(self, root, port, folder=None, time_limit=TIME_LIMIT, locations="", tls=None,
                 https_port=None, build=None):
        # Test modules in networks of their own serve the same port: ctest names each its own folder.
        servers = os.environ.get("ZANSETUP_SERVER_FOLDER") or os.path.join(BUILD, "test-env")
        super().__init__(folder or os.path.join(servers, "nginx-%d" % int(port)), (port, https_port), time_limit)
        self.build = os.path.abspath(build or BUILD)
        self.root = os.path.abspath(root)
        self.locations = locations
        self.port = int(port)
        self.tls = tls
        self.https_port = https_port
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
        tls.ensure(self.build)
        certificate, key = tls.certificate(self.build, self.tls or "trusted")
        lines = ["listen %s:%d%s;" % (HOST, self.port, "" if self.https_port else " ssl")]
        if self.https_port:
            lines.append("listen %s:%d ssl;" % (HOST, self.https_port))
        lines += ['ssl_certificate "%s";' % certificate, 'ssl_certificate_key "%s";' % key]
        return "\n        ".join(lines)

    def configure(self):
        _check_readable_by_others(self.root)
        os.makedirs(os.path.join(self.folder, "temp"))
        config, error_log = os.path.join(self.folder, "nginx.conf"), os.path.join(self.folder, "error.log")
        mime = "/etc/nginx/mime.types"
        Path(config).write_text(NGINX_CONFIG.format(
            folder=self.folder, root=self.root, listen=self._listen(), locations=self.locations,
            mime_types="include %s;" % mime if os.path.exists(mime) else ""))
        return ["nginx", "-p", self.folder, "-c", config, "-e", error_log], error_log

    def ended(self):
        self._final_log = read_access_log(os.path.join(self.folder, "access.log"))

    def access_log(self):
        """The requests served so far, oldest first (after stop(): all of them)."""
        if self.process is None and self._final_log is not None:
            return list(self._final_log)
        return read_access_log(os.path.join(self.folder, "access.log"))


def read_access_log(path):
    lines = Path(path).read_text(errors="replace").splitlines() if os.path.exists(path) else []
    rows = [line.split("\t") for line in lines]
    return [AccessEntry(row[0], int(row[1]), int(row[2]), *(None if v == "-" else v for v in row[3:]))
            for row in rows if len(row) == 5]


class FaultHandler(BaseHTTPRequestHandler):
    """Answers chosen by the first segment of the path (ROUTES). Every answer closes the connection, so no
    half-used connection is reused by the next request."""

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
        asked = self._asked_range(open_end=len(body) - 1) if honour_range and status == 200 else None
        if asked and asked[0] < len(body):
            start, end = asked[0], min(asked[1], len(body) - 1)
            headers = [("Content-Range", "bytes %d-%d/%d" % (start, end, len(body)))] + list(headers)
            body, status = body[start:end + 1], 206
        self._head(status, list(headers) + [("Content-Length", str(len(body)))], reason)
        if self.send_body:
            self.wfile.write(body)

    def _head(self, status, headers, reason=None):
        self.send_response(status, reason)
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

    def _asked_range(self, open_end=None):
        """(first, last) of a "bytes=a-b" Range header (of "bytes=a-" too, with `open_end` as b), or None."""
        value = self.headers.get("Range") or ""
        first, dash, last = value[6:].partition("-") if value.startswith("bytes=") else ("", "", "")
        if not last and open_end is not None:
            last = str(open_end)
        if not (dash and first.isdigit() and last.isdigit()):
            return None
        return int(first), int(last)

    def _range_of(self, data):
        """(first, last) of the asked range within `data`; with none asked, None, having answered 200 with all."""
        asked = self._asked_range()
        if asked is None:
            self._answer(200, data, [("Last-Modified", FIXED_DATE)])
            return None
        return asked[0], min(asked[1], len(data) - 1)

    def _ranged(self, body, content_range):
        """206 with `body`, whatever its length, under `content_range`."""
        self._answer(206, body, [("Content-Range", content_range), ("Last-Modified", FIXED_DATE)])

    def _read_body(self, limit):
        """Reads up to `limit` more bytes of the request body; the count read (less if the client stopped)."""
        got = 0
        while got < limit:
            piece = self.rfile.read1(min(limit - got, 1 << 20))
            if not piece:
                break
            got += len(piece)
        return got

    def _requests_with(self, token, own):
        """Headers of the requests so far with `token` in their path, but for the questions `own` begins."""
        return [dict((k.lower(), v) for k, v in headers)
                for _, path, headers in self.server.requests if token in path and not path.startswith(own)]

    def _text(self, text):
        self._answer(200, text.encode("utf-8"), [("Content-Type", "text/plain")])

    # -- answers that ROUTES names

    def pattern(self, size, date=FIXED_DATE, ranges=True):
        """pattern(size) with `date` as its Last-Modified (None: none), a Range honoured if `ranges`."""
        self._answer(200, pattern(int(size)), [("Last-Modified", date)] if date else [], honour_range=ranges)

    def block_fault(self, size, index, how):
        """Ranges of pattern(size) answered correctly (the 10-byte probe bytes=0-9 included), except the
        100 KiB block `index` (or the probe, for index "probe"), which gets answer `how`: 200 (the whole
        body), 304 (no body), long (the range and 4 KiB more), start (a Content-Range one byte late) or end
        (a Content-Range ending early, the whole range sent)."""
        size = int(size)
        data = pattern(size)
        asked = self._range_of(data)
        if asked is None:
            return
        first, last = asked
        is_probe = asked == (0, 9)
        if (index == "probe") != is_probe or (not is_probe and first // 102400 != int(index)):
            self._ranged(data[first:last + 1], "bytes %d-%d/%d" % (first, last, size))
        elif how == "200":
            self._answer(200, data, [("Last-Modified", FIXED_DATE)])
        elif how == "304":
            self._head(304, [("Content-Range", "bytes %d-%d/%d" % (first, last, size)),
                             ("Last-Modified", FIXED_DATE)])
        elif how == "long":
            self._ranged(pattern(size + 8192)[first:last + 1 + 4096], "bytes %d-%d/%d" % (first, last, size))
        elif how == "start":
            self._ranged(data[first:last + 1], "bytes %d-%d/%d" % (first + 1, last, size))
        elif how == "end":
            self._ranged(data[first:last + 1], "bytes %d-%d/%d" % (first, last - 1, size))
        else:
            raise ValueError(how)

    def range_total(self, size, total):
        """Ranges of pattern(size) honoured, with `total` as the text after the "/" of every Content-Range
        ("*" is legal HTTP: length unknown)."""
        data = pattern(int(size))
        asked = self._range_of(data)
        if asked is not None:
            self._ranged(data[asked[0]:asked[1] + 1], "bytes %d-%d/%s" % (asked + (total,)))

    def half(self, size, reset):
        """Announces `size` bytes, sends half, and ends the connection in order or with a reset."""
        size = int(size)
        self._head(200, [("Content-Length", str(size)), ("Last-Modified", FIXED_DATE)])
        if self.send_body:
            self.wfile.write(pattern(size)[:size // 2])
        if reset:
            self._reset()

    def chunked(self, size="100000"):
        self._head(200, [("Transfer-Encoding", "chunked")])
        if self.send_body:
            data = pattern(int(size))
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
        """A file the test registered (add_file), ranges honoured, once the test opened the gate (open_gate)."""
        if not self.server.gate.wait(120):
            self._answer(503, b"gate never opened\n")
            return
        self._answer(200, self.server.files[name], [("Last-Modified", FIXED_DATE)], honour_range=True)

    def charset(self, name, form="charset=%s"):
        """A page whose Content-Type names `name` in `form`; none without a name."""
        self._answer(200, b"<html></html>", [("Content-Type", "text/html; " + form % name)] if name else [])

    def long_headers(self, length):
        """Status text, Content-Type (charset last) and an extra header each `length` characters long."""
        pad = "a" * int(length)
        self._answer(200, b"long\n", [("Content-Type", "text/html; pad=%s; charset=gbk" % pad),
                                      ("X-Padding", pad), ("Last-Modified", FIXED_DATE)],
                     reason="OK " + pad)

    def echo_request(self, *_):
        """Request line (method and path), header lines, a blank line and the exact body bytes, as the body."""
        body = getattr(self, "request_body", None) or b""  # none for a GET
        self._answer(200, ("%s %s\r\n" % (self.command, self.path)).encode("latin-1", errors="replace")
                     + self._header_lines() + b"\r\n" + body, [("Content-Type", "application/octet-stream")])

    def _header_lines(self):
        """The request's header lines as received, in order."""
        return "".join("%s: %s\r\n" % item for item in self.headers.items()).encode("latin-1", errors="replace")

    def multipart(self, *_):
        """What a standard multipart parser makes of the body, one line per fact, tab-separated, UTF-8:
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
        self._text("\n".join(lines) + "\n")

    def upload_hold(self, token, seconds):
        """Reads the first 64 KiB of the body, then stops reading (state "holding") for `seconds` or until
        /upload-release/TOKEN; then reads what remains and sets the state to "received N of M"."""
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

    def upload_release(self, token):
        self.server.uploads.setdefault(token + "/release", threading.Event()).set()
        self._answer(200, b"released\n")

    def upload_sink(self, *_):
        """Reads the announced body and drops it: "received N of M" (no digest, which would limit a figure)."""
        announced = int(self.headers.get("Content-Length") or 0)
        self._text("received %d of %d\n" % (self._read_body(announced), announced))

    def cut_once(self, token, size):
        """Ranges of pattern(size) honoured; of those with `token` in their path, the first from the start over
        more than three 100 KiB blocks ends after two and a half, its headers whole."""
        data = pattern(int(size))
        asked = self._range_of(data)
        if asked is None:
            return
        first, last = asked
        body = data[first:last + 1]
        with self.server.lock:
            cut = first == 0 and len(body) > 3 * 102400 and token not in self.server.cut_tokens
            if cut:
                self.server.cut_tokens.add(token)
        self._head(206, [("Content-Range", "bytes %d-%d/%d" % (first, last, len(data))),
                         ("Last-Modified", FIXED_DATE), ("Content-Length", str(len(body)))])
        if self.send_body:
            self.wfile.write(body[:256000] if cut else body)


# The fault server's answers by the first segment of the path; the rest of the path gives the arguments.
ROUTES = {
    "status": lambda h, code: h._answer(int(code), b"status %s\n" % code.encode(),
                                        [("Content-Type", "text/plain")]),
    "big": lambda h, size: h.pattern(size),                                # /big/N
    "ignore-range": lambda h, size: h.pattern(size, ranges=False),         # /ignore-range/N: always all of it
    "lastmod": lambda h, size: h.pattern(size, h.query.get("date", [FIXED_DATE])[0]),  # /lastmod/N?date=DATE
    "nolastmod": lambda h, size="1000": h.pattern(size, date=None),        # /nolastmod[/N]
    "empty": lambda h: h.pattern(0, ranges=False),
    "block-fault": FaultHandler.block_fault,    # /block-fault/N/INDEX|probe/200|304|long|start|end
    "range-total": FaultHandler.range_total,    # /range-total/N/TOTAL-TEXT
    "short": lambda h, size="10000": h.half(size, reset=False),            # /short[/N]
    "drop": lambda h, size="200000": h.half(size, reset=True),             # /drop[/N]
    "chunked": FaultHandler.chunked,            # /chunked[/N]: a whole chunked body
    "stall": FaultHandler.stall,                # /stall/SECONDS
    "stall-body": FaultHandler.stall_body,      # /stall-body/SECONDS[/N]
    "gated": FaultHandler.gated,                # /gated/NAME
    "charset": FaultHandler.charset,            # /charset/NAME
    "charset-capital": lambda h, name: h.charset(name, "Charset=%s"),
    "charset-quoted": lambda h, name: h.charset(name, 'charset="%s"'),
    "no-content-type": lambda h: h.charset(None),
    "long-headers": FaultHandler.long_headers,  # /long-headers/LENGTH
    "echo-headers": lambda h: h._answer(200, h._header_lines(), [("Content-Type", "text/plain")]),
    "echo-request": FaultHandler.echo_request,  # /echo-request[/...]
    "multipart": FaultHandler.multipart,        # /multipart[/...]
    "upload-hold": FaultHandler.upload_hold,    # /upload-hold/TOKEN/SECONDS
    "upload-state": lambda h, token: h._text(h.server.uploads.get(token, "none")),
    "upload-release": FaultHandler.upload_release,  # /upload-release/TOKEN
    "upload-sink": FaultHandler.upload_sink,        # /upload-sink[/...]
    # How many requests so far had TOKEN in their path; their Range headers, one a line ("-" for none).
    "recorded": lambda h, token: h._text("%d\n" % len(h._requests_with(token, "/recorded/"))),
    "ranges": lambda h, token: h._text("".join(r.get("range", "-") + "\n"
                                               for r in h._requests_with(token, "/ranges/"))),
    "set-cookie": lambda h, name, value: h._answer(200, b"cookie set\n",
                                                   [("Set-Cookie", "%s=%s; Path=/" % (name, value))]),
    "cut-once": FaultHandler.cut_once,          # /cut-once/TOKEN/N
}
STREAMED_BODY_ROUTES = {"upload-hold", "upload-sink"}


class _FaultHTTPServer(ThreadingHTTPServer):
    # Closing waits for no handler: one may hold an answer back for minutes; the process ends them all.
    block_on_close = False

    def __init__(self, address, handler):
        super().__init__(address, handler)
        self.stopping, self.gate, self.lock = threading.Event(), threading.Event(), threading.Lock()
        self.files, self.uploads, self.requests, self.cut_tokens = {}, {}, [], set()

    def record(self, method, path, headers):
        with self.lock:
            self.requests.append((method, path, headers))


class InProcessServer(Served):
    """An HTTP server in threads of this process on 127.0.0.1:`port`; its handler finds this as server.owner."""

    def __init__(self, port):
        self.port = int(port)
        self._server = None

    @property
    def base_url(self):
        return "http://%s:%d" % (HOST, self.port)

    def serve(self, handler, server_class=ThreadingHTTPServer):
        self._server = server_class((HOST, self.port), handler)
        self._server.daemon_threads = True
        self._server.owner = self
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if server is not None:
            server.shutdown()
            server.server_close()


class FaultServer(InProcessServer):
    """The fault server in threads of this process. `requests`: (method, path, [(header, value)]), in order."""

    def __init__(self, port, time_limit=TIME_LIMIT):
        super().__init__(port)
        self.time_limit = time_limit
        self._timer = None

    @property
    def requests(self):
        return list(self._server.requests) if self._server else []

    def add_file(self, name, data):
        """Serves `data` at /gated/NAME once open_gate() is called."""
        self._server.files[name] = data

    def open_gate(self):
        self._server.gate.set()

    def start(self):
        self._timer = threading.Timer(self.time_limit, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self.serve(FaultHandler, _FaultHTTPServer)

    def stop(self):
        if self._timer is not None:
            self._timer.cancel()
        if self._server is not None:
            self._server.stopping.set()
        super().stop()

    def serve_until_signalled(self):
        self.start()
        done = threading.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, lambda *_: done.set())
        # Short steps: a signal does not end a long wait on an Event.
        wait_until(done.is_set, self.time_limit, step=0.2)
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
        Path(path).write_bytes(data)
        os.utime(path, (FIXED_TIME, FIXED_TIME))


# The fixture's nginx sends /to-http/PATH to PATH on the plain-http port, /to-https/PATH on the https one.
REDIRECTS = """
        location ~ ^/to-http/(.*)$ {{ return 302 http://{host}:{port}/$1; }}
        location ~ ^/to-https/(.*)$ {{ return 302 https://{tls_host}:{tls_port}/$1; }}"""


def fixture_start(build, nginx_port, fault_port, tls_port):
    fixture_stop(build, quiet=True)
    folder = fixture_dir(build)
    root = os.path.join(folder, "root")
    make_test_tree(root)
    redirects = REDIRECTS.format(host=HOST, port=nginx_port, tls_host=TLS_HOST, tls_port=tls_port)
    nginx = Nginx(root, nginx_port, folder=os.path.join(folder, "nginx"), https_port=tls_port,
                  locations=redirects, build=build)
    # The fault server as a process of its own, which outlives this one, run by an interpreter that nobody may
    # run (a per-user one under /root is not).
    python = "/usr/bin/python3" if os.geteuid() == 0 and os.path.exists("/usr/bin/python3") else sys.executable
    fault = ServerProcess(os.path.join(folder, "fault"), [fault_port],
                          command=[python, os.path.abspath(__file__), "fault", str(fault_port)])
    # A server that does not start takes back those started before it.
    with contextlib.ExitStack() as started:
        started.callback(fixture_stop, build, quiet=True)
        for server in (nginx, fault):
            started.enter_context(server)
        started.pop_all()
    Path(folder, "pids").write_text("".join("%d\n" % server.process.pid for server in (nginx, fault)))
    fault_url = "http://%s:%d" % (HOST, fault_port)
    Path(build, "test-env", "servers.txt").write_text("nginx %s\nnginx_tls %s\nnginx_root %s\nfault %s\n" % (
        nginx.base_url, nginx.https_base_url, windows_path(root), fault_url), newline="\r\n")
    print("nginx", nginx.base_url, nginx.https_base_url, "fault", fault_url)


def fixture_stop(build, quiet=False):
    folder = fixture_dir(build)
    pid_file = os.path.join(folder, "pids")
    for line in Path(pid_file).read_text().split() if os.path.exists(pid_file) else ():
        if line.isdigit():
            _kill_group(int(line))
    shutil.rmtree(folder, ignore_errors=True)
    Path(build, "test-env", "servers.txt").unlink(missing_ok=True)
    if not quiet:
        print("stopped")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    start = commands.add_parser("start")
    start.add_argument("build")
    for name, port in (("--nginx-port", 8781), ("--fault-port", 8782), ("--tls-port", 8783)):
        start.add_argument(name, type=int, default=port)
    commands.add_parser("stop").add_argument("build")
    commands.add_parser("fault").add_argument("port", type=int)
    args = parser.parse_args()
    if args.command == "start":
        fixture_start(os.path.abspath(args.build), args.nginx_port, args.fault_port, args.tls_port)
    elif args.command == "stop":
        fixture_stop(os.path.abspath(args.build))
    else:
        FaultServer(args.port).serve_until_signalled()


if __name__ == "__main__":
    main()
