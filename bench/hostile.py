#!/usr/bin/env python3
"""Hostile load against `brightloom-share serve`, as a stranger on the network would make it, with the
figures that tell whether the server holds: another visitor's answers meanwhile, memory and CPU.

Shapes (each against a fresh server, each bounded in count and in time):
  flood      4 slow readers of a folder archive and 5,000 more archive requests that never read, from one
             address, then from loopback with one forwarded address: another visitor's listing
             meanwhile, and how long the flood's connections are held
  archives   4 clients reading folder archives at one byte a second: when another visitor's archive of
             a three-file folder starts
  listing    200 slow clients of a 100,000-entry folder's listing: the server's peak memory and CPU,
             another visitor's listing meanwhile
  leaving    100 searches of a 100,000-entry share sent and closed at once: the server's CPU after
  searches   30 forwarded addresses searching back to back (IPv4 addresses, then one IPv6 /64), and
             one client doing the same: another visitor's search meanwhile

Everything stays on loopback (127.0.0.0/8).
Usage: hostile.py [--server PATH] [--against PATH] [--only SHAPE,...] [--scale F]
"""

import argparse
import os
import resource
import select
import shutil
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from served import Served  # noqa: E402


def percent(part, whole):
    return f"{100.0 * part / whole:.0f}%" if whole else "-"


def Server(binary, folder, work):
    """`brightloom-share serve` serving one folder as the share "s"."""
    return Served(binary, work, ["--slug", "s", folder])


def connect(port, source="127.0.0.1", blocking=True, receive_buffer=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.bind((source, 0))
    if blocking:
        sock.settimeout(10)
        sock.connect(("127.0.0.1", port))
    else:
        sock.setblocking(False)
        try:
            sock.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
    return sock


def request(target, forwarded=None):
    extra = f"Cf-Connecting-Ip: {forwarded}\r\n" if forwarded else ""
    return f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n{extra}\r\n".encode()


def timed_get(port, target, source="127.0.0.1", forwarded=None, timeout=10.0):
    """Seconds until the whole answer arrived, and its status; None when it did not in time."""
    started = time.monotonic()
    try:
        sock = connect(port, source)
        sock.settimeout(timeout)
        sock.sendall(request(target, forwarded))
        data = bytearray()
        while True:
            chunk = sock.recv(1 << 16)
            if not chunk:
                break
            data += chunk
        sock.close()
        return time.monotonic() - started, int(data[9:12] or 0)
    except OSError:
        return None, 0


class Watcher(threading.Thread):
    """Another visitor asking for something every interval while the shape runs."""

    def __init__(self, port, target, interval=0.25, source="127.0.0.3", forwarded=None, timeout=10.0):
        super().__init__(daemon=True)
        self.port, self.target, self.interval = port, target, interval
        self.source, self.forwarded, self.timeout = source, forwarded, timeout
        self.times, self.failed, self.going = [], 0, True
        self.slow = []  # (seconds into the shape, seconds taken) of answers over a second

    def run(self):
        began = time.monotonic()
        while self.going:
            asked = time.monotonic() - began
            took, status = timed_get(self.port, self.target, self.source, self.forwarded, self.timeout)
            if took is None or status != 200:
                self.failed += 1
            else:
                self.times.append(took)
                if took > 1:
                    self.slow.append((asked, took))
            time.sleep(self.interval)

    def report(self, what):
        self.going = False
        self.join(self.timeout + 1)
        if not self.times:
            return f"{what}: none answered, {self.failed} failed"
        ordered = sorted(self.times)
        return (f"{what}: {len(ordered)} answered, median {statistics.median(ordered) * 1000:.0f} ms, "
                f"p95 {ordered[int(len(ordered) * 0.95)] * 1000:.0f} ms, max {ordered[-1] * 1000:.0f} ms, "
                f"{self.failed} failed or over {self.timeout:.0f} s"
                + (f"; over 1 s: " + ", ".join(f"{t:.1f} s at {a:.0f} s" for a, t in self.slow[:5]) if self.slow else ""))


def slow_reader(port, target, source, seconds, stop, forwarded=None):
    """Reads an answer one byte a second."""
    try:
        sock = connect(port, source, receive_buffer=4096)
        sock.sendall(request(target, forwarded))
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not stop.is_set():
            if not sock.recv(1):
                break
            time.sleep(1)
        sock.close()
    except OSError:
        pass


def sparse(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.truncate(size)


def small_files(folder, count=3):
    os.makedirs(folder, exist_ok=True)
    for n in range(count):
        with open(os.path.join(folder, f"file-{n}.txt"), "wb") as out:
            out.write(os.urandom(2000))


def many_entries(folder, count, per_folder=None):
    """count hard links to one empty file, in one folder or in folders of per_folder each."""
    os.makedirs(folder, exist_ok=True)
    for n in range(count):
        # A file takes at most 65,000 links on some file systems.
        if n % 60_000 == 0:
            original = f"{folder}.original-{n}"
            open(original, "wb").close()
        sub = folder if not per_folder else os.path.join(folder, f"f{n // per_folder}")
        if per_folder and n % per_folder == 0:
            os.makedirs(sub, exist_ok=True)
        os.link(original, os.path.join(sub, f"entry-{n}.dat"))


# -------------------------------------------------------------------------------------------- shapes


def shape_flood(binary, work, scale):
    root = os.path.join(work, "share")
    for n in range(4):
        sparse(os.path.join(root, "big", f"part-{n}.mp4"), 1 << 30)
    small_files(os.path.join(root, "docs"))
    count = max(10, int(5000 * scale))
    for label, source, forwarded in (("one address", "127.0.0.2", None),
                                     ("loopback, one forwarded address", "127.0.0.1", "198.51.100.7")):
        server = Server(binary, root, os.path.join(work, label.split(",")[0].replace(" ", "-")))
        stop = threading.Event()
        readers = [threading.Thread(target=slow_reader, args=(server.port, "/s/big/?download=1", source, 120, stop, forwarded),
                                    daemon=True) for _ in range(4)]
        for reader in readers:
            reader.start()
        time.sleep(1)
        watcher = Watcher(server.port, "/__browse/s?path=docs", timeout=5.0)
        watcher.start()
        started = time.monotonic()
        flood, ended = {}, {}
        poller = select.poll()
        for _ in range(count):
            try:
                sock = connect(server.port, source, blocking=False)
            except OSError:
                continue
            flood[sock.fileno()] = (sock, False)
            poller.register(sock, select.POLLOUT | select.POLLIN)
        payload = request("/s/big/?download=1", forwarded)
        busy = 0
        deadline = started + 50
        while len(ended) < len(flood) and time.monotonic() < deadline:
            for fd, event in poller.poll(200):
                sock, sent = flood[fd]
                if event & select.POLLOUT and not sent:
                    try:
                        sock.send(payload)
                    except OSError:
                        pass
                    flood[fd] = (sock, True)
                    poller.modify(sock, select.POLLIN)
                    continue
                try:
                    data = sock.recv(4096)
                except OSError:
                    data = b""
                if data.startswith(b"HTTP/1.1 503"):
                    busy += 1
                if not data or data.startswith(b"HTTP/1.1 503"):
                    ended[fd] = time.monotonic() - started
                    poller.unregister(sock)
        held = len(flood) - len(ended)
        last = max(ended.values()) if ended else 0
        print(f"  flood from {label}: {len(flood)} requests, {busy} answered busy, {len(ended)} ended "
              f"(the last after {last:.1f} s), {held} still held after 50 s")
        print("  " + watcher.report("another visitor's listing"))
        stop.set()
        for sock, _ in flood.values():
            sock.close()
        server.stop()


def shape_archives(binary, work, scale):
    root = os.path.join(work, "share")
    for n in range(4):
        sparse(os.path.join(root, "big", f"part-{n}.mp4"), 1 << 30)
    small_files(os.path.join(root, "three"))
    server = Server(binary, root, os.path.join(work, "archives"))
    stop = threading.Event()
    readers = [threading.Thread(target=slow_reader, args=(server.port, "/s/big/?download=1", f"127.0.0.{11 + n}", 60, stop),
                                daemon=True) for n in range(4)]
    for reader in readers:
        reader.start()
    time.sleep(3)
    started = time.monotonic()
    sock = connect(server.port, "127.0.0.20")
    sock.settimeout(40)
    sock.sendall(request("/s/three/?download=1"))
    first, whole = None, None
    try:
        data = bytearray()
        while True:
            chunk = sock.recv(1 << 16)
            if not chunk:
                break
            if first is None:
                first = time.monotonic() - started
            data += chunk
        whole = time.monotonic() - started
    except OSError:
        pass
    sock.close()
    print(f"  another visitor's archive of three files: first byte "
          f"{'after %.2f s' % first if first is not None else 'not within 40 s'}, "
          f"whole {'after %.2f s' % whole if whole is not None else 'not within 40 s'}")
    stop.set()
    server.stop()


def shape_listing(binary, work, scale):
    root = os.path.join(work, "share")
    entries = max(1000, int(100_000 * scale))
    many_entries(os.path.join(root, "many"), entries)
    small_files(os.path.join(root, "docs"))
    server = Server(binary, root, os.path.join(work, "listing"))
    timed_get(server.port, "/__browse/s?path=docs")
    rss_before = server.status("VmRSS")
    cpu_before = server.cpu_seconds()
    watcher = Watcher(server.port, "/__browse/s?path=docs", timeout=5.0)
    watcher.start()
    clients = max(2, int(200 * scale))
    payload = request("/__browse/s?path=many")
    sockets = []
    for n in range(clients):
        sock = connect(server.port, "127.0.0.4", receive_buffer=16384)
        sock.sendall(payload)
        sock.setblocking(False)
        sockets.append(sock)
    received = [0] * clients
    done = [False] * clients
    started = time.monotonic()
    peak = 0
    # Each client takes 64 KiB every quarter of a second: 14 MB in about a minute.
    while not all(done) and time.monotonic() - started < 120:
        for n, sock in enumerate(sockets):
            if done[n]:
                continue
            try:
                chunk = sock.recv(65536)
                if not chunk:
                    done[n] = True
                received[n] += len(chunk)
            except BlockingIOError:
                pass
            except OSError:
                done[n] = True
        peak = max(peak, server.status("VmRSS"))
        time.sleep(0.25)
    took = time.monotonic() - started
    for sock in sockets:
        sock.close()
    print(f"  {clients} slow clients of a {entries}-entry listing: {sum(done)} whole in {took:.0f} s, "
          f"{statistics.median(received) / 1e6:.1f} MB each; server memory {rss_before / 1024:.0f} MiB before, "
          f"peak {max(peak, server.status('VmHWM')) / 1024:.0f} MiB; CPU {server.cpu_seconds() - cpu_before:.1f} s")
    print("  " + watcher.report("another visitor's listing"))
    server.stop()


def shape_leaving(binary, work, scale):
    root = os.path.join(work, "share")
    entries = max(1000, int(100_000 * scale))
    many_entries(os.path.join(root, "tree"), entries, per_folder=1000)
    server = Server(binary, root, os.path.join(work, "leaving"))
    took, _ = timed_get(server.port, "/__search/s?q=nothing-like-this", timeout=60)
    print(f"  one search of {entries} entries: {took:.2f} s")
    time.sleep(1)
    cpu_before = server.cpu_seconds()
    for n in range(100):
        sock = connect(server.port)
        sock.sendall(request("/__search/s?q=nothing-like-this", f"192.0.2.{n + 1}"))
        sock.close()
    time.sleep(10)
    print(f"  100 searches sent and closed at once: server CPU {server.cpu_seconds() - cpu_before:.2f} s in the 10 s after")
    server.stop()


def shape_searches(binary, work, scale):
    root = os.path.join(work, "share")
    entries = max(1000, int(30_000 * scale))
    many_entries(os.path.join(root, "tree"), entries, per_folder=1000)
    target = "/__search/s?q=nothing-like-this"
    for label, addresses in (("30 IPv4 addresses", [f"198.51.100.{n + 1}" for n in range(30)]),
                             ("30 addresses of one IPv6 /64", [f"2001:db8:1:2::{n + 1:x}" for n in range(30)]),
                             ("one address", ["198.51.100.200"] * 30)):
        server = Server(binary, root, os.path.join(work, "searches-" + str(len(label))))
        took, _ = timed_get(server.port, target, timeout=60)
        stop = threading.Event()

        def flood(address):
            while not stop.is_set():
                timed_get(server.port, target, forwarded=address, timeout=30)

        threads = [threading.Thread(target=flood, args=(a,), daemon=True) for a in addresses]
        for thread in threads:
            thread.start()
        time.sleep(2)
        watcher = Watcher(server.port, target, interval=0.5, forwarded="203.0.113.99", timeout=30)
        watcher.start()
        time.sleep(20)
        stop.set()
        print(f"  {label} searching back to back (one search alone: {took * 1000:.0f} ms): "
              + watcher.report("another visitor's search"))
        for thread in threads:
            thread.join(35)
        server.stop()


SHAPES = {"flood": shape_flood, "archives": shape_archives, "listing": shape_listing, "leaving": shape_leaving,
          "searches": shape_searches}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", default=os.path.join(os.environ.get("BUILD_DIR", "build"), "brightloom-share"))
    parser.add_argument("--only", default=",".join(SHAPES))
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--against", help="another build's binary, run shape by shape beside this one")
    arguments = parser.parse_args()
    binaries = [os.path.abspath(arguments.server)]
    if arguments.against:
        binaries.insert(0, os.path.abspath(arguments.against))
    for binary in binaries:
        if not os.access(binary, os.X_OK):
            print(f"hostile: {binary} is missing; run make build first", file=sys.stderr)
            return 2
    # The flood's own sockets.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    for name in arguments.only.split(","):
        for binary in binaries:
            work = tempfile.mkdtemp(prefix=f"brightloom-hostile-{name}-")
            try:
                print(f"{name}" + (f" ({binary})" if len(binaries) > 1 else "") + ":", flush=True)
                SHAPES[name](binary, work, arguments.scale)
            finally:
                shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
