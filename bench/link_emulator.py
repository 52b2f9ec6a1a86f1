"""User-space emulation of a slow access line for the download benchmarks.

The kernel on the benchmark hosts has no traffic shaping, so this is a TCP relay
on loopback: it accepts on 127.0.0.1:listen_port, connects each client to
127.0.0.1:target_port and carries the bytes through two one-way "lines" (one per
direction).  Each line has a one-way delay and a rate cap shared by every
connection using it, like a real access line, and a bounded allowance of bytes in
flight so back-pressure reaches the sending socket.

    python3 bench/link_emulator.py --listen 8900 --target 8901 --rtt-ms 50 --rate-mbit 100
"""
import argparse
import asyncio
import collections
import signal
import threading

CHUNK = 64 * 1024


class _Allowance:
    """Bytes a line may hold; waiters are served in arrival order so that
    parallel connections share the line instead of one starving the rest."""

    def __init__(self, limit):
        self.free = limit
        self.waiters = collections.deque()

    async def take(self, n):
        if not self.waiters and self.free >= n:
            self.free -= n
            return
        fut = asyncio.get_running_loop().create_future()
        self.waiters.append((n, fut))
        try:
            await fut
        except asyncio.CancelledError:
            if fut.done() and not fut.cancelled():
                self.give(n)  # granted just as we were cancelled
            elif (n, fut) in self.waiters:
                self.waiters.remove((n, fut))
                self.give(0)  # the waiter behind us may fit now
            raise

    def give(self, n):
        self.free += n
        while self.waiters and (self.waiters[0][1].done() or self.free >= self.waiters[0][0]):
            m, fut = self.waiters.popleft()
            if not fut.done():  # a cancelled waiter takes nothing
                self.free -= m
                fut.set_result(None)


class _Line:
    """One direction of the link: serialises chunks at the line rate, then
    delivers them after the one-way delay, in the order they entered."""

    def __init__(self, rate_bps, one_way_s, limit):
        self.loop = asyncio.get_running_loop()
        self.rate, self.delay = rate_bps, one_way_s
        self.allowance = _Allowance(limit)
        self.busy_until = 0.0
        self.queue = collections.deque()  # (due, deliver, data), due ascending
        self.timer = None
        # Bytes that came out of the line: what the far end really received.
        self.delivered = 0

    async def send(self, data, deliver):
        n = len(data)
        if n:
            await self.allowance.take(n)
        start = max(self.loop.time(), self.busy_until)
        if n and self.rate:
            self.busy_until = start + n * 8 / self.rate
        # An empty chunk is the FIN: no serialisation, but it stays behind the data.
        due = max(start, self.busy_until) + self.delay
        self.queue.append((due, deliver, data))
        if n:
            # The sender only learns the bytes arrived when the ACK returns, so
            # the allowance acts as a window over the whole round trip.
            self.loop.call_at(due + self.delay, self.allowance.give, n)
        if self.timer is None:
            self.timer = self.loop.call_at(self.queue[0][0], self._release)

    def _release(self):
        self.timer = None
        now = self.loop.time() + 1e-4
        while self.queue and self.queue[0][0] <= now:
            _, deliver, data = self.queue.popleft()
            self.delivered += len(data)
            deliver(data)
        if self.queue:
            self.timer = self.loop.call_at(self.queue[0][0], self._release)


class _Relay:
    """One client connection and its connection to the target."""

    def __init__(self, owner, client, server):
        self.owner, self.open_halves = owner, 2
        self.writers = (client[1], server[1])
        self.tasks = [
            asyncio.create_task(self._pump(client[0], server[1], owner.up, owner.handshake_s)),
            asyncio.create_task(self._pump(server[0], client[1], owner.down, 0)),
        ]

    async def _pump(self, reader, writer, line, hold):
        def deliver(data):
            if writer.is_closing():
                return
            if data:
                writer.write(data)
                return
            if writer.can_write_eof():
                writer.write_eof()
            self.open_halves -= 1
            if not self.open_halves:
                self.close(abort=False)

        try:
            if hold:
                # Bytes cannot leave the client before its SYN has been answered.
                await asyncio.sleep(hold)
            while True:
                await writer.drain()  # the far end stops reading: stop too
                data = await reader.read(CHUNK)
                await line.send(data, deliver)
                if not data:
                    return
        except (ConnectionError, OSError):
            self.close(abort=True)

    def close(self, abort):
        self.owner.relays.discard(self)
        for task in self.tasks:
            if task is not asyncio.current_task():
                task.cancel()
        for w in self.writers:
            if abort:
                w.transport.abort()
            else:
                w.close()


class LinkEmulator:
    """Relay 127.0.0.1:listen_port -> 127.0.0.1:target_port through an emulated line.

    rtt_ms is the round trip (each direction gets half); rate_mbit caps each
    direction (0 = unlimited).  queue_bytes is what the line may queue beyond
    its bandwidth-delay product (default: one more BDP, at least 256 KiB;
    never under 128 KiB, or the line idles between 64 KiB chunks).
    handshake: hold each client's first bytes one RTT, as a real TCP handshake
    would.  After start(), `port` is the port actually listened on, and
    `down.delivered` counts the bytes that reached the clients.
    """

    def __init__(self, listen_port, target_port, rtt_ms, rate_mbit,
                 queue_bytes=None, handshake=True):
        self.port, self.target_port = listen_port, target_port
        self.rtt_s, self.rate_bps = rtt_ms / 1000.0, rate_mbit * 1e6
        bdp = int(self.rate_bps / 8 * self.rtt_s) if self.rate_bps else 4 * 2**20
        if queue_bytes is None:
            queue_bytes = max(bdp, 256 * 1024)
        self.limit = bdp + max(queue_bytes, 2 * CHUNK)
        self.handshake_s = self.rtt_s if handshake else 0
        self.relays = set()
        self._loop = self._stopping = self._thread = None
        self._ready = threading.Event()
        self._error = None

    async def serve(self, on_ready=None):
        """Run in the current event loop until stop() is called."""
        self._loop = asyncio.get_running_loop()
        self._stopping = asyncio.Event()
        self.up = _Line(self.rate_bps, self.rtt_s / 2, self.limit)
        self.down = _Line(self.rate_bps, self.rtt_s / 2, self.limit)
        server = await asyncio.start_server(self._accept, "127.0.0.1", self.port)
        self.port = server.sockets[0].getsockname()[1]
        if on_ready:
            on_ready()
        try:
            await self._stopping.wait()
        finally:
            server.close()
            for relay in list(self.relays):
                relay.close(abort=True)

    async def _accept(self, reader, writer):
        try:
            server = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            writer.transport.abort()
            return
        self.relays.add(_Relay(self, (reader, writer), server))

    def start(self):
        """Serve from a background thread; return once listening."""
        def run():
            try:
                asyncio.run(self.serve(self._ready.set))
            except BaseException as e:  # reported to start()'s caller
                self._error = e
                self._ready.set()

        self._thread = threading.Thread(target=run, name="link-emulator", daemon=True)
        self._thread.start()
        self._ready.wait()
        if self._error:
            self._thread.join()
            raise self._error
        return self

    def stop(self):
        if self._loop and self._stopping and not self._loop.is_closed():
            try:
                self._loop.call_soon_threadsafe(self._stopping.set)
            except RuntimeError:  # loop already gone
                pass
        if self._thread:
            self._thread.join()
            self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--listen", type=int, required=True, help="port to accept on (0 = any free)")
    p.add_argument("--target", type=int, required=True, help="port to relay to")
    p.add_argument("--rtt-ms", type=float, required=True)
    p.add_argument("--rate-mbit", type=float, required=True, help="per direction; 0 = unlimited")
    p.add_argument("--queue-bytes", type=int, help="queue beyond the bandwidth-delay product")
    p.add_argument("--no-handshake", action="store_true", help="do not add the handshake RTT")
    args = p.parse_args(argv)
    emu = LinkEmulator(args.listen, args.target, args.rtt_ms, args.rate_mbit,
                       args.queue_bytes, not args.no_handshake)

    async def run():
        loop = asyncio.get_running_loop()
        ready = lambda: print(f"listening on 127.0.0.1:{emu.port}", flush=True)
        task = asyncio.create_task(emu.serve(ready))
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, lambda: emu._stopping and emu._stopping.set())
        await task

    asyncio.run(run())


if __name__ == "__main__":
    main()
