#!/usr/bin/env python3
"""Runs Linux programs for Windows test programs under Wine (see HostCommand.cpp).

Listens on 127.0.0.1 (a free port, written to --port-file) in the test's own network
namespace. Only the programs named with --allow NAME=PATH run. Windows paths among the
arguments (C:\\..., Z:/...) are turned into the Linux paths Wine maps them to.
"""

import argparse
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading

DRIVE_PATH = re.compile(r"^([A-Za-z]):[\\/](.*)$", re.S)


def linux_path(text, prefix):
    m = DRIVE_PATH.match(text)
    if not m:
        return text
    drive, rest = m.group(1).lower(), m.group(2).replace("\\", "/")
    if drive == "z":
        return "/" + rest
    return os.path.join(prefix, "dosdevices", drive + ":", rest)


def recv_all(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve(conn, allowed, prefix):
    lock = threading.Lock()

    def send(kind, data=b""):
        with lock:
            conn.sendall(kind + struct.pack("<I", len(data)) + data)

    head = recv_all(conn, 5)
    if not head or head[:1] != b"h":
        return
    fields = recv_all(conn, struct.unpack("<I", head[1:])[0]).decode("utf-8").split("\0")[:-1]
    cwd, name, args = linux_path(fields[0], prefix), fields[1], fields[2:]
    if name not in allowed:
        send(b"e", f"host_bridge: {name} is not allowed\n".encode())
        send(b"x", struct.pack("<i", 127))
        return
    argv = [allowed[name]] + [linux_path(a, prefix) for a in args]
    proc = subprocess.Popen(argv, cwd=cwd if os.path.isdir(cwd) else None, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def pump(stream, kind):
        for chunk in iter(lambda: os.read(stream.fileno(), 4096), b""):
            send(kind, chunk)

    pumps = [threading.Thread(target=pump, args=(proc.stdout, b"o")),
             threading.Thread(target=pump, args=(proc.stderr, b"e"))]
    for t in pumps:
        t.start()

    def listen():
        # Input, its end and the terminate request; the connection's end kills the program.
        while True:
            head = recv_all(conn, 5)
            if head is None:
                if proc.poll() is None:
                    proc.kill()
                return
            data = recv_all(conn, struct.unpack("<I", head[1:])[0]) or b""
            try:
                if head[:1] == b"i":
                    proc.stdin.write(data)
                    proc.stdin.flush()
                elif head[:1] == b"c":
                    proc.stdin.close()
                elif head[:1] == b"t" and proc.poll() is None:
                    proc.send_signal(signal.SIGTERM)
            except (BrokenPipeError, ValueError):
                pass

    listener = threading.Thread(target=listen, daemon=True)
    listener.start()
    status = proc.wait()
    for t in pumps:
        t.join()
    send(b"x", struct.pack("<i", status if status >= 0 else 128 - status))
    # The stand-in closes first: closing here with its last frames unread would reset the
    # connection, and a reset can drop the status on its way.
    conn.shutdown(socket.SHUT_WR)
    listener.join(10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--allow", action="append", default=[], help="NAME=PATH")
    opts = parser.parse_args()
    allowed = dict(a.split("=", 1) for a in opts.allow)
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    with open(opts.port_file + ".tmp", "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(opts.port_file + ".tmp", opts.port_file)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=lambda c=conn: (serve(c, allowed, prefix), c.close()), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
