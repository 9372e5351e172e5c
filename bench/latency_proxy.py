#!/usr/bin/env python3
"""A TCP proxy on loopback that puts an internet round trip between a client and a server: every
chunk is delivered half a round trip after it arrived, in each direction and in order, and a new
connection carries nothing until one round trip after it was accepted (the handshake a real
connection waits for). This machine's kernel has no netem, hence this. One asyncio loop in one
thread serves every connection: no thread per connection, no sleep per chunk.

    python3 bench/latency_proxy.py --to PORT [--rtt-ms 50] [--port PORT]"""
import argparse
import asyncio
import collections
import selectors
import threading

# Bytes one direction holds before its sender is paused, as a TCP window would bound them.
HELD_MAX = 4 << 20


class _Direction:
    """What one side sent, on its way to the other: (due time, chunk or None for the end)."""

    def __init__(self, loop, delay, hold_until):
        self.loop = loop
        self.delay = delay
        self.hold_until = hold_until  # nothing is due before: the handshake's round trip
        self.source = self.sink = None  # transports, the sink once it is connected
        self.sink_paused = False
        self.queue = collections.deque()
        self.held = 0
        self.timer = None
        self.ended = self.done = False
        self.on_done = None

    def feed(self, data):
        if self.ended:
            return
        self.ended = data is None
        if data is not None:
            self.held += len(data)
            if self.held > HELD_MAX:
                self.source.pause_reading()
        self.queue.append((max(self.loop.time(), self.hold_until) + self.delay, data))
        if self.timer is None:
            self.deliver()

    def deliver(self):
        """Writes what is due and sets a timer for the next; the chunks keep their order since
        one queue and one timer per direction serve them."""
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if self.sink is None or self.sink_paused:
            return
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now:
            data = self.queue.popleft()[1]
            if data is None:
                self.done = True
                if not self.sink.is_closing() and self.sink.can_write_eof():
                    self.sink.write_eof()
                self.on_done()
                return
            self.held -= len(data)
            if not self.sink.is_closing():
                self.sink.write(data)
            if self.held <= HELD_MAX // 2 and not self.source.is_closing():
                self.source.resume_reading()
        if self.queue:
            self.timer = self.loop.call_at(self.queue[0][0], self.deliver)


class _Side(asyncio.Protocol):
    """One end of a link: what it receives goes out through `outgoing`, and `incoming` writes to
    it while its transport takes more."""

    def __init__(self, outgoing, incoming, made=None):
        self.outgoing, self.incoming, self.made = outgoing, incoming, made

    def connection_made(self, transport):
        self.outgoing.source = transport
        if self.made:
            self.made(transport)

    def data_received(self, data):
        self.outgoing.feed(data)

    def eof_received(self):
        self.outgoing.feed(None)
        return True  # half open: the other direction may still carry the reply

    def connection_lost(self, exc):
        self.outgoing.feed(None)

    def pause_writing(self):
        self.incoming.sink_paused = True

    def resume_writing(self):
        self.incoming.sink_paused = False
        self.incoming.deliver()


class _Link:
    """A client's connection and the one made for it to the server."""

    def __init__(self, proxy):
        loop = proxy.loop
        self.proxy = proxy
        rtt = proxy.rtt
        self.up = _Direction(loop, rtt / 2, loop.time() + rtt)
        self.down = _Direction(loop, rtt / 2, 0.0)
        self.up.on_done = self.down.on_done = self.finished
        self.client = _Side(self.up, self.down, self.accepted)

    def accepted(self, transport):
        self.down.sink = transport
        self.proxy.loop.create_task(self.connect())

    async def connect(self):
        try:
            transport, _ = await self.proxy.loop.create_connection(
                lambda: _Side(self.down, self.up), self.proxy.upstream[0], self.proxy.upstream[1])
        except OSError:
            self.up.source.abort()
            return
        self.up.sink = transport
        self.up.deliver()

    def finished(self):
        if self.up.done and self.down.done:
            self.up.source.close()
            self.down.source.close()


class DelayProxy:
    """Listens on 127.0.0.1:port and forwards to upstream with `rtt` seconds of round trip (read
    as each connection is accepted, so it may be changed between runs). Use with `with`: the
    proxy's loop runs in a thread of its own from the start of the block to its end."""

    def __init__(self, upstream_port, rtt=0.0, port=0, upstream_host="127.0.0.1"):
        self.upstream = (upstream_host, upstream_port)
        self.rtt = rtt
        self.port = port
        self.loop = self.server = self.thread = None

    def _accept(self):
        return _Link(self).client

    def start(self):
        # select() takes its time-out in microseconds; epoll, asyncio's default, rounds it up
        # to the next millisecond, which would add about a millisecond to every round trip.
        self.loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
        self.server = self.loop.run_until_complete(
            self.loop.create_server(self._accept, "127.0.0.1", self.port))
        self.port = self.server.sockets[0].getsockname()[1]
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.thread is None:
            return
        self.loop.call_soon_threadsafe(self.server.close)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()
        self.thread = None

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--to", type=int, required=True, help="the server's port on 127.0.0.1")
    parser.add_argument("--rtt-ms", type=float, default=50.0, help="round trip (default 50)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: any)")
    args = parser.parse_args()
    with DelayProxy(args.to, args.rtt_ms / 1000, args.port) as proxy:
        print("127.0.0.1:%d -> 127.0.0.1:%d, round trip %g ms; Ctrl-C stops" % (
            proxy.port, args.to, args.rtt_ms), flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
