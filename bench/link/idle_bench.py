#!/usr/bin/env python3
"""What the programs cost while nothing happens; run inside the private namespace:

    tools/netns-run /usr/bin/python3 bench/link/idle_bench.py build [--seconds 30] [--rounds 2]

1. The window against the simulated modem at its normal poll rate, idle on a virtual X server,
   with the history off and on, in alternating rounds of one run: the share of a core of each
   (CPU time from /proc/PID/task/*/schedstat, in nanoseconds) and the difference.
2. `brixctl serve` with no modem and no scrapes: how often each of its threads wakes (voluntary
   and involuntary switches a second, from /proc/PID/task/*/status).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

ap = argparse.ArgumentParser()
ap.add_argument("build")
ap.add_argument("--seconds", type=float, default=30)
ap.add_argument("--rounds", type=int, default=2)
a = ap.parse_args()
build = os.path.abspath(a.build)
BRIXCTL = os.path.join(build, "brixctl", "brixctl")
SIM = os.path.join(build, "simulator", "brix-modem-sim")
TOOL = os.path.join(build, "app", "brixtool")


def cpu_ns(pid):
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def switches(pid):
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            n = 0
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        n += int(line.split()[1])
            out[tid] = (name, n)
        except OSError:
            pass
    return out


def window_rounds(work):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                    "tests", "ui"))
    import uidriver as u  # noqa: E402
    modem = subprocess.Popen([SIM, "--quiet", "--seed", "3"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    display = u.Display(work)
    shares = {"off": [], "on": []}
    try:
        for _ in range(a.rounds):
            for history in ("off", "on"):
                env = {"BRIX_HISTORY": "off" if history == "off"
                       else os.path.join(work, "w.sqlite3")}
                tool = u.Tool(TOOL, work, extra_env=env)
                try:
                    time.sleep(5)  # started, the first answers shown
                    c0, t0 = cpu_ns(tool.pid), time.monotonic()
                    time.sleep(a.seconds)
                    c1, t1 = cpu_ns(tool.pid), time.monotonic()
                    shares[history].append(100.0 * (c1 - c0) / 1e9 / (t1 - t0))
                finally:
                    tool.close()
    finally:
        display.close()
        modem.terminate()
        modem.wait(5)
    off = sum(shares["off"]) / len(shares["off"])
    on = sum(shares["on"]) / len(shares["on"])
    print(f"1. brixtool idle, the Tuner shown, {a.rounds} rounds of {a.seconds:.0f} s each way: "
          f"history off {off:.3f} %, on {on:.3f} % of a core; difference {on - off:+.3f} % "
          f"(rounds: off {', '.join(f'{x:.3f}' for x in shares['off'])}; "
          f"on {', '.join(f'{x:.3f}' for x in shares['on'])})")


def serve_wakeups(work):
    serve = subprocess.Popen([BRIXCTL, "--history", os.path.join(work, "s.sqlite3"), "serve",
                              "--metrics", "127.0.0.1:19330"], stderr=subprocess.DEVNULL)
    try:
        time.sleep(3)
        s0, t0 = switches(serve.pid), time.monotonic()
        time.sleep(a.seconds)
        s1, t1 = switches(serve.pid), time.monotonic()
    finally:
        serve.terminate()
        serve.wait(5)
    print(f"2. brixctl serve, no modem, no scrapes, {t1 - t0:.0f} s: wakeups a second by thread")
    worst = 0.0
    for tid, (name, n) in sorted(s1.items()):
        before = s0.get(tid, (name, 0))[1]
        rate = (n - before) / (t1 - t0)
        worst = max(worst, rate)
        print(f"   {name:16} {rate:6.2f}")
    print(f"   the most wakeful: {worst:.2f} a second")


work = tempfile.mkdtemp(prefix="brix-idle-bench-")
try:
    serve_wakeups(work)
    window_rounds(work)
finally:
    subprocess.run(["rm", "-rf", work])
