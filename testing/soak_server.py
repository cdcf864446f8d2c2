#!/usr/bin/env python3
"""An HTTP/1.1 server for the fault soak: answers kelv on loopback and misbehaves now and then.

Each request gets one of: a 200 answer, a non-2xx answer (503), a reset in the middle of the
response (part of it, then an RST), bytes that are not HTTP, or a stall (the answer comes after
a pause). A request for a path starting with /close is answered with "Connection: close" and
the connection closed; any other path is kept alive. The soak driver kills, stops and restarts
this process while kelv runs: everything it has to learn is in the tally file, a shared memory
map that survives a SIGKILL, so no count is lost with the process.

The tally file (created by the driver with Tally.create) holds unsigned 32-bit words:
  HEADER          the epoch number set by the driver (0: outside every window), then the
                  monotonic time (a double) that bucket 0 starts at
  DISTINCT        per epoch and path class, the connections that completed a response in it
  buckets         per millisecond since that time, one counter per KINDS entry (below): the
                  responses sent in it (stamped right after the write) and the faults injected

Standard library only, one asyncio loop. It prints "READY <port>" once it listens, and ends by
itself after --lifetime seconds, or at once on SIGTERM.

Usage: soak_server.py --port N --tally FILE [--seed N] [--reset-rate F] [--garbage-rate F]
                      [--stall-rate F] [--stall-ms N] [--error-rate F] [--lifetime S]
"""

import argparse
import asyncio
import mmap
import random
import resource
import signal
import socket
import struct
import sys
import time

# Path classes: kept-alive and closing connections are counted apart.
KEEP, CLOSE = 0, 1
CLASSES = 2
# Per class: answers with a 2xx status, with another status, faults that must cost the client
# exactly one socket error (a reset or garbage), and stalls begun.
OK, NON_2XX, ERROR_FAULT, STALL = 0, 1, 2, 3
PER_CLASS = 4
KINDS = CLASSES * PER_CLASS
MAX_EPOCHS = 4096
EPOCH_WORD = 0
T0_OFFSET = 8  # bytes: a double after the epoch word and its padding
DISTINCT_BASE = 16
BUCKET_BASE = DISTINCT_BASE + MAX_EPOCHS * CLASSES
WORD = 4

BODY = b"soak response body\n"
GARBAGE = b"SOAK \x00\xff this is no HTTP status line\r\n\r\n"
LISTEN_BACKLOG = 1024


def kind(path_class, what):
    return path_class * PER_CLASS + what


class Tally:
    """The shared tally file, mapped into memory."""

    def __init__(self, path):
        with open(path, "r+b") as f:
            self.map = mmap.mmap(f.fileno(), 0)
        self.words = memoryview(self.map).cast("I")
        self.t0 = struct.unpack_from("d", self.map, T0_OFFSET)[0]
        self.buckets = (len(self.words) - BUCKET_BASE) // KINDS

    @staticmethod
    def create(path, seconds):
        """A zeroed file with room for that many seconds, starting now."""
        size = (BUCKET_BASE + int(seconds * 1000) * KINDS) * WORD
        with open(path, "wb") as f:
            f.truncate(size)
            f.write(struct.pack("=Iid", 0, 0, time.monotonic()))
        return Tally(path)

    def millis(self, when):
        return int((when - self.t0) * 1000)

    def add(self, what, when):
        bucket = self.millis(when)
        if 0 <= bucket < self.buckets:
            self.words[BUCKET_BASE + bucket * KINDS + what] += 1

    def sum(self, what, start, end):
        """Counts of one kind stamped in [start, end), monotonic seconds."""
        first = max(0, self.millis(start))
        last = min(self.buckets, self.millis(end))
        if last <= first:
            return 0
        base = BUCKET_BASE + what
        return sum(self.words[base + first * KINDS:base + last * KINDS:KINDS])

    def set_epoch(self, epoch):
        self.words[EPOCH_WORD] = epoch

    def epoch(self):
        return self.words[EPOCH_WORD]

    def add_distinct(self, epoch, path_class):
        if 0 < epoch < MAX_EPOCHS:
            self.words[DISTINCT_BASE + epoch * CLASSES + path_class] += 1

    def distinct(self, epoch, path_class):
        return self.words[DISTINCT_BASE + epoch * CLASSES + path_class]

    def close(self):
        self.words.release()
        self.map.close()


def answer(status, reason, closing):
    extra = b"Connection: close\r\n" if closing else b""
    return b"HTTP/1.1 %d %s\r\nContent-Length: %d\r\n%s\r\n%s" % (
        status, reason, len(BODY), extra, BODY)


class SoakConnection(asyncio.Protocol):
    """One client connection; requests are GETs without a body, answered one at a time."""

    def __init__(self, server):
        self.server = server
        self.transport = None
        self.pending = b""
        self.stalled = False
        self.epoch = 0

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.pending += data
        self.serve()

    def serve(self):
        while not self.stalled and not self.transport.is_closing():
            end = self.pending.find(b"\r\n\r\n")
            if end < 0:
                return
            head = self.pending[:end]
            self.pending = self.pending[end + 4:]
            self.handle(head)

    def handle(self, head):
        path_class = CLOSE if head.startswith(b"GET /close") else KEEP
        closing = path_class == CLOSE or b"\r\nconnection: close" in head.lower()
        draw = self.server.rng.random()
        args = self.server.args
        if draw < args.reset_rate:
            self.reset(path_class)
        elif draw < args.reset_rate + args.garbage_rate:
            # The client cannot parse this and must drop the connection by itself.
            self.transport.write(GARBAGE)
            self.server.tally.add(kind(path_class, ERROR_FAULT), time.monotonic())
        elif draw < args.reset_rate + args.garbage_rate + args.stall_rate:
            self.stalled = True
            self.server.tally.add(kind(path_class, STALL), time.monotonic())
            delay = self.server.rng.uniform(0.1, args.stall_ms / 1000.0)
            asyncio.get_running_loop().call_later(delay, self.end_stall, path_class, closing)
        else:
            self.respond(path_class, closing)

    def reset(self, path_class):
        """Part of a response, then an RST instead of the rest."""
        whole = answer(200, b"OK", False)
        self.transport.write(whole[:len(whole) - len(BODY) // 2])
        sock = self.transport.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.transport.abort()
        self.server.tally.add(kind(path_class, ERROR_FAULT), time.monotonic())

    def end_stall(self, path_class, closing):
        self.stalled = False
        if self.transport.is_closing():
            return
        self.respond(path_class, closing)
        self.serve()

    def respond(self, path_class, closing):
        if self.server.rng.random() < self.server.args.error_rate:
            what, data = NON_2XX, answer(503, b"Service Unavailable", closing)
        else:
            what, data = OK, answer(200, b"OK", closing)
        self.transport.write(data)
        tally = self.server.tally
        tally.add(kind(path_class, what), time.monotonic())
        epoch = tally.epoch()
        if epoch != self.epoch:
            self.epoch = epoch
            tally.add_distinct(epoch, path_class)
        if closing:
            self.transport.close()


class SoakServer:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.tally = Tally(args.tally)


def raise_file_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


async def serve(args):
    server = SoakServer(args)
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, lambda: done.done() or done.set_result(None))
    loop.call_later(args.lifetime, lambda: done.done() or done.set_result(None))
    listener = await loop.create_server(lambda: SoakConnection(server), "127.0.0.1", args.port,
                                        backlog=LISTEN_BACKLOG, reuse_address=True)
    port = listener.sockets[0].getsockname()[1]
    print("READY %d" % port, flush=True)
    await done
    listener.close()


def parse_args(argv):
    parser = argparse.ArgumentParser(description="HTTP server that misbehaves, for the soak")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--tally", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--reset-rate", type=float, default=0.002)
    parser.add_argument("--garbage-rate", type=float, default=0.002)
    parser.add_argument("--stall-rate", type=float, default=0.002)
    parser.add_argument("--stall-ms", type=int, default=1500)
    parser.add_argument("--error-rate", type=float, default=0.05)
    parser.add_argument("--lifetime", type=float, default=120.0)
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    raise_file_limit()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
