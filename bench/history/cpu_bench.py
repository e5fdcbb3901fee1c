#!/usr/bin/env python3
"""CPU of the signal history at the modem's normal poll rate, against the simulated modem; run
inside the private namespace:

    tools/netns-run /usr/bin/python3 bench/history/cpu_bench.py build [--seconds 60]

Prints the share of a core taken by `brixctl record`'s feed and writer threads ("brix-feed",
"brix-history"; target < 0.2 %) and by the whole program, then the window's CPU while it runs
idle on a virtual X server with the History window closed (target < 0.5 %) and open.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

ap = argparse.ArgumentParser()
ap.add_argument("build")
ap.add_argument("--seconds", type=float, default=60)
a = ap.parse_args()
build = os.path.abspath(a.build)
BRIXCTL = os.path.join(build, "brixctl", "brixctl")
SIM = os.path.join(build, "simulator", "brix-modem-sim")
TOOL = os.path.join(build, "app", "brixtool")
TICK = os.sysconf("SC_CLK_TCK")


def ticks(stat_path):
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def threads(pid):
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            out[tid] = f.read().strip()
    return out


def share(before, after, seconds):
    return 100.0 * (after - before) / TICK / seconds


work = tempfile.mkdtemp(prefix="brix-cpu-bench-")
modem = subprocess.Popen([SIM, "--quiet", "--seed", "3"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
try:
    rec = subprocess.Popen([BRIXCTL, "--history", os.path.join(work, "h.sqlite3"), "record"],
                           stderr=subprocess.PIPE)
    time.sleep(3)  # the store open, the first reports in
    names = threads(rec.pid)
    ours = [t for t, n in names.items() if n in ("brix-feed", "brix-history")]
    if len(ours) != 2:
        sys.exit(f"the feed and writer threads are not there: {names}")
    t0 = {t: ticks(f"/proc/{rec.pid}/task/{t}/stat") for t in ours}
    p0 = ticks(f"/proc/{rec.pid}/stat")
    time.sleep(a.seconds)
    t1 = {t: ticks(f"/proc/{rec.pid}/task/{t}/stat") for t in ours}
    p1 = ticks(f"/proc/{rec.pid}/stat")
    rec.terminate()
    rec.wait(5)
    feed = sum(t1[t] - t0[t] for t in ours)
    print(f"brixctl record, {a.seconds:.0f} s at the normal poll rate: the recorder (feed and "
          f"writer threads) {share(0, feed, a.seconds):.3f} % of a core; the whole program "
          f"{share(p0, p1, a.seconds):.3f} %")

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                    "tests", "ui"))
    import uidriver as u  # noqa: E402
    display = u.Display(work)
    tool = None
    try:
        tool = u.Tool(TOOL, work, extra_env={"BRIX_HISTORY": os.path.join(work, "w.sqlite3")})
        time.sleep(5)  # started, the first answers shown
        for shown in (False, True):
            if shown:
                tool.key("ctrl+h")
                u.wait_until("the History window", lambda: tool.window("History"), 5)
                time.sleep(2)
            c0 = ticks(f"/proc/{tool.pid}/stat")
            time.sleep(a.seconds / 2)
            c1 = ticks(f"/proc/{tool.pid}/stat")
            print(f"brixtool, the Tuner shown, {a.seconds / 2:.0f} s, History window "
                  f"{'open (last hour, once a second)' if shown else 'closed'}: "
                  f"{share(c0, c1, a.seconds / 2):.2f} % of a core")
    finally:
        if tool is not None:
            tool.close()
        display.close()
finally:
    modem.terminate()
    modem.wait(5)
    subprocess.run(["rm", "-rf", work])
