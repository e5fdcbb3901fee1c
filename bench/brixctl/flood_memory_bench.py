#!/usr/bin/env python3
"""The service's memory under the worst flood: run inside the private namespace:

    tools/netns-run /usr/bin/python3 bench/brixctl/flood_memory_bench.py build [--seconds 20]

`brixctl serve` owns the link; eight attached programs of one user read slowly (one datagram
every 20 ms; dropped by the owner, they attach again at once); a sender floods the link's port
from the modem's port with debug messages of 1,400 bytes, as fast as it can. Prints the
service's peak and last resident memory (VmHWM, VmRSS; its unit allows 64 MB), the datagrams
sent and the rows its history holds afterwards.
"""
import argparse
import os
import socket
import sqlite3
import struct
import subprocess
import tempfile
import threading
import time

ap = argparse.ArgumentParser()
ap.add_argument("build")
ap.add_argument("--seconds", type=float, default=20)
a = ap.parse_args()
BRIXCTL = os.path.join(os.path.abspath(a.build), "brixctl", "brixctl")


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) // 1024  # MB
    return 0


work = tempfile.mkdtemp(prefix="brix-flood-bench-")
os.makedirs(os.path.join(work, "run"), mode=0o700)
env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(work, "run"))
store = os.path.join(work, "h.sqlite3")
serve = subprocess.Popen([BRIXCTL, "--history", store, "serve", "--metrics", "127.0.0.1:19331"],
                         env=env, stderr=subprocess.DEVNULL)
stop = threading.Event()
try:
    folder = os.path.join(work, "run", "brix")
    for _ in range(100):
        if os.path.isdir(folder) and os.listdir(folder):
            break
        time.sleep(0.05)
    path = os.path.join(folder, os.listdir(folder)[0])

    def slow_reader():
        while not stop.is_set():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            try:
                s.connect(path)
                s.settimeout(1)
                while not stop.is_set():
                    if not s.recv(2048):
                        break  # dropped: attach again
                    time.sleep(0.02)
            except OSError:
                time.sleep(0.05)
            finally:
                s.close()

    readers = [threading.Thread(target=slow_reader, daemon=True) for _ in range(8)]
    for r in readers:
        r.start()
    time.sleep(1)

    flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flood.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    flood.bind(("0.0.0.0", 30588))  # the modem's port: the link takes it as the modem's
    text = b"\x1b[2J flood " + b"x" * 1380 + b"\0"
    frame = b"\xff" * 6 + struct.pack("<HHHH", 0x7779, 17, 12, 3) + text
    sent = 0
    end = time.monotonic() + a.seconds
    while time.monotonic() < end:
        for _ in range(200):
            try:
                flood.sendto(frame, ("127.255.255.255", 30587))
                sent += 1
            except OSError:
                pass
    time.sleep(2)
    peak, rss = status(serve.pid, "VmHWM"), status(serve.pid, "VmRSS")
finally:
    stop.set()
    serve.terminate()
    serve.wait(10)
rows = sqlite3.connect(store).execute("SELECT count(*) FROM events").fetchone()[0]
print(f"brixctl serve, {a.seconds:.0f} s of {sent} debug datagrams of 1,400 bytes "
      f"({sent / a.seconds:.0f}/s) with 8 slow readers of one user: peak {peak} MB, "
      f"{rss} MB at the end; the history holds {rows} events")
subprocess.run(["rm", "-rf", work])
