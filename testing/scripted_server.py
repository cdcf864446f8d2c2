#!/usr/bin/env python3
"""A small scripted HTTP/1.1 server for tests of the request engine and of the kelv binary.

It listens on 127.0.0.1 (or ::1) on a port the system picks, answers every request it reads with
the chosen behaviour, records the raw bytes each connection sent, and counts connections and
requests. Standard library only; one thread per connection; it ends by itself after --lifetime
seconds, and at once on SIGTERM or SIGINT.

Usage:
  scripted_server.py [--ipv6] [--behaviour NAME] [--after N] [--pause MS] [--body TEXT]
                     [--size BYTES] [--record FILE] [--stats FILE] [--tls CERT KEY] [--tls-drop]
                     [--tls-hold]
                     [--lifetime SECONDS] [--max-connections N]
                     [--delay MS] [--capacity N] [--freeze-for MS --freeze-after S
                     [--freeze-every S]] [--arrivals FILE]

Standard output:
  first line   "PORT <n>" (flushed as soon as the socket listens)
  on exit      "STATS connections=<c> requests=<r>"

--behaviour NAME, how each request is answered (default ok):
  ok               "HTTP/1.1 200 OK" with Content-Length and the body; the connection stays open
  notfound         "HTTP/1.1 404 Not Found" with Content-Length; the connection stays open
  close            200 with "Connection: close", then the server closes the connection
  http10           "HTTP/1.0 200 OK" with Content-Length and no keep-alive, then close
  eof-body         200 with neither Content-Length nor chunked framing; the body ends when the
                   server closes the connection
  split            the ok response sent in three pieces, with --pause between them; stays open
  close-no-answer  the request is read and the connection closed without an answer
  garbage          bytes that are not HTTP are sent back; the connection stays open
  hang             the request is read and never answered; the connection stays open
  reset            the connection is reset (SO_LINGER 0, then close: the peer gets an RST)
  upgrade          "HTTP/1.1 101 Switching Protocols" (Connection: Upgrade) followed at once by
                   the body as bytes of the new protocol; the connection stays open
  big-header       the ok response with one extra header line of --size bytes; stays open
  big-body         200 with a Content-Length body of --size bytes; stays open
  big-chunked      200 with a chunked body of --size bytes in 64 KiB chunks; stays open
  bad-chunk        200 announcing a chunked body whose first chunk size is not hexadecimal
  no-status-line   header lines and the body without a status line before them
  line-reply       not HTTP: every LF-ended line received is one request, answered with the
                   body's bytes as they are (no line end added); the connection stays open
  line-silent      as line-reply, but lines are never answered (--after N: the first N are)
Requests with the method HEAD get the answer's head alone (Content-Length as for the body).
--after N          the first N requests of every connection get the ok answer, the behaviour
                   applies from request N+1 on (default 0)
--pause MS         pause between the pieces of a split answer (default 100)
--body TEXT        body of the ok, notfound and split answers, and the reply of the line
                   behaviours (default "ok")
--size BYTES       size of the big-header line and of the big-body and big-chunked bodies
                   (default 1048576)
--record FILE      every chunk of bytes received is appended to FILE as one block:
                       "=== connection <c> bytes <n>\n" followed by the n raw bytes and "\n"
                   where <c> numbers the connections from 0 in accept order
--stats FILE       rewritten (atomically, by rename) after every accepted connection and every
                   request read, as the line "connections=<c> requests=<r>\n"
--tls CERT KEY     serve TLS with that certificate and key (PEM); on close the server sends its
                   close notification ...
--tls-drop         ... unless this is given: then the TCP stream is simply closed
--tls-hold         TLS: a connection that ends is held open, with no close notification,
                   until the server stops
--lifetime S       exit after S seconds (default 120)
--max-connections  connections served at once; further ones are closed at once (default 512)
--delay MS         every answer waits this long after its request was read (fractions allowed)
--capacity N       the server as a whole answers at most N requests per second, one after
                   another in the order they were read: a server that falls behind
--freeze-for MS    the server answers nothing for MS milliseconds, beginning --freeze-after
                   seconds after the first request, and again every --freeze-every seconds
                   (0: once); answers held up go out when the freeze ends
--arrivals FILE    on exit, the arrival time of every request, in seconds of the monotonic
                   clock, one per line in arrival order
"""

import argparse
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time

GARBAGE = b"this is not HTTP at all\r\n\r\n"
UPGRADE = b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: echo\r\n\r\n"
BAD_CHUNK = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nok\r\n0\r\n\r\n"
PIECE_SIZE = 64 * 1024
HEADER_LIMIT = 64 * 1024
SOCKET_TIMEOUT = 30.0


class Counts:
    """Connections accepted and requests read, with the optional stats file."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.connections = 0
        self.requests = 0
        self.path = path
        self.write()

    def add_connection(self):
        with self.lock:
            number = self.connections
            self.connections += 1
            self.write()
            return number

    def add_request(self):
        with self.lock:
            self.requests += 1
            self.write()

    def line(self):
        return "connections=%d requests=%d" % (self.connections, self.requests)

    def write(self):
        if not self.path:
            return
        temporary = self.path + ".tmp"
        with open(temporary, "w") as out:
            out.write(self.line() + "\n")
        os.replace(temporary, self.path)


class Recorder:
    """Appends every chunk received to the record file, one block per chunk."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "ab") if path else None

    def chunk(self, connection, data):
        if self.file is None:
            return
        with self.lock:
            self.file.write(b"=== connection %d bytes %d\n" % (connection, len(data)))
            self.file.write(data + b"\n")
            self.file.flush()


def response(status, reason, body, extra=b"", version=b"HTTP/1.1", shown=None):
    head = b"%s %d %s\r\nContent-Length: %d\r\nContent-Type: text/plain\r\n" % (
        version, status, reason, len(body))
    return head + extra + b"\r\n" + (body if shown is None else shown)


class Pacing:
    """When an answer may go out: after --delay, behind the --capacity queue, after a freeze."""

    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.first = None  # arrival of the first request
        self.next_free = 0.0  # of the capacity queue
        self.arrivals = []

    def arrived(self):
        now = time.monotonic()
        with self.lock:
            if self.first is None:
                self.first = now
            if self.args.arrivals:
                self.arrivals.append(now)
        return now

    def frozen_until(self, t):
        """The end of the freeze that holds instant t, or t."""
        length = self.args.freeze_for / 1000.0
        if length <= 0 or self.first is None:
            return t
        since = t - self.first - self.args.freeze_after
        if since < 0:
            return t
        every = self.args.freeze_every
        if every > 0:
            since %= every
        elif since >= length:
            return t
        return t + (length - since) if since < length else t

    def wait(self, arrival):
        ready = arrival + self.args.delay / 1000.0
        if self.args.capacity > 0:
            with self.lock:
                self.next_free = max(self.next_free, ready) + 1.0 / self.args.capacity
                ready = self.next_free
        ready = self.frozen_until(ready)
        while True:
            left = ready - time.monotonic()
            if left <= 0:
                return
            time.sleep(left)

    def write(self):
        if self.args.arrivals:
            with open(self.args.arrivals, "w") as out:
                out.write("".join("%.9f\n" % t for t in self.arrivals))


class Connection:
    """Serves one accepted connection on its own thread."""

    def __init__(self, server, raw, number):
        self.server = server
        self.sock = raw
        self.tls = False
        self.number = number
        self.pending = b""

    def run(self):
        try:
            self.sock.settimeout(SOCKET_TIMEOUT)
            if self.server.tls_context is not None:
                # The TLS socket takes the descriptor over from the plain one.
                self.sock = self.server.tls_context.wrap_socket(
                    self.sock, server_side=True, do_handshake_on_connect=False)
                self.tls = True
                self.sock.do_handshake()
            self.serve()
        except (OSError, ValueError):
            pass
        finally:
            self.server.release()
            self.close()

    def serve(self):
        answered = 0
        lines = self.server.args.behaviour.startswith("line-")
        first = "line-reply" if lines else "ok"
        while not self.server.stopping.is_set():
            request = self.read_line() if lines else self.read_request()
            if request is None:
                return
            arrival = self.server.pacing.arrived()
            self.server.counts.add_request()
            self.server.pacing.wait(arrival)
            behaviour = first if answered < self.server.args.after else self.server.args.behaviour
            answered += 1
            if not self.answer(behaviour, request):
                return

    def receive(self):
        data = self.sock.recv(65536)
        if data:
            self.server.recorder.chunk(self.number, data)
        return data

    def read_request(self):
        """Reads one request head and its Content-Length body; None when the peer is gone."""
        if not self.read_until(b"\r\n\r\n"):
            return None
        head, _, rest = self.pending.partition(b"\r\n\r\n")
        length = content_length(head)
        while len(rest) < length:
            data = self.receive()
            if not data:
                return None
            rest += data
        self.pending = rest[length:]
        return head

    def read_line(self):
        """Reads one LF-ended line; None when the peer is gone."""
        if not self.read_until(b"\n"):
            return None
        line, _, self.pending = self.pending.partition(b"\n")
        return line

    def read_until(self, marker):
        """Receives until the pending bytes hold the marker; False when the peer is gone or
        more than HEADER_LIMIT bytes came without it."""
        while marker not in self.pending:
            if len(self.pending) > HEADER_LIMIT:
                return False
            data = self.receive()
            if not data:
                return False
            self.pending += data
        return True

    def answer(self, behaviour, head):
        """Sends the answer; False when the connection is to end."""
        body = self.server.args.body.encode()
        # A response to HEAD announces the body's length but does not carry it.
        shown = b"" if head.startswith(b"HEAD ") else body
        client_closes = b"\r\nconnection: close" in head.lower()
        if behaviour == "ok":
            self.sock.sendall(response(200, b"OK", body, shown=shown))
        elif behaviour == "notfound":
            self.sock.sendall(response(404, b"Not Found", body, shown=shown))
        elif behaviour == "close":
            self.sock.sendall(response(200, b"OK", body, b"Connection: close\r\n", shown=shown))
            return False
        elif behaviour == "http10":
            self.sock.sendall(response(200, b"OK", body, version=b"HTTP/1.0", shown=shown))
            return False
        elif behaviour == "eof-body":
            self.sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body)
            return False
        elif behaviour == "upgrade":
            self.sock.sendall(UPGRADE + body)
        elif behaviour == "big-header":
            filler = b"X-Filler: " + b"h" * self.server.args.size + b"\r\n"
            self.sock.sendall(response(200, b"OK", body, filler, shown=shown))
        elif behaviour == "big-body":
            self.sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"
                              % self.server.args.size)
            if shown:
                self.send_pieces(lambda piece: piece)
        elif behaviour == "big-chunked":
            self.sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            self.send_pieces(lambda piece: b"%x\r\n%s\r\n" % (len(piece), piece))
            self.sock.sendall(b"0\r\n\r\n")
        elif behaviour == "bad-chunk":
            self.sock.sendall(BAD_CHUNK)
        elif behaviour == "no-status-line":
            self.sock.sendall(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        elif behaviour == "line-reply":
            self.sock.sendall(body)
        elif behaviour == "line-silent":
            pass
        elif behaviour == "split":
            self.send_split(response(200, b"OK", body, shown=shown))
        elif behaviour == "close-no-answer":
            return False
        elif behaviour == "garbage":
            self.sock.sendall(GARBAGE)
        elif behaviour == "hang":
            self.wait_for_peer()
            return False
        elif behaviour == "reset":
            self.reset()
            return False
        return not client_closes

    def send_split(self, data):
        third = max(1, len(data) // 3)
        pieces = [data[:third], data[third:2 * third], data[2 * third:]]
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(self.server.args.pause / 1000.0)
            self.sock.sendall(piece)

    def send_pieces(self, frame):
        """Sends --size bytes of body in pieces of PIECE_SIZE, each passed through frame."""
        left = self.server.args.size
        piece = b"b" * PIECE_SIZE
        while left > 0:
            self.sock.sendall(frame(piece[:left]))
            left -= PIECE_SIZE

    def wait_for_peer(self):
        """Never answers: keeps reading (and recording) until the peer or the server ends."""
        self.sock.settimeout(0.2)
        while not self.server.stopping.is_set():
            try:
                if not self.receive():
                    return
            except socket.timeout:
                continue

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
        self.sock = None

    def close(self):
        """Ends the connection; a TLS one with a close notification unless --tls-drop."""
        if self.sock is None:
            return
        if self.tls and self.server.args.tls_hold:
            self.server.stopping.wait()
        if self.tls and not self.server.args.tls_drop:
            try:
                self.sock.settimeout(2.0)
                self.sock = self.sock.unwrap()
            except (OSError, ValueError):
                pass
        try:
            self.sock.close()
        except OSError:
            pass
        self.sock = None


def content_length(head):
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                return max(0, int(value.strip()))
            except ValueError:
                return 0
    return 0


class Server:
    def __init__(self, args):
        self.args = args
        self.stopping = threading.Event()
        self.counts = Counts(args.stats)
        self.recorder = Recorder(args.record)
        self.pacing = Pacing(args)
        self.slots = threading.BoundedSemaphore(args.max_connections)
        self.tls_context = None
        if args.tls:
            self.tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls_context.load_cert_chain(args.tls[0], args.tls[1])
        family, host = (socket.AF_INET6, "::1") if args.ipv6 else (socket.AF_INET, "127.0.0.1")
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, 0))
        self.listener.listen(128)
        self.listener.settimeout(0.2)

    def release(self):
        self.slots.release()

    def serve(self):
        deadline = time.monotonic() + self.args.lifetime
        while not self.stopping.is_set() and time.monotonic() < deadline:
            try:
                raw, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            number = self.counts.add_connection()
            if not self.slots.acquire(blocking=False):
                raw.close()
                continue
            worker = Connection(self, raw, number)
            threading.Thread(target=worker.run, daemon=True).start()
        self.stopping.set()
        self.listener.close()


def parse_args():
    parser = argparse.ArgumentParser(description="Scripted HTTP/1.1 test server")
    parser.add_argument("--ipv6", action="store_true")
    parser.add_argument("--behaviour", default="ok", choices=[
        "ok", "notfound", "close", "http10", "eof-body", "split", "close-no-answer",
        "garbage", "hang", "reset", "upgrade", "big-header", "big-body", "big-chunked",
        "bad-chunk", "no-status-line", "line-reply", "line-silent"])
    parser.add_argument("--after", type=int, default=0)
    parser.add_argument("--pause", type=int, default=100)
    parser.add_argument("--body", default="ok")
    parser.add_argument("--size", type=int, default=1024 * 1024)
    parser.add_argument("--record", default="")
    parser.add_argument("--stats", default="")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--tls-drop", action="store_true")
    parser.add_argument("--tls-hold", action="store_true")
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--max-connections", type=int, default=512)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--capacity", type=float, default=0.0)
    parser.add_argument("--freeze-for", type=float, default=0.0)
    parser.add_argument("--freeze-after", type=float, default=0.0)
    parser.add_argument("--freeze-every", type=float, default=0.0)
    parser.add_argument("--arrivals", default="")
    return parser.parse_args()


def main():
    args = parse_args()
    server = Server(args)

    def stop(_signum, _frame):
        server.stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("PORT %d" % server.listener.getsockname()[1], flush=True)
    server.serve()
    with server.counts.lock:
        line = server.counts.line()
    server.pacing.write()
    print("STATS " + line, flush=True)


if __name__ == "__main__":
    main()
