#!/usr/bin/env python3
"""A soak of `brightloom-share serve`: mixed traffic from several clients for a while, then a check that
nothing stayed behind.

The server serves two generated folders in a temporary HOME: "open" without a password and "locked" with
one. Clients (threads) send listings, metadata, pages, searches, downloads with and without ranges, HEADs,
folder archives, unlocks, wrong passwords up to the throttle and past it (from addresses of their own and
rotating through one IPv6 /64); others vanish mid-request, mid-body and mid-download, read slowly or send
slowly, or send hostile input: decoder bombs, many visitors at once for one new thumbnail, bodies past
their limit or where none is read, heads that cannot be read; public-link visitors (a forwarded address
each) ask for dozens of folder archives they hardly read, send searches and close at once, or ask for one
listing together. Every answer to a well-formed request is checked
(status, and the bytes of downloads and ranges, archives opened with zipfile).

Reports requests by outcome, peak memory, memory after the first minute and at the end, descriptors and
threads before and after, temporary files and child processes left. Exits 1 when a well-formed request
failed, when memory at the end is more than 10% above the one-minute figure, or when descriptors,
temporary files or child processes are left.

Everything stays on 127.0.0.1; every loop is bounded in count and in time.
Usage: soak.py [--seconds N] [--clients-per-role N] [--server PATH]
"""

import argparse
import hashlib
import io
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile
import zlib

PASSWORD = "soak password"
MAX_ITERATIONS = 1_000_000  # per client, whatever the duration
IO_TIMEOUT = 40.0  # seconds a well-formed request may take before it counts as failed


# ---------------------------------------------------------------------------------------------- data


def file_bytes(seed, size):
    """Deterministic contents, so a client can check any range of a file without reading the disk."""
    block = hashlib.sha256(seed.encode()).digest() * 2048  # 64 KiB
    return (block * (size // len(block) + 1))[:size]


class Tree:
    """A generated folder: files (relative path -> size) and folders (relative paths)."""

    def __init__(self, root):
        self.root = root
        self.files = {}
        self.folders = [""]
        self.small_folders = []

    def add_file(self, relative, size):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(file_bytes(relative, size))
        self.files[relative] = size

    def add_folder(self, relative):
        os.makedirs(os.path.join(self.root, relative), exist_ok=True)
        self.folders.append(relative)

    def content(self, relative):
        return file_bytes(relative, self.files[relative])


def make_tree(root, rng, big):
    tree = Tree(root)
    names = ["notes", "Photos 2024", "café & co", "a#b?c", "100% done", "日本語"]
    for index, name in enumerate(names):
        tree.add_folder(name)
        tree.small_folders.append(name)
        for n in range(12):
            tree.add_file(f"{name}/file {n}.txt", rng.randint(0, 48 * 1024))
        tree.add_folder(f"{name}/deeper")
        for n in range(4):
            tree.add_file(f"{name}/deeper/part-{index}-{n}.bin", rng.randint(1, 256 * 1024))
    tree.add_folder("large")
    for n in range(3):
        tree.add_file(f"large/medium-{n}.bin", 2 * 1024 * 1024 + n * 7777)
    if big:
        tree.add_file("large/big.bin", 24 * 1024 * 1024 + 123)
    tree.add_file("readme.txt", 1234)
    tree.add_file("empty.txt", 0)
    return tree


def declared_jpeg(width, height, components, progressive, scan_components):
    """156 bytes whose headers declare a picture of width by height: all a decoder reads before it
    allocates, and no picture. Progressive, or with a first scan of fewer components than the frame, its
    decoder would hold coefficients for the whole picture."""

    def segment(marker, body):
        return bytes([0xFF, marker]) + (len(body) + 2).to_bytes(2, "big") + body

    frame = bytes([8]) + height.to_bytes(2, "big") + width.to_bytes(2, "big") + bytes([components])
    frame += b"".join(bytes([c, 0x11, 0]) for c in range(1, components + 1))
    table = bytes([0, 1]) + bytes(15) + bytes([0])  # one DC code of one bit
    scan = bytes([scan_components]) + b"".join(bytes([c, 0]) for c in range(1, scan_components + 1))
    scan += b"\0\0\0" if progressive else b"\0\x3f\0"
    jpeg = (b"\xff\xd8" + segment(0xDB, bytes(1) + bytes([1]) * 64) + segment(0xC2 if progressive else 0xC0, frame)
            + segment(0xC4, table) + segment(0xDA, scan))
    return jpeg + bytes(154 - len(jpeg)) + b"\xff\xd9"


def png_bytes(width, height, seed):
    """A real PNG of 8-bit RGB, a pattern that differs with the seed."""
    pattern = bytes(range(256)) * ((width * 3) // 256 + 2)
    rows = b"".join(b"\0" + pattern[(y + seed) % 256 : (y + seed) % 256 + width * 3] for y in range(height))

    def chunk(kind, data):
        return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")

    header = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes([8, 2, 0, 0, 0])
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 1))
            + chunk(b"IEND", b""))


def quote_path(relative):
    return "/".join(urllib.parse.quote(part, safe="") for part in relative.split("/") if part)


# --------------------------------------------------------------------------------------------- HTTP


class Failure(Exception):
    pass


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body


def connect(port, receive_buffer=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(IO_TIMEOUT)
    sock.connect(("127.0.0.1", port))
    return sock


def request_bytes(method, target, headers=None, body=b""):
    lines = [f"{method} {target} HTTP/1.1", "Host: 127.0.0.1"]
    for name, value in (headers or {}).items():
        lines.append(f"{name}: {value}")
    if body or method == "POST":
        lines.append(f"Content-Length: {len(body)}")
    lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def read_answer(sock, head_only=False, pace=None):
    """Reads one answer to the end (the server closes after each). pace=(chunk, pause) reads slowly."""
    data = bytearray()
    deadline = time.monotonic() + IO_TIMEOUT * 3
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise Failure("connection closed before the answer's head")
        data += chunk
        if len(data) > 256 * 1024:
            raise Failure("answer head too large")
        if time.monotonic() > deadline:
            raise Failure("answer head too slow")
    head, _, rest = bytes(data).partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    if len(parts) < 2 or not parts[0].startswith("HTTP/1."):
        raise Failure(f"bad status line {lines[0]!r}")
    status = int(parts[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    body = bytearray(rest)
    if head_only:
        return Answer(status, headers, bytes(body))
    length = headers.get("content-length")
    chunked = "chunked" in ",".join(headers.get("transfer-encoding", [])).lower()
    expected = int(length[0]) if length and not chunked else None
    size = pace[0] if pace else 1 << 20
    while expected is None or len(body) < expected:
        if time.monotonic() > deadline:
            raise Failure("answer body too slow")
        chunk = sock.recv(size)
        if not chunk:
            break
        body += chunk
        if pace:
            time.sleep(pace[1])
    if expected is not None and len(body) < expected:
        raise Failure(f"body cut short: {len(body)} of {expected}")
    if chunked:
        body = dechunk(bytes(body))
    return Answer(status, headers, bytes(body))


def dechunk(data):
    out = bytearray()
    position = 0
    while True:
        end = data.index(b"\r\n", position)
        size = int(data[position:end].split(b";")[0], 16)
        position = end + 2
        if size == 0:
            return bytes(out)
        out += data[position : position + size]
        if len(data) < position + size:
            raise Failure("chunked body cut short")
        position += size + 2


def exchange(port, method, target, headers=None, body=b"", head_only=False, pace=None, receive_buffer=None):
    sock = connect(port, receive_buffer)
    try:
        sock.sendall(request_bytes(method, target, headers, body))
        return read_answer(sock, head_only=head_only or method == "HEAD", pace=pace)
    finally:
        sock.close()


def abort(sock):
    """Closes with a reset, as a vanished client's kernel would after a crash."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except OSError:
        pass
    sock.close()


# ------------------------------------------------------------------------------------------ clients


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.failures = []

    def add(self, kind, outcome, detail=None):
        with self.lock:
            self.counts[(kind, outcome)] = self.counts.get((kind, outcome), 0) + 1
            if outcome == "failed" and len(self.failures) < 20:
                self.failures.append(f"{kind}: {detail}")

    def total(self, outcome):
        with self.lock:
            return sum(n for (_, o), n in self.counts.items() if o == outcome)


class Soak:
    def __init__(self, port, trees, deadline, tally, seed):
        self.port = port
        self.open, self.locked = trees
        self.deadline = deadline
        self.tally = tally
        self.seed = seed
        self.cookie = None
        self.current = threading.local()  # the kind of request each client is making

    def going(self):
        return time.monotonic() < self.deadline

    def expect(self, answer, status, what):
        if answer.status != status:
            raise Failure(f"{what}: status {answer.status}, expected {status}")

    # Well-formed traffic ------------------------------------------------------------------------

    def browse(self, rng):
        tree = rng.choice([self.open, self.locked])
        slug, headers = self.slug_and_headers(tree)
        folder = rng.choice(tree.folders)
        choice = rng.randrange(5)
        if choice == 0:
            self.doing("listing")
            answer = exchange(self.port, "GET", f"/__browse/{slug}?path={urllib.parse.quote(folder, safe='')}", headers)
            self.expect(answer, 200, "listing")
            if b'"items"' not in answer.body and b"[" not in answer.body:
                raise Failure("listing without items")
            kind = "listing"
        elif choice == 1:
            self.doing("metadata")
            relative = rng.choice(sorted(tree.files))
            answer = exchange(self.port, "GET", f"/__meta/{slug}?path={urllib.parse.quote(relative, safe='')}", headers)
            self.expect(answer, 200, "metadata")
            kind = "metadata"
        elif choice == 2:
            self.doing("page")
            answer = exchange(self.port, "GET", f"/{slug}/{quote_path(folder)}", headers)
            self.expect(answer, 200, "page")
            if b"<html" not in answer.body.lower():
                raise Failure("page is not HTML")
            kind = "page"
        elif choice == 3:
            self.doing("search")
            word = rng.choice(["file", "part", "medium", "readme", "nothing-like-this"])
            answer = exchange(self.port, "GET", f"/__search/{slug}?q={word}", headers)
            self.expect(answer, 200, "search")
            kind = "search"
        else:
            self.doing("asset")
            answer = exchange(self.port, "GET", "/__asset/app-icon.png")
            if answer.status not in (200, 404):
                raise Failure(f"icon: status {answer.status}")
            kind = "asset"
        return kind

    def download(self, rng):
        tree = rng.choice([self.open, self.open, self.locked])
        slug, headers = self.slug_and_headers(tree)
        relative = rng.choice(sorted(tree.files))
        size = tree.files[relative]
        target = f"/{slug}/{quote_path(relative)}?download=1"
        choice = rng.randrange(4)
        if choice == 0 or size == 0:
            self.doing("download")
            answer = exchange(self.port, "GET", target, headers)
            self.expect(answer, 200, "download")
            if answer.body != tree.content(relative):
                raise Failure(f"download of {relative}: wrong bytes")
            return "download"
        if choice == 1:
            self.doing("head")
            answer = exchange(self.port, "HEAD", target, headers)
            self.expect(answer, 200, "HEAD")
            if answer.headers.get("content-length", ["?"])[0] != str(size):
                raise Failure(f"HEAD of {relative}: length {answer.headers.get('content-length')}")
            return "head"
        self.doing("range")
        first = rng.randrange(size)
        last = rng.randrange(first, size)
        if choice == 2:
            wanted_range, want = f"bytes={first}-{last}", (first, last + 1)
        else:
            suffix = rng.randint(1, size)
            wanted_range, want = f"bytes=-{suffix}", (size - suffix, size)
        answer = exchange(self.port, "GET", target, dict(headers, Range=wanted_range))
        self.expect(answer, 206, f"range {wanted_range}")
        if answer.body != tree.content(relative)[want[0] : want[1]]:
            raise Failure(f"range {wanted_range} of {relative}: wrong bytes")
        return "range"

    def archive(self, rng):
        self.doing("archive")
        tree = rng.choice([self.open, self.locked])
        slug, headers = self.slug_and_headers(tree)
        folder = rng.choice(tree.small_folders + ["large"])
        answer = exchange(self.port, "GET", f"/{slug}/{quote_path(folder)}?download=1", headers)
        self.expect(answer, 200, "archive")
        with zipfile.ZipFile(io.BytesIO(answer.body)) as archive:
            names = [n for n in archive.namelist() if not n.endswith("/")]
            wanted = sorted(r for r in tree.files if r.startswith(folder + "/"))
            if len(names) != len(wanted):
                raise Failure(f"archive of {folder}: {len(names)} files, expected {len(wanted)}")
            bad = archive.testzip()
            if bad:
                raise Failure(f"archive of {folder}: {bad} is damaged")
        return "archive"

    def unlock(self, rng):
        self.doing("unlock")
        answer = exchange(
            self.port,
            "POST",
            "/__unlock/locked",
            {"Content-Type": "application/x-www-form-urlencoded"},
            urllib.parse.urlencode({"password": PASSWORD, "redirect": "/locked/"}).encode(),
        )
        self.expect(answer, 303, "unlock")
        cookie = answer.headers.get("set-cookie", [""])[0].split(";")[0]
        if not cookie.startswith("blnshare_locked="):
            raise Failure(f"unlock without its cookie: {cookie!r}")
        self.cookie = cookie
        closed = exchange(self.port, "GET", "/__browse/locked")
        if closed.status == 200:
            raise Failure("a locked share answered a listing without its cookie")
        return "unlock"

    def slug_and_headers(self, tree):
        if tree is self.open:
            return "open", {}
        if not self.cookie:
            self.unlock(random.Random())
        return "locked", {"Cookie": self.cookie}

    def wrong_passwords(self, rng, client):
        """Wrong passwords from one visitor (named as the tunnel names them) past its lockout: every
        attempt is refused alike, and never crashes or slows the others."""
        for attempt in range(8):
            if not self.going():
                return
            body = urllib.parse.urlencode({"password": f"wrong {attempt}", "redirect": "/locked/"}).encode()
            try:
                answer = exchange(
                    self.port,
                    "POST",
                    "/__unlock/locked",
                    {"Content-Type": "application/x-www-form-urlencoded", "Cf-Connecting-Ip": client},
                    body,
                )
                location = answer.headers.get("location", [""])[0]
                if answer.status != 303 or not location.endswith("?failed=1"):
                    raise Failure(f"wrong password: status {answer.status} to {location!r}")
                if answer.headers.get("set-cookie"):
                    raise Failure("wrong password got a cookie")
                self.tally.add("wrong-password", "refused")
            except Exception as error:  # noqa: BLE001
                self.tally.add("wrong-password", "failed", f"{type(error).__name__}: {error}")

    # Clients that misbehave -----------------------------------------------------------------------

    def vanish(self, rng):
        """A client that goes away at an awkward moment; its server side must simply end."""
        choice = rng.randrange(5)
        sock = connect(self.port)
        try:
            if choice == 0:  # mid-request
                whole = request_bytes("GET", "/__browse/open?path=notes")
                sock.sendall(whole[: rng.randrange(1, len(whole) - 1)])
                kind = "vanish-mid-request"
            elif choice == 1:  # mid-body
                sock.sendall(
                    b"POST /__unlock/locked HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 4000\r\n\r\npassword=abc"
                )
                kind = "vanish-mid-body"
            elif choice == 2:  # mid-download
                big = "large/big.bin" if "large/big.bin" in self.open.files else "large/medium-0.bin"
                sock.sendall(request_bytes("GET", f"/open/{quote_path(big)}?download=1"))
                sock.recv(rng.randint(1, 256 * 1024))
                kind = "vanish-mid-download"
            elif choice == 3:  # mid-archive
                sock.sendall(request_bytes("GET", "/open/large?download=1"))
                sock.recv(rng.randint(1, 256 * 1024))
                kind = "vanish-mid-archive"
            else:  # before reading the answer at all
                sock.sendall(request_bytes("GET", "/open/"))
                kind = "vanish-before-answer"
            time.sleep(rng.uniform(0, 0.2))
        finally:
            abort(sock) if rng.random() < 0.5 else sock.close()
        self.tally.add(kind, "abandoned")

    def hostile(self, rng, number, counter):
        """Input that tries to cost the server memory or time: a few bytes declaring a huge picture,
        visitors asking at once for a new picture's thumbnail, bodies sent where none is read or past the
        limit, heads that cannot be read. Each is answered as it should be, at once."""
        choice = rng.randrange(5)
        pictures = os.path.join(self.open.root, "pictures")
        if choice == 0:
            self.doing("decoder-bomb")
            name = f"bomb-{number}-{counter}.jpg"
            size, components, progressive, scans = rng.choice(
                [(30000, 3, True, 3), (40000, 1, True, 1), (20000, 3, False, 1), (50000, 3, False, 3)])
            with open(os.path.join(pictures, name), "wb") as out:
                out.write(declared_jpeg(size, size, components, progressive, scans))
            try:
                self.expect(exchange(self.port, "GET", f"/open/pictures/{name}?thumb=1"), 404, "decoder bomb")
            finally:
                os.remove(os.path.join(pictures, name))
            return "decoder-bomb"
        if choice == 1:
            self.doing("shared-thumbnail")
            name = f"photo-{number}-{counter}.png"
            with open(os.path.join(pictures, name), "wb") as out:
                out.write(png_bytes(1600, 1200, rng.randrange(1 << 20)))
            answers = []

            def ask():
                try:
                    answers.append(exchange(self.port, "GET", f"/open/pictures/{name}?thumb=1"))
                except Exception as error:  # noqa: BLE001
                    answers.append(error)

            visitors = [threading.Thread(target=ask) for _ in range(8)]
            for visitor in visitors:
                visitor.start()
            for visitor in visitors:
                visitor.join(IO_TIMEOUT * 2)
            os.remove(os.path.join(pictures, name))
            for answer in answers:
                if isinstance(answer, Exception):
                    raise answer
                self.expect(answer, 200, "shared thumbnail")
            if len(answers) != 8 or len({answer.body for answer in answers}) != 1:
                raise Failure("visitors asking at once got different thumbnails")
            return "shared-thumbnail"
        sock = connect(self.port)
        sock.settimeout(5.0)  # answered at once, not when the request's time is up
        try:
            if choice == 2:
                self.doing("oversized-body")
                sock.sendall(b"POST /__unlock/locked HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1048576\r\n\r\n"
                             + bytes(64 * 1024))
                self.expect(read_answer(sock), 413, "oversized body")
                return "oversized-body"
            if choice == 3:
                self.doing("unread-body")
                sock.sendall(b"POST /open/ HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1048576\r\n\r\n"
                             + bytes(16 * 1024))
                self.expect(read_answer(sock), 200, "page with a body")
                return "unread-body"
            self.doing("malformed-head")
            sock.sendall(rng.choice([b"GET /open/ HTTP/1.1\nHost: x\n\n", b"GET /open/\xff HTTP/1.1\r\nHost: x\r\n\r\n"]))
            self.expect(read_answer(sock), 400, "malformed head")
            return "malformed-head"
        finally:
            sock.close()

    def slow_reader(self, rng):
        relative = rng.choice([r for r in self.open.files if r.startswith("large/")])
        answer = exchange(
            self.port,
            "GET",
            f"/open/{quote_path(relative)}?download=1",
            pace=(16 * 1024, 0.004),
            receive_buffer=32 * 1024,
        )
        self.expect(answer, 200, "slow download")
        if answer.body != self.open.content(relative):
            raise Failure(f"slow download of {relative}: wrong bytes")
        return "slow-reader"

    def slow_sender(self, rng):
        if rng.random() < 0.5:
            whole = request_bytes("GET", "/__browse/open?path=notes")
            what = "listing"
        else:
            body = urllib.parse.urlencode({"password": PASSWORD, "redirect": "/locked/"}).encode()
            whole = request_bytes("POST", "/__unlock/locked", {"Content-Type": "application/x-www-form-urlencoded"}, body)
            what = "unlock"
        sock = connect(self.port)
        try:
            # Dribbled over about three seconds, well inside the time a request may take.
            pieces = [whole[i : i + 8] for i in range(0, len(whole), 8)]
            for piece in pieces:
                sock.sendall(piece)
                time.sleep(3.0 / len(pieces))
            answer = read_answer(sock)
        finally:
            sock.close()
        self.expect(answer, 200 if what == "listing" else 303, f"slow {what}")
        return "slow-sender"

    def hoarder(self, rng, number):
        """A public-link visitor asking for dozens of folder archives at once and taking about a kilobyte a
        second of each: within the waiting limit and the floor's window every one must have ended (busy, or
        let go below the floor rate) or be under way with its writer done (a stored archive's writer hands
        over spans of its files, which then go out as slowly as the visitor takes them, holding no turn)."""
        headers = {"Cf-Connecting-Ip": f"198.51.100.{number % 250 + 1}"}
        sockets = []
        try:
            for _ in range(rng.randint(20, 60)):
                sock = connect(self.port, receive_buffer=4096)
                sock.sendall(request_bytes("GET", "/open/large?download=1", headers))
                sock.setblocking(False)
                sockets.append(sock)
            first = {}
            open_ones = set(range(len(sockets)))
            deadline = time.monotonic() + 80
            while open_ones and time.monotonic() < deadline:
                time.sleep(5)
                for n in list(open_ones):
                    try:
                        while True:
                            chunk = sockets[n].recv(65536)
                            if not chunk:
                                open_ones.discard(n)
                                break
                            first.setdefault(n, chunk[:12])
                    except BlockingIOError:
                        pass
                    except OSError:
                        open_ones.discard(n)
            waiting = [n for n in open_ones if not first.get(n, b"").startswith(b"HTTP/1.1 200")]
            if waiting:
                raise Failure(f"{len(waiting)} of {len(sockets)} hoarded archives still waiting after 80 s")
            for n in range(len(sockets)):
                self.tally.add("hoarded-busy" if first.get(n, b"").startswith(b"HTTP/1.1 503")
                               else "hoarded-slow" if n in open_ones else "hoarded-cut", "abandoned")
        finally:
            for sock in sockets:
                sock.close()
        return "hoarder"

    def leaver(self, rng, number):
        """Public-link visitors sending searches and closing at once: no walk should follow."""
        for n in range(rng.randint(10, 30)):
            sock = connect(self.port)
            try:
                word = rng.choice(["notes", "zz-nothing", "report"])
                sock.sendall(request_bytes("GET", f"/__search/open?q={word}",
                                           {"Cf-Connecting-Ip": f"203.0.113.{(number * 31 + n) % 250 + 1}"}))
            finally:
                abort(sock) if rng.random() < 0.5 else sock.close()
            self.tally.add("search-and-leave", "abandoned")
        time.sleep(0.5)

    def crowd(self, rng):
        """Visitors asking for one listing at the same moment: each gets it whole, the same bytes."""
        self.doing("crowd")
        # Not the top folder: the hostile visitors drop pictures into one of its folders meanwhile, whose
        # modification time in its listing then changes between one making of it and the next.
        folder = rng.choice(self.open.folders[1:])
        target = f"/__browse/open?path={urllib.parse.quote(folder, safe='')}"
        answers = [None] * 8

        def ask(n):
            try:
                answers[n] = exchange(self.port, "GET", target, {"Cf-Connecting-Ip": f"192.0.2.{n + 1}"})
            except OSError as error:
                answers[n] = error

        threads = [threading.Thread(target=ask, args=(n,), daemon=True) for n in range(len(answers))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(IO_TIMEOUT * 3)
        for answer in answers:
            if not isinstance(answer, Answer):
                raise Failure(f"crowd listing: {answer}")
            self.expect(answer, 200, "crowd listing")
        if len({answer.body for answer in answers}) != 1:
            raise Failure("crowd listing: not the same bytes for all")
        return "crowd"

    def warm_up(self):
        """One round of every kind of request, so that what the server opens once and keeps (pool
        threads, caches) is there before its descriptors and threads are counted."""
        rng = random.Random("warm-up")
        for _ in range(12):
            self.checked_kind("browser", lambda: self.browse(rng))
        for _ in range(8):
            self.checked_kind("downloader", lambda: self.download(rng))
        self.checked_kind("archiver", lambda: self.archive(rng))
        self.checked_kind("slow-sender", lambda: self.slow_sender(rng))
        self.wrong_passwords(rng, "10.255.255.1")
        for counter in range(5):
            self.checked_kind("hostile", lambda: self.hostile(random.Random(counter), 99, counter))
        try:
            self.vanish(rng)
        except OSError:
            pass

    # Roles ---------------------------------------------------------------------------------------

    def run_role(self, role, number):
        rng = random.Random(f"{self.seed}-{role}-{number}")
        attacker = 0
        for _ in range(MAX_ITERATIONS):
            if not self.going():
                return
            if role == "browser":
                self.checked_kind(role, lambda: self.browse(rng))
            elif role == "downloader":
                self.checked_kind(role, lambda: self.download(rng))
            elif role == "archiver":
                self.checked_kind(role, lambda: self.archive(rng))
            elif role == "unlocker":
                self.checked_kind(role, lambda: self.unlock(rng))
                time.sleep(0.05)
            elif role == "attacker":
                attacker += 1
                # By turns from addresses of their own and from addresses that rotate through one /64.
                if attacker % 2:
                    self.wrong_passwords(rng, f"10.{number % 250}.{attacker // 250 % 250}.{attacker % 250 + 1}")
                else:
                    self.wrong_passwords(rng, f"2001:db8:{number:x}:1:{attacker:x}::1")
            elif role == "hostile":
                attacker += 1
                self.checked_kind(role, lambda: self.hostile(rng, number, attacker))
            elif role == "vandal":
                try:
                    self.vanish(rng)
                except OSError:
                    self.tally.add("vanish", "abandoned")
                time.sleep(0.01)
            elif role == "slow-reader":
                self.checked_kind(role, lambda: self.slow_reader(rng))
            elif role == "slow-sender":
                self.checked_kind(role, lambda: self.slow_sender(rng))
            elif role == "hoarder":
                self.checked_kind(role, lambda: self.hoarder(rng, number))
            elif role == "leaver":
                try:
                    self.leaver(rng, number)
                except OSError:
                    self.tally.add("search-and-leave", "abandoned")
            elif role == "crowd":
                self.checked_kind(role, lambda: self.crowd(rng))
                time.sleep(0.2)

    def doing(self, kind):
        self.current.kind = kind

    def checked_kind(self, role, action):
        """Runs one well-formed request (action returns its kind); any exception or wrong answer fails."""
        self.current.kind = role
        try:
            self.tally.add(action(), "ok")
        except Exception as error:  # noqa: BLE001 - every fault of a well-formed request counts
            self.tally.add(self.current.kind, "failed", f"{type(error).__name__}: {error}")


# ------------------------------------------------------------------------------------------ process


def process_figures(pid):
    figures = {"rss": 0, "hwm": 0, "threads": 0, "fds": 0}
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                key, _, value = line.partition(":")
                if key == "VmRSS":
                    figures["rss"] = int(value.split()[0])
                elif key == "VmHWM":
                    figures["hwm"] = int(value.split()[0])
                elif key == "Threads":
                    figures["threads"] = int(value.split()[0])
        figures["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    except (FileNotFoundError, ProcessLookupError):
        pass
    return figures


def open_descriptors(pid):
    found = {}
    try:
        for entry in os.listdir(f"/proc/{pid}/fd"):
            try:
                found[entry] = os.readlink(f"/proc/{pid}/fd/{entry}")
            except OSError:
                pass
    except OSError:
        pass
    return found


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(int(entry))
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            pass
    return found


def files_under(folder, hidden_only=False):
    count = 0
    for _, _, files in os.walk(folder):
        count += sum(1 for name in files if not hidden_only or name.startswith("."))
    return count


def mib(kib):
    return f"{kib / 1024:.1f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=int, default=int(os.environ.get("SOAK_SECONDS", "600")))
    parser.add_argument("--clients-per-role", type=int, default=2)
    parser.add_argument("--server", default=os.path.join(os.environ.get("BUILD_DIR", "build"), "brightloom-share"))
    parser.add_argument("--seed", default="soak")
    arguments = parser.parse_args()
    seconds = max(10, min(arguments.seconds, 24 * 3600))
    arguments.server = os.path.abspath(arguments.server)
    if not os.access(arguments.server, os.X_OK):
        print(f"soak: {arguments.server} is missing; run make build first", file=sys.stderr)
        return 2

    work = tempfile.mkdtemp(prefix="brightloom-soak-")
    home = os.path.join(work, "home")
    environment = dict(os.environ)
    for name, folder in {
        "HOME": "home",
        "XDG_DATA_HOME": "home/.local/share",
        "XDG_CONFIG_HOME": "home/.config",
        "XDG_CACHE_HOME": "home/.cache",
        "XDG_STATE_HOME": "home/.local/state",
        "XDG_RUNTIME_DIR": "runtime",
        "TMPDIR": "tmp",
    }.items():
        os.makedirs(os.path.join(work, folder), mode=0o700, exist_ok=True)
        environment[name] = os.path.join(work, folder)
    server = None
    try:
        rng = random.Random(arguments.seed)
        print("soak: preparing the folders...", flush=True)
        trees = (make_tree(os.path.join(work, "open"), rng, big=True), make_tree(os.path.join(work, "locked"), rng, big=False))
        os.makedirs(os.path.join(trees[0].root, "pictures"))
        server = subprocess.Popen(
            [arguments.server, "serve", "--port", "0", "--no-qr", "--slug", "open", trees[0].root,
             "--password", PASSWORD, "--slug", "locked", trees[1].root],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment, cwd=work)
        port = None
        started = time.monotonic()
        banner = []
        while port is None and time.monotonic() - started < 30:
            line = server.stdout.readline().decode(errors="replace")
            if not line:
                break
            banner.append(line)
            if "http://127.0.0.1:" in line:
                port = int(line.split("http://127.0.0.1:")[1].split("/")[0])
        if port is None:
            print("soak: the server did not start:\n" + "".join(banner), file=sys.stderr)
            return 2
        # The rest of its output is drained, so it never blocks on a full pipe.
        threading.Thread(target=lambda: [None for _ in iter(server.stdout.readline, b"")], daemon=True).start()
        tally = Tally()
        soak = Soak(port, trees, time.monotonic() + 60, tally, arguments.seed)
        soak.warm_up()
        time.sleep(2.5)  # the linger after the last answer
        before = process_figures(server.pid)
        descriptors_before = open_descriptors(server.pid)
        temporary_before = files_under(environment["TMPDIR"])

        deadline = time.monotonic() + seconds
        soak.deadline = deadline
        roles = ["browser", "downloader", "archiver", "unlocker", "attacker", "vandal", "slow-reader", "slow-sender",
                 "hoarder", "leaver", "crowd", "hostile"]
        clients = []
        for role in roles:
            count = arguments.clients_per_role * (2 if role == "browser" else 1)
            for number in range(count):
                thread = threading.Thread(target=soak.run_role, args=(role, number), daemon=True)
                thread.start()
                clients.append(thread)

        minute_mark = min(60, seconds // 2)
        minute = None
        samples = []
        last_report = time.monotonic()
        print(f"soak: {len(clients)} clients for {seconds} s on port {port}", flush=True)
        while time.monotonic() < deadline:
            time.sleep(1)
            figures = process_figures(server.pid)
            samples.append(figures)
            elapsed = seconds - (deadline - time.monotonic())
            if minute is None and elapsed >= minute_mark:
                minute = figures
            if time.monotonic() - last_report >= 30:
                last_report = time.monotonic()
                print(f"  {elapsed:5.0f} s: {mib(figures['rss'])}, {figures['fds']} descriptors, "
                      f"{figures['threads']} threads, {tally.total('ok')} ok, {tally.total('failed')} failed",
                      flush=True)
            if server.poll() is not None:
                print("soak: the server ended during the soak", file=sys.stderr)
                break
        last_in_traffic = samples[-1] if samples else before
        for thread in clients:
            thread.join(timeout=max(1.0, IO_TIMEOUT * 3))
        stuck = sum(1 for thread in clients if thread.is_alive())

        # Connections end a little after their clients: wait (bounded) for descriptors to come back.
        settle = time.monotonic() + 40
        after = process_figures(server.pid)
        while time.monotonic() < settle and (after["fds"] > before["fds"] or after["threads"] > before["threads"]):
            time.sleep(1)
            after = process_figures(server.pid)
        descriptors_after = open_descriptors(server.pid)
        children = children_of(server.pid)
        temporary_after = files_under(environment["TMPDIR"]) + files_under(os.path.join(home, ".cache"), hidden_only=True)
        alive = server.poll() is None

        # Ending: closing its standard input ends the server.
        server.stdin.close()
        try:
            status = server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            status = "did not end in 20 s"
        leftover = children_of(server.pid) if isinstance(status, str) else []

        print()
        print("Requests by outcome:")
        for (kind, outcome), count in sorted(tally.counts.items()):
            print(f"  {kind:22} {outcome:10} {count:8}")
        print(f"  {'all':22} {'ok':10} {tally.total('ok'):8}")
        print(f"  {'all':22} {'refused':10} {tally.total('refused'):8}  (wrong passwords, as they should be)")
        print(f"  {'all':22} {'abandoned':10} {tally.total('abandoned'):8}  (clients that vanished on purpose)")
        print(f"  {'all':22} {'failed':10} {tally.total('failed'):8}")
        for failure in tally.failures:
            print(f"    {failure}")
        peak = max([s["hwm"] for s in samples] + [after["hwm"]])
        print()
        print(f"Memory: peak {mib(peak)}; after {minute_mark} s {mib(minute['rss'] if minute else 0)}; "
              f"at the end of traffic {mib(last_in_traffic['rss'])}; at the end {mib(after['rss'])}")
        print(f"Descriptors: before {before['fds']}, after {after['fds']}")
        for number, target in sorted(descriptors_after.items()):
            if descriptors_before.get(number) != target:
                print(f"  left open: {number} -> {target}")
        print(f"Threads: before {before['threads']}, after {after['threads']}")
        print(f"Temporary files left: {temporary_after - temporary_before}")
        print(f"Child processes left: {len(children) + len(leftover)}")
        print(f"Server: {'ended with status ' + str(status) if alive else 'ended during the soak'}")

        problems = []
        if tally.total("failed"):
            problems.append(f"{tally.total('failed')} well-formed requests failed")
        if tally.total("ok") == 0:
            problems.append("no request succeeded")
        if stuck:
            problems.append(f"{stuck} clients did not finish")
        if minute and after["rss"] > minute["rss"] * 1.10:
            problems.append("memory at the end is more than 10% above the one-minute figure")
        if after["fds"] > before["fds"]:
            problems.append(f"{after['fds'] - before['fds']} descriptors left open")
        if temporary_after > temporary_before:
            problems.append(f"{temporary_after - temporary_before} temporary files left")
        if children or leftover:
            problems.append("child processes left")
        if not alive:
            problems.append("the server ended during the soak")
        elif status != 0:
            problems.append(f"the server ended with status {status}")
        print()
        if problems:
            print("soak FAILED: " + "; ".join(problems))
            return 1
        print("soak passed")
        return 0
    finally:
        if server and server.poll() is None:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
