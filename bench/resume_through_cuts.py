#!/usr/bin/env python3
"""resume_through_cuts.py PORT PATH CUT_MIB SECONDS: downloads PATH through a loopback proxy that cuts
every answer after CUT_MIB MiB, as tunnels and mobile networks drop long answers, resuming with Range
and If-Range until it is whole, as a browser does; then downloads it directly and compares the two.
Prints "same bytes after N cuts" and exits 0 when they are equal. Everything stays on 127.0.0.1 and
ends within SECONDS."""
import hashlib
import http.client
import socket
import sys
import threading
import time


def pipe(source, sink, limit):
    """Copies until either side closes or limit bytes went through, then closes both."""
    buffer, sent = bytearray(1 << 20), 0
    try:
        while sent < limit:
            got = source.recv_into(buffer, min(len(buffer), limit - sent))
            if not got:
                break
            sink.sendall(memoryview(buffer)[:got])
            sent += got
    except OSError:
        pass
    for side in (source, sink):
        try:
            side.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        side.close()


def serve_proxy(listener, server_port, cut_bytes):
    while True:
        client, _ = listener.accept()
        server = socket.create_connection(("127.0.0.1", server_port))
        threading.Thread(target=pipe, args=(client, server, 1 << 62), daemon=True).start()
        threading.Thread(target=pipe, args=(server, client, cut_bytes), daemon=True).start()


def fetch(port, path, deadline):
    """The answer downloaded whole through the port, resuming after each cut: its digest, cuts, length."""
    digest, received, length, tag, cuts = hashlib.sha256(), 0, None, None, 0
    while length is None or received < length:
        if time.monotonic() > deadline or cuts > 200:
            sys.exit("gave up after %d cuts at %d bytes" % (cuts, received))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        connection.request("GET", path, headers={"Range": "bytes=%d-" % received, "If-Range": tag} if tag else {})
        answer = connection.getresponse()
        if tag is None and (answer.status != 200 or answer.getheader("Accept-Ranges") != "bytes"):
            sys.exit("first answer: %d" % answer.status)
        if tag is not None and answer.getheader("Content-Range") != "bytes %d-%d/%d" % (received, length - 1, length):
            sys.exit("resumed at %d: %d %s" % (received, answer.status, answer.getheader("Content-Range")))
        tag, length = tag or answer.getheader("ETag"), length or int(answer.getheader("Content-Length"))
        try:
            while chunk := answer.read(1 << 20):
                digest.update(chunk)
                received += len(chunk)
        except http.client.IncompleteRead as cut:
            digest.update(cut.partial)
            received += len(cut.partial)
        connection.close()
        cuts += received < length
    return digest.hexdigest(), cuts, length


def main():
    port, path, cut_mib, seconds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    deadline = time.monotonic() + seconds
    listener = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=serve_proxy, args=(listener, port, cut_mib << 20), daemon=True).start()
    started = time.monotonic()
    resumed, cuts, length = fetch(listener.getsockname()[1], path, deadline)
    took = time.monotonic() - started
    if resumed != fetch(port, path, deadline)[0]:
        sys.exit("the resumed download differs from the direct one")
    print("same bytes after %d cuts: %d bytes in %.1f s" % (cuts, length, took))


if __name__ == "__main__":
    main()
