#!/usr/bin/env python3
"""Hostile input against `brightloom-share serve`, with the figures that say what it costs the server:
decoder bombs and many visitors asking for one thumbnail, unlock guesses rotating through one IPv6 /64
and spread over many networks, thousands of half-sent request bodies, and heads that cannot be read.

Each part prints what the server spent (peak and resident memory from /proc, CPU time) and what the
visitors saw. Run it against two builds to compare them (--server). Everything stays on 127.0.0.1; every
loop is bounded in count and time.

Usage: hostile_input.py [--server PATH] [--bodies N] [--guesses N] [--only PART...]
Parts: bombs, thumbnails, guesses, bodies, heads.
"""

import argparse
import os
import resource
import selectors
import shutil
import socket
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from served import Served  # noqa: E402
from soak import declared_jpeg, png_bytes, process_figures, read_answer, request_bytes  # noqa: E402

PASSWORD = "right password"
TIME_LIMIT = 60.0  # seconds any one part may take


def cpu_ms(server):
    return int(server.cpu_seconds() * 1000)


def mib(kib):
    return f"{kib / 1024:.0f} MiB"


def get(port, target, headers=None, timeout=TIME_LIMIT):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(request_bytes("GET", target, headers))
        return read_answer(sock)


def unlock(port, address, password):
    """One unlock attempt as the tunnel delivers it; whether it earned the cookie."""
    body = urllib.parse.urlencode({"password": password}).encode()
    with socket.create_connection(("127.0.0.1", port), timeout=TIME_LIMIT) as sock:
        sock.sendall(request_bytes("POST", "/__unlock/vault", {"Cf-Connecting-Ip": address}, body))
        answer = read_answer(sock)
    return bool(answer.headers.get("set-cookie"))


class Server(Served):
    """Two shares: "open", and "vault" behind PASSWORD."""

    def __init__(self, binary, work):
        self.open = os.path.join(work, "open")
        self.vault = os.path.join(work, "vault")
        os.makedirs(self.open)
        os.makedirs(self.vault)
        super().__init__(binary, work, ["--slug", "open", self.open, "--password", PASSWORD, "--slug", "vault",
                                        self.vault])

    def figures(self):
        return process_figures(self.pid)


def bombs(server):
    print("Decoder bombs (?thumb=1 on a few bytes declaring a huge picture):")
    warm = os.path.join(server.open, "warm.png")
    with open(warm, "wb") as out:
        out.write(png_bytes(64, 64, 1))
    get(server.port, "/open/warm.png?thumb=1")
    for name, jpeg in [("30,000 x 30,000 colour, progressive", declared_jpeg(30000, 30000, 3, True, 3)),
                       ("20,000 x 20,000 grey, progressive", declared_jpeg(20000, 20000, 1, True, 1)),
                       ("40,000 x 40,000 grey, progressive", declared_jpeg(40000, 40000, 1, True, 1)),
                       ("50,000 x 50,000 colour, baseline", declared_jpeg(50000, 50000, 3, False, 3)),
                       ("20,000 x 20,000 colour, one scan per colour", declared_jpeg(20000, 20000, 3, False, 1))]:
        path = os.path.join(server.open, f"bomb-{len(os.listdir(server.open))}.jpg")
        with open(path, "wb") as out:
            out.write(jpeg)
        server.reset_peak()
        before = server.figures()
        cpu = cpu_ms(server)
        started = time.monotonic()
        answer = get(server.port, "/open/" + os.path.basename(path) + "?thumb=1")
        took = time.monotonic() - started
        after = server.figures()
        print(f"  {name:44} {len(jpeg)} bytes: {answer.status} in {took * 1000:6.0f} ms, "
              f"{cpu_ms(server) - cpu:6d} ms CPU, peak {mib(after['hwm'])} (resident before {mib(before['rss'])})")


def thumbnails(server):
    print("Twenty visitors at once asking for one new photo's thumbnail (a 12-megapixel PNG):")
    for visitors in (1, 20):
        path = os.path.join(server.open, f"photo-{visitors}.png")
        with open(path, "wb") as out:
            out.write(png_bytes(4000, 3000, visitors))
        cpu = cpu_ms(server)
        server.reset_peak()
        started = time.monotonic()
        answers = []
        threads = [threading.Thread(target=lambda: answers.append(get(server.port, f"/open/photo-{visitors}.png?thumb=1")))
                   for _ in range(visitors)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(TIME_LIMIT)
        statuses = sorted({a.status for a in answers})
        print(f"  {visitors:2} visitors: {statuses} in {(time.monotonic() - started) * 1000:6.0f} ms, "
              f"{cpu_ms(server) - cpu:6d} ms CPU, peak {mib(server.figures()['hwm'])}")


def flood_guesses(server, address_of, guesses, workers):
    """Guesses from many addresses, every 25th with the right password; returns (answered, opened)."""
    counts = {"answered": 0, "opened": 0}
    lock = threading.Lock()
    deadline = time.monotonic() + TIME_LIMIT

    def work(first):
        for i in range(first, guesses, workers):
            if time.monotonic() > deadline:
                return
            try:
                opened = unlock(server.port, address_of(i), PASSWORD if i % 25 == 24 else f"guess {i}")
            except Exception as error:  # noqa: BLE001 - a failure is counted, not fatal
                with lock:
                    counts[type(error).__name__] = counts.get(type(error).__name__, 0) + 1
                continue
            with lock:
                counts["answered"] += 1
                counts["opened"] += opened

    threads = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(workers)]
    for thread in threads:
        thread.start()
    return threads, counts


def guesses(server, count):
    for name, address_of in [("one IPv6 /64", lambda i: f"2001:db8:1:2:{i:x}::1"),
                             ("many IPv4 networks", lambda i: f"10.{i // 65536}.{i // 256 % 256}.{i % 256}")]:
        started = time.monotonic()
        threads, counts = flood_guesses(server, address_of, count, 16)
        time.sleep(1.0)
        visitor = time.monotonic()
        visitor_in = unlock(server.port, "2001:db8:ffff::1" if "IPv6" in name else "192.0.2.1", PASSWORD)
        visitor_took = time.monotonic() - visitor
        for thread in threads:
            thread.join(TIME_LIMIT)
        took = time.monotonic() - started
        print(f"Unlock guesses from {name}: {counts['answered']} of {count} answered in {took:.1f} s; "
              f"{counts['opened']} of the {count // 25} right ones among them checked; "
              f"{ {k: v for k, v in counts.items() if k not in ('answered', 'opened')} or 'no failure'}; "
              f"a visitor from elsewhere {'got in' if visitor_in else 'was refused'} in {visitor_took * 1000:.0f} ms")


def bodies(server, count):
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    for what, target, length, sent in [
            ("1 MiB bodies to the unlock form", "/__unlock/vault", 1 << 20, (1 << 20) - 1),
            ("16 KiB bodies to the unlock form", "/__unlock/vault", 16 << 10, 8 << 10),
            ("1 MiB bodies to a listing", "/__browse/open?path=", 1 << 20, (1 << 20) - 1)]:
        server.reset_peak()
        before = server.figures()
        method = "GET" if target.startswith("/__browse/") else "POST"
        head = f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {length}\r\n\r\n".encode()
        selector = selectors.DefaultSelector()
        sockets = []
        for _ in range(count):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setblocking(False)
            sock.connect_ex(("127.0.0.1", server.port))
            sockets.append(sock)
            selector.register(sock, selectors.EVENT_WRITE, [head + bytes(sent), 0])
        # Sends what each socket takes until nothing more goes or the time is up; never reads.
        deadline = time.monotonic() + TIME_LIMIT / 2
        while selector.get_map() and time.monotonic() < deadline:
            events = selector.select(timeout=1.0)
            if not events:
                break
            for key, _ in events:
                data, offset = key.data
                try:
                    offset += key.fileobj.send(data[offset:offset + 256 * 1024])
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    offset = len(data)
                key.data[1] = offset
                if offset >= len(data):
                    selector.unregister(key.fileobj)
        time.sleep(2)
        holding = server.figures()
        for sock in sockets:
            sock.close()
        selector.close()
        time.sleep(15)
        after = server.figures()
        print(f"{count} half-sent {what}: peak {mib(holding['hwm'])}, resident while held "
              f"{mib(holding['rss'])}, 15 s after they closed {mib(after['rss'])} (before {mib(before['rss'])})")


def heads(server):
    print("Heads that cannot be read, the client keeping its side open:")
    for name, head in [("bare LF line ends", b"GET /open/ HTTP/1.1\nHost: x\n\n"),
                       ("a byte that is not UTF-8", b"GET /open/\xff HTTP/1.1\r\nHost: x\r\n\r\n")]:
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", server.port), timeout=40) as sock:
            sock.sendall(head)
            status = sock.recv(64).split(b" ")[1:2]
        print(f"  {name:26} {status[0].decode() if status else 'no answer'} after "
              f"{(time.monotonic() - started) * 1000:.0f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", default=os.path.join(os.environ.get("BUILD_DIR", "build"), "brightloom-share"))
    parser.add_argument("--bodies", type=int, default=4500)
    parser.add_argument("--guesses", type=int, default=20000)
    parser.add_argument("--only", nargs="*", default=["bombs", "thumbnails", "guesses", "bodies", "heads"])
    arguments = parser.parse_args()
    server_path = os.path.abspath(arguments.server)
    work = tempfile.mkdtemp(prefix="brightloom-hostile-")
    server = None
    try:
        server = Server(server_path, work)
        print(f"hostile_input: {server_path} on port {server.port}, idle at {mib(server.figures()['rss'])}")
        for part in arguments.only:
            if part == "bombs":
                bombs(server)
            elif part == "thumbnails":
                thumbnails(server)
            elif part == "guesses":
                guesses(server, min(arguments.guesses, 100_000))
            elif part == "bodies":
                bodies(server, min(arguments.bodies, 4800))
            elif part == "heads":
                heads(server)
        return 0
    finally:
        if server:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
