"""Faults of real networks for the end-to-end tests: a line that drops (Relay) and a busy server
(BusyServer). Both run in threads of the test's own process, listen on 127.0.0.1 only and end with the test
(stop(), or the `with` block)."""
import contextlib
import email.utils
import os
import selectors
import socket
import struct
import threading
import time
import urllib.parse
from pathlib import Path

from servers import HOST, FaultHandler, InProcessServer, Served

PIECE = 16384


class Relay(Served):
    """A TCP relay from `port` to a server on `target_port` that drops the line: every open connection is
    reset when the bytes it carried to clients reach each of `drop_at`; down() refuses connections until up().
    One thread serves every connection with select(), so that closing a socket really resets it (a thread
    blocked reading it would hold it)."""

    def __init__(self, port, target_port, drop_at=()):
        self.port = int(port)
        self.target_port = int(target_port)
        self._lock = threading.Lock()
        self._drops = sorted(drop_at)
        self._wanted_up = True
        self._running = False
        self._thread = None
        self.forwarded = 0
        self.resets = 0

    def set_drops(self, drop_at):
        """Totals of forwarded bytes, from now on, at which the line drops."""
        with self._lock:
            self._drops = sorted(self.forwarded + n for n in drop_at)

    def start(self):
        self._running = True
        self._listening = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        self._listening.wait(10)
        return self

    def up(self):
        self._wanted_up = True

    def down(self):
        """Connections are refused, and those open are reset, until up()."""
        self._wanted_up = False

    def stop(self):
        self._running = False
        if self._thread is not None:
            self._thread.join(10)
            self._thread = None

    def _serve(self):
        sel = selectors.DefaultSelector()
        listener = None
        peers = {}
        while self._running:
            if self._wanted_up and listener is None:
                listener = socket.create_server((HOST, self.port), backlog=64)
                sel.register(listener, selectors.EVENT_READ)
                self._listening.set()
            elif not self._wanted_up and listener is not None:
                sel.unregister(listener)
                listener.close()
                listener = None
                self._reset(sel, peers)
            for key, _ in sel.select(timeout=0.1):
                sock = key.fileobj
                if sock is listener:
                    self._accept(sel, listener, peers)
                    continue
                if sock not in peers:
                    continue
                peer, to_client = peers[sock]
                try:
                    data = sock.recv(PIECE)
                    if data:
                        peer.sendall(data)
                except OSError:
                    data = b""
                if not data:
                    self._close(sel, peers, sock, reset=False)
                elif to_client and self._count(len(data)):
                    self._reset(sel, peers)
        self._reset(sel, peers)
        if listener is not None:
            listener.close()

    def _accept(self, sel, listener, peers):
        client, _ = listener.accept()
        try:
            server = socket.create_connection((HOST, self.target_port))
        except OSError:
            client.close()
            return
        peers[client] = (server, False)
        peers[server] = (client, True)
        for sock in (client, server):
            sel.register(sock, selectors.EVENT_READ)

    def _count(self, n):
        """True when these bytes reached the next drop."""
        with self._lock:
            self.forwarded += n
            if self._drops and self.forwarded >= self._drops[0]:
                self._drops.pop(0)
                return True
        return False

    def _reset(self, sel, peers):
        if peers:
            with self._lock:
                self.resets += 1
        for sock in list(peers):
            if sock in peers:
                self._close(sel, peers, sock, reset=True)

    def _close(self, sel, peers, sock, reset):
        peer, _ = peers.pop(sock)
        peers.pop(peer, None)
        for s in (sock, peer):
            with contextlib.suppress(KeyError, ValueError):
                sel.unregister(s)
            with contextlib.suppress(OSError):
                if reset:
                    # A reset, not an orderly end: what a line drop leaves.
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()


class _BusyHandler(FaultHandler):
    def do_GET(self):
        owner, self.send_body = self.server.owner, True
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        if owner.record(path, self.headers.get("Range")):
            self._answer(503, b"busy\n", [("Retry-After", str(owner.retry_after))])
            return
        file_path = os.path.join(owner.root, path.lstrip("/"))
        if not os.path.isfile(file_path):
            self._answer(404, b"no such file\n")
            return
        date = email.utils.formatdate(os.path.getmtime(file_path), usegmt=True)
        self._answer(200, Path(file_path).read_bytes(), [("Last-Modified", date)], honour_range=True)


class BusyServer(InProcessServer):
    """Serves the files below `root`, the first `busy` requests of each with 503 and Retry-After: `retry_after`.
    `requests` lists (monotonic time, path, Range) in arrival order."""

    def __init__(self, port, root, busy=1, retry_after=3):
        super().__init__(port)
        self.root = root
        self.busy = busy
        self.retry_after = retry_after
        self.requests = []
        self._lock = threading.Lock()

    def record(self, path, range_):
        with self._lock:
            earlier = sum(1 for _, p, _ in self.requests if p == path)
            self.requests.append((time.monotonic(), path, range_))
            return earlier < self.busy

    def start(self):
        return self.serve(_BusyHandler)
