#!/usr/bin/env python3
"""Figures of brixctl against the simulated modem; run inside the private namespace:

    tools/netns-run /usr/bin/python3 bench/brixctl/brixctl_bench.py build [--seconds 60]

Prints: `brixctl status` from process start to its output (median, 95th percentile; target
median < 50 ms); a /metrics scrape at 100 scrapes/s (median; target < 2 ms); and the resident
memory of `serve` over a long run in which the modem floods it with reports (target < 20 MB,
flat). The flood of 500 frames/s carries in a minute what a day of normal polling does.
"""
import argparse
import http.client
import os
import statistics
import subprocess
import time

ap = argparse.ArgumentParser()
ap.add_argument("build")
ap.add_argument("--seconds", type=float, default=60)
ap.add_argument("--runs", type=int, default=60)
a = ap.parse_args()
BRIXCTL = os.path.join(a.build, "brixctl", "brixctl")
SIM = os.path.join(a.build, "simulator", "brix-modem-sim")


def modem(*args):
    p = subprocess.Popen([SIM, "--quiet", "--seed", "5", *args], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    return p


def percentile(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q * (len(s) - 1))))]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


m = modem("--link-test", "0", "--debug", "0")
times = []
for _ in range(a.runs):
    start = time.perf_counter()
    p = subprocess.run([BRIXCTL, "status"], capture_output=True)
    times.append((time.perf_counter() - start) * 1000)
    assert p.returncode == 0, p.stderr
    time.sleep(0.15)  # the modem reports statistics over periods of 0.1 s and more
m.terminate()
m.wait()
print(f"brixctl status, start to output, {a.runs} runs: median {statistics.median(times):.1f} ms, "
      f"95th percentile {percentile(times, 0.95):.1f} ms, max {max(times):.1f} ms")

m = modem("--flood", "500")
serve = subprocess.Popen([BRIXCTL, "serve", "--metrics", "127.0.0.1:9330"],
                         stderr=subprocess.DEVNULL)
time.sleep(1)
conn = http.client.HTTPConnection("127.0.0.1", 9330)
scrapes, rss = [], []
start = time.monotonic()
next_rss = start
while time.monotonic() - start < a.seconds:
    t = time.perf_counter()
    conn.request("GET", "/metrics")
    body = conn.getresponse().read()
    scrapes.append((time.perf_counter() - t) * 1000)
    assert b"brix_up" in body
    if time.monotonic() >= next_rss:
        rss.append(rss_kib(serve.pid))
        next_rss += a.seconds / 12
    time.sleep(max(0, 0.01 - (time.perf_counter() - t)))  # 100 scrapes a second
rss.append(rss_kib(serve.pid))
serve.terminate()
serve.wait()
m.terminate()
m.wait()
print(f"/metrics scrape at 100/s, {len(scrapes)} scrapes: median {statistics.median(scrapes):.2f} ms, "
      f"95th percentile {percentile(scrapes, 0.95):.2f} ms")
print(f"serve resident memory over {a.seconds:.0f} s under a 500 frames/s flood (KiB): "
      + " ".join(str(r) for r in rss)
      + f"; first {rss[0] / 1024:.1f} MB, last {rss[-1] / 1024:.1f} MB, max {max(rss) / 1024:.1f} MB")
