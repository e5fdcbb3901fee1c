#!/usr/bin/env python3
"""Figures of a fleet on Prometheus, with real sites (the simulated modem and brixctl serve in a
namespace each, on one bridge) and Debian's Prometheus with the shipped configuration and rules;
run inside the private namespace:

    tools/netns-run /usr/bin/python3 bench/brixctl/fleet_bench.py build [--sites 20]
        [--copies 10] [--seconds 120] [--notify]

Prints, per site: the samples a scrape, the bytes a scrape (plain and gzip) and the scrape's
time; the centre's Prometheus CPU (share of a core) and resident memory with the sites listed
once, and with each listed `copies` times under other names (as many targets as a fleet that
many times larger), projected to 100 sites; with --notify, the time from a modem's silence to
Alertmanager's webhook message.
"""
import argparse
import os
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "brixctl"))
from fleet import Fleet, wait  # noqa: E402

ap = argparse.ArgumentParser()
ap.add_argument("build")
ap.add_argument("--sites", type=int, default=20)
ap.add_argument("--copies", type=int, default=10)
ap.add_argument("--seconds", type=float, default=120)
ap.add_argument("--notify", action="store_true")
a = ap.parse_args()
WORK = os.path.join(os.path.abspath(a.build), "bench", "fleet")
PREFIX = os.path.join(WORK, "prefix")
os.makedirs(WORK, exist_ok=True)
os.system(f"cmake --install {a.build} --prefix {PREFIX} >/dev/null")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def centre(copies, notify):
    fleet = Fleet(PREFIX, os.path.join(WORK, f"run-{copies}"), sites=a.sites, agent=False,
                  targets_per_site=copies, alertmanager=notify)
    try:
        targets = a.sites * copies
        if not wait(lambda: fleet.value('count(up{job="brix"} == 1)') == targets, 120, 1):
            sys.exit(f"only {fleet.value('count(up == 1)')} of {targets} targets up")
        time.sleep(30)  # the first scrapes, the rules' first evaluations, the head's start
        pid = fleet.prometheus.pid
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(a.seconds)
        share = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)
        memory = rss_mib(pid)
        print(f"centre with {targets} targets: {100 * share:.2f}% of a core, "
              f"{memory:.0f} MiB resident; per 100 targets {100 * share * 100 / targets:.2f}% "
              f"and {memory * 100 / targets:.0f} MiB")
        if copies == 1:
            plain = [fleet.scrape(i) for i in range(1, a.sites + 1)]
            zipped = [fleet.scrape(i, "gzip") for i in range(1, a.sites + 1)]
            samples = fleet.query('scrape_samples_scraped{job="brix"}')
            durations = fleet.query('scrape_duration_seconds{job="brix"}')
            print(f"per site: {statistics.median(float(s['value'][1]) for s in samples):.0f} "
                  f"samples a scrape; {statistics.median(p[1] for p in plain):.0f} bytes plain, "
                  f"{statistics.median(z[1] for z in zipped):.0f} gzip; scrape "
                  f"{1000 * statistics.median(float(d['value'][1]) for d in durations):.1f} ms "
                  f"(Prometheus), {1000 * statistics.median(p[2] for p in plain):.1f} ms "
                  f"(plain, from the centre)")
        if notify:
            silenced = time.time()
            fleet.sims[1].send_signal(signal.SIGSTOP)

            def message():
                for at, n in fleet.webhook.received():
                    if any(x["labels"]["alertname"] == "BrixModemDown" for x in n["alerts"]):
                        return at
                return None

            at = wait(message, 300, 0.5)
            print(f"silence to the webhook's message: {at - silenced:.0f} s" if at else
                  "no message within 5 minutes")
        return share, memory, targets
    finally:
        fleet.stop()


small = centre(1, a.notify)
large = centre(a.copies, False)
marginal_cpu = (large[0] - small[0]) / (large[2] - small[2]) * 100
marginal_mem = (large[1] - small[1]) / (large[2] - small[2]) * 100
print(f"each further 100 sites: {100 * marginal_cpu:.2f}% of a core and {marginal_mem:.0f} MiB")
