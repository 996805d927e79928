#!/usr/bin/env python3
"""A loopback TCP proxy that makes the path between its two sides a slow,
lossy link, so that the update check can be measured as it would fare on a
mobile, hotel or satellite connection.

It listens on 127.0.0.1:<listen> and forwards every connection to
127.0.0.1:<upstream>. Each direction is a link of its own with:
- a one-way latency of half the round-trip time;
- a bottleneck of the given rate: segments of at most 1448 bytes (plus 52
  bytes of IP and TCP headers) leave it one after the other, so a burst waits
  in its queue, which never drops anything;
- loss, charged as the time TCP takes to repair it: each segment is lost with
  the given probability, and arrives one retransmission time-out later than it
  would have, that time-out doubling each time the retransmission is lost too.
  TCP hands data over in order, so a late segment holds back every segment
  behind it; the end of the stream (FIN) may be lost like a segment;
- the connection's set-up: the client's first bytes leave only one round trip
  after it connected (the SYN and SYN-ACK), and each of those two is lost with
  the same probability, costing the initial time-out of 1 s, then 2 s, ...

The retransmission time-out, once the connection is up, is max(200 ms,
2 x RTT); see bench/README.md for why. A reset (RST) from either side reaches
the other after everything sent before it, as does the end of the stream.
A segment's fate depends on the seed, the connection's number, the direction
and the segment's number in it, so a rerun loses the same segments as long as
the senders cut their bytes into the same segments (TLS messages vary by a
byte or two from run to run, and writes are sometimes joined or split).

Prints "ready" on standard output once it listens, then one line per
connection on standard error when it ends, or is still open when the proxy is
stopped: when it was accepted (the monotonic clock, in seconds), the set-up,
and for each direction the bytes, the segments, each loss with its repair,
and how the direction ended.

  impair.py --listen PORT --upstream PORT [--rtt MS] [--rate KBIT] [--loss P] [--seed N]
"""
import argparse
import asyncio
import random
import signal
import socket
import struct
import sys

SEGMENT = 1448  # a full segment's payload on Ethernet, with TCP timestamps
HEADERS = 52  # IPv4, TCP and its timestamp option, on the wire with each segment
# Linux's initial retransmission time-out, for the SYN and SYN-ACK, and its
# floor once the round-trip time is known.
INITIAL_RTO = 1.0
MIN_RTO = 0.2
# Undelivered bytes a direction holds before it stops reading its sender, as a
# sender's window would stop it; keeps the proxy's memory bounded.
QUEUE_LIMIT = 1024 * 1024
# A segment is given up after this many losses in a row, as TCP gives up a
# connection; only a loss rate near 1 gets there.
MAX_RETRIES = 15
PIECE = 64 * 1024


class Link:
    """What the link does to every connection, in seconds and bits per second."""

    def __init__(self, rtt, rate, loss):
        self.rtt = rtt
        self.rate = rate
        self.loss = loss

    def repair(self, key, rto):
        """The extra time a segment takes to arrive, and how often it was lost.
        The segment's fate depends on key alone."""
        if not self.loss:
            return 0.0, 0
        rng = random.Random(key)
        delay, losses = 0.0, 0
        while losses < MAX_RETRIES and rng.random() < self.loss:
            delay += rto
            rto *= 2
            losses += 1
        return delay, losses


def reset(writer):
    """Ends a connection with a reset rather than a FIN."""
    sock = writer.get_extra_info("socket")
    try:
        if sock is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass  # closed already
    writer.transport.abort()


class Direction:
    """One way of a connection: reads the sender as fast as it writes, works out
    when each segment would reach the receiver over the link, and hands the
    segments over then, in order."""

    def __init__(self, name, link, key, not_before, reader, writer):
        self.name = name
        self.link = link
        self.key = key
        self.reader = reader
        self.writer = writer
        self.loop = asyncio.get_running_loop()
        self.queue = asyncio.Queue()
        # When the bottleneck is free for the next segment; nothing is sent
        # before the connection is up.
        self.link_free = not_before
        # When the last segment reaches the receiver; later ones cannot be
        # handed over before it.
        self.last_arrival = 0.0
        self.queued = 0
        self.room = asyncio.Event()
        self.bytes = 0
        self.segments = 0
        # (which segment, or the FIN, and where in the stream, when it would
        # have arrived in seconds after the connection, how often it was
        # lost, how much later it arrived)
        self.losses = []
        self.ended = "open"
        self.broken = False

    def arrival(self, size, started):
        """When a segment of size bytes, sent now after the bytes counted so
        far, is handed to the receiver; of size 0, the end of the stream."""
        now = self.loop.time()
        leaves = max(now, self.link_free)
        if self.link.rate:
            leaves += (size + HEADERS) * 8 / self.link.rate
        self.link_free = leaves
        arrives = leaves + self.link.rtt / 2
        which = f"segment {self.segments + 1}" if size else "FIN"
        delay, lost = self.link.repair(f"{self.key}/{which}", max(MIN_RTO, 2 * self.link.rtt))
        if lost:
            self.losses.append((f"{which} at byte {self.bytes}", arrives - started, lost, delay))
        self.last_arrival = max(self.last_arrival, arrives + delay)
        return self.last_arrival

    async def read(self, started):
        try:
            while data := await self.reader.read(PIECE):
                for i in range(0, len(data), SEGMENT):
                    segment = data[i:i + SEGMENT]
                    self.queue.put_nowait((self.arrival(len(segment), started), "data", segment))
                    self.segments += 1
                    self.bytes += len(segment)
                self.queued += len(data)
                while self.queued > QUEUE_LIMIT:
                    self.room.clear()
                    await self.room.wait()
            self.queue.put_nowait((self.arrival(0, started), "eof", b""))
        except (ConnectionError, OSError):
            # A reset is not retransmitted: it comes after what is on its way.
            now = self.loop.time()
            self.queue.put_nowait((max(self.last_arrival, now + self.link.rtt / 2), "reset", b""))

    async def deliver(self, source):
        """Hands the segments over on time until the end or a reset; if the
        receiver has gone, resets the sender, as the receiver's TCP would."""
        while True:
            at, kind, data = await self.queue.get()
            if not self.broken and at > self.loop.time():
                await asyncio.sleep(at - self.loop.time())
            self.queued -= len(data)
            self.room.set()
            if kind != "data":
                self.ended = kind
                if self.broken:
                    return
                try:
                    if kind == "reset":
                        reset(self.writer)
                    elif self.writer.can_write_eof():
                        self.writer.write_eof()
                except OSError:
                    pass  # the receiver has gone already
                return
            if self.broken:
                continue
            try:
                self.writer.write(data)
                await self.writer.drain()
            except (ConnectionError, OSError):
                self.broken = True
                self.ended = "receiver gone"
                reset(source)

    def summary(self):
        losses = ", ".join(f"{where} due +{at:.2f} s, lost {n}x, {delay:.2f} s late"
                           for where, at, n, delay in self.losses)
        return (f"{self.name} {self.bytes} B in {self.segments} segments, "
                f"{len(self.losses)} lost{' (' + losses + ')' if losses else ''}, {self.ended}")


class Proxy:
    def __init__(self, upstream, link, seed):
        self.upstream = upstream
        self.link = link
        self.seed = seed
        self.count = 0
        # The report line of each connection still open, by its number.
        self.open = {}

    async def serve(self, client_reader, client_writer):
        loop = asyncio.get_running_loop()
        started = loop.time()
        self.count += 1
        number = self.count
        key = f"{self.seed}/{number}"
        syn_delay, syn_lost = self.link.repair(f"{key}/SYN", INITIAL_RTO)
        synack_delay, synack_lost = self.link.repair(f"{key}/SYN-ACK", INITIAL_RTO)
        # The client is connected, and may send, once the SYN-ACK is back;
        # the server (below) once the client's ACK has come, half a round
        # trip later.
        up = started + self.link.rtt + syn_delay + synack_delay
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.upstream)
        except OSError as error:
            print(f"connection {number}: upstream: {error}", file=sys.stderr, flush=True)
            reset(client_writer)
            return
        ways = [
            Direction("client->server", self.link, f"{key}/up", up, client_reader, server_writer),
            Direction("server->client", self.link, f"{key}/down", up + self.link.rtt / 2,
                      server_reader, client_writer),
        ]

        def report():
            return (f"connection {number} at {started:.3f}, "
                    f"{loop.time() - started:.2f} s: set-up {up - started:.2f} s "
                    f"(SYN lost {syn_lost}, SYN-ACK lost {synack_lost}); "
                    + "; ".join(way.summary() for way in ways))

        self.open[number] = report
        failures = await asyncio.gather(
            ways[0].read(started), ways[0].deliver(client_writer),
            ways[1].read(started), ways[1].deliver(server_writer), return_exceptions=True)
        del self.open[number]
        for failure in failures:
            if failure is not None:
                print(f"connection {number}: {failure!r}", file=sys.stderr, flush=True)
        for writer in (client_writer, server_writer):
            writer.close()
        print(report(), file=sys.stderr, flush=True)

    def report_open(self):
        """Reports the connections still open, as when they end."""
        for report in self.open.values():
            print(report(), file=sys.stderr, flush=True)


async def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--rtt", type=float, default=0, help="round-trip time in ms")
    parser.add_argument("--rate", type=float, default=0,
                        help="bandwidth of each direction in kbit/s; 0 for no limit")
    parser.add_argument("--loss", type=float, default=0,
                        help="probability that a segment is lost, 0 to 1")
    parser.add_argument("--seed", default="0")
    args = parser.parse_args()
    proxy = Proxy(args.upstream, Link(args.rtt / 1000, args.rate * 1000, args.loss), args.seed)
    server = await asyncio.start_server(proxy.serve, "127.0.0.1", args.listen)
    # Stopped, the proxy still says what it did to the connections it had.
    stop = asyncio.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(number, stop.set)
    print("ready", flush=True)
    async with server:
        await stop.wait()
    proxy.report_open()


if __name__ == "__main__":
    asyncio.run(main())
