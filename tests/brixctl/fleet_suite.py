#!/usr/bin/env python3
"""The fleet kit as an operator sets it up from the shipped files alone: twenty sites, each with
the simulated modem and the installed brixctl serve in a namespace of its own on one bridge, one
of them behind an agent-mode Prometheus that writes to the centre; the centre runs Debian's
Prometheus with the shipped example configuration and rules, Alertmanager with the shipped
routes, and a webhook receiver. Two modems silenced, a service killed and a modem flapping,
at once; what reaches the webhook and what Prometheus says are checked against what happened.

    fleet_suite.py BUILD_DIR WORK_DIR [SITES]
"""
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from brixctl_suite import PREFIX, WORK, install  # noqa: E402
from fleet import Fleet, site_address, site_name, wait  # noqa: E402

SITES = int(sys.argv.pop(3)) if len(sys.argv) > 3 else 20
SILENCED = (3, 11)
KILLED = 5
FLAPPING = 9
READ_FROM = 7


def dashboard_expressions(path):
    """Every PromQL expression of the Grafana dashboard, its variables given values."""
    with open(path) as f:
        board = json.load(f)
    found = []

    def walk(node):
        if isinstance(node, dict):
            for key, value in node.items():
                if key in ("expr", "query") and isinstance(value, str) and value.strip():
                    found.append(value)
                else:
                    walk(value)
        elif isinstance(node, list):
            for item in node:
                walk(item)

    walk(board.get("panels", []))
    walk(board.get("annotations", {}))
    walk(board.get("templating", {}))
    exprs = []
    for e in found:
        # A variable's query: label_values(METRIC, LABEL) asks for METRIC's series.
        m = re.fullmatch(r"\s*label_values\((.+),\s*\w+\)\s*", e)
        if m:
            e = m.group(1)
        elif e.strip() == "prometheus":  # the data source variable's type
            continue
        e = e.replace("$__rate_interval", "1m").replace("${site}", ".*").replace("$site", ".*")
        exprs.append(e)
    return exprs


class FleetTest(unittest.TestCase):
    def test_twenty_sites_silenced_killed_and_flapping(self):
        fleet = Fleet(PREFIX, os.path.join(WORK, "fleet"), sites=SITES)
        self.addCleanup(fleet.stop)
        names = {site_name(i) for i in range(1, SITES + 1)}

        # Every site up at the centre, the one behind NAT too, with its channel and label.
        up = wait(lambda: fleet.value('count(brix_up{job="brix"} == 1)') == SITES, 90, 1)
        self.assertTrue(up, f"sites up: {fleet.query('brix_up')}")
        agent_site = site_name(SITES)
        self.assertEqual(fleet.value(f'up{{site="{agent_site}"}}'), 1)
        channels = wait(lambda: len(fleet.query("site:brix_receive_channel:last")) == SITES, 60, 1)
        self.assertTrue(channels)
        for series in fleet.query("site:brix_receive_channel:last"):
            labels = series["metric"]
            self.assertEqual(labels["label"], f"{labels['site']} ch 1")
            self.assertEqual(labels["instance"], f"{labels['site']}:9330")
        self.assertEqual({s["metric"]["site"] for s in fleet.query("brix_build_info")}, names)

        # Another site's history, read from the centre as an operator would.
        p = subprocess.run([fleet.brixctl, "history", "events", "--from",
                            f"http://{site_address(READ_FROM)}:9330", "--since", "1h",
                            "--json"], capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertGreater(len(json.loads(p.stdout)), 0)

        # What fires, polled all through the run: only what the faults below explain.
        expected = {("BrixModemDown", site_name(i)) for i in SILENCED}
        expected |= {("BrixServiceUnreachable", site_name(KILLED)),
                     ("BrixLinkLostRepeatedly", site_name(FLAPPING))}
        seen = set()
        cleared = {}
        stop = threading.Event()

        def watch():
            while not stop.is_set():
                now = fleet.firing()
                for alert in seen - now:
                    cleared.setdefault(alert, time.time())
                seen.update(now)
                stop.wait(5)

        watcher = threading.Thread(target=watch)
        watcher.start()
        self.addCleanup(lambda: (stop.set(), watcher.join()))

        # The faults, all at once.
        t0 = time.time()
        for i in SILENCED:
            fleet.sims[i].send_signal(signal.SIGSTOP)
        fleet.serves[KILLED].kill()
        losses = []
        flapper = fleet.sims[FLAPPING]
        for _ in range(4):
            flapper.send_signal(signal.SIGSTOP)
            losses.append(time.time())
            time.sleep(12)
            flapper.send_signal(signal.SIGCONT)
            heard = wait(lambda: fleet.scrape(FLAPPING)[0].count("\nbrix_up 1\n"), 15)
            self.assertTrue(heard)
        last_loss = losses[-1] + 10  # the loss is noticed after 10 s without a frame

        # Four losses in a minute: counted four, however few scrapes saw the modem away.
        counted = wait(lambda: fleet.value(
            f'brix_link_down_total{{site="{site_name(FLAPPING)}"}}') == 4, 30, 1)
        self.assertTrue(counted, fleet.query("brix_link_down_total"))

        # The two silenced modems: one message naming both, within 2 minutes 30.
        def first(alertname):
            for at, n in fleet.webhook.received():
                alerts = [a for a in n["alerts"]
                          if a["labels"]["alertname"] == alertname and a["status"] == "firing"]
                if alerts:
                    return at, {a["labels"]["site"] for a in alerts}
            return None

        down = wait(lambda: first("BrixModemDown"), 160 - (time.time() - t0), 1)
        self.assertTrue(down, fleet.webhook.received())
        self.assertLessEqual(down[0] - t0, 150)
        self.assertEqual(down[1], {site_name(i) for i in SILENCED})
        print(f"\nsilence to the webhook's message: {down[0] - t0:.0f} s", file=sys.stderr)

        gone = wait(lambda: first("BrixServiceUnreachable"), 150 - (time.time() - t0), 1)
        self.assertTrue(gone, fleet.webhook.received())
        self.assertEqual(gone[1], {site_name(KILLED)})
        print(f"service killed to the webhook's message: {gone[0] - t0:.0f} s", file=sys.stderr)

        flapped = wait(lambda: first("BrixLinkLostRepeatedly"), 180, 1)
        self.assertTrue(flapped, fleet.webhook.received())
        self.assertEqual(flapped[1], {site_name(FLAPPING)})

        # The repeated-loss alert clears within 10 minutes of the last loss.
        alert = ("BrixLinkLostRepeatedly", site_name(FLAPPING))
        over = wait(lambda: alert in cleared, last_loss + 600 - time.time(), 5)
        self.assertTrue(over, f"still firing: {fleet.firing()}")
        print(f"last loss to the repeated-loss alert's end: {cleared[alert] - last_loss:.0f} s",
              file=sys.stderr)

        # Every expression of the dashboard and every recording rule has series from this
        # fleet over the run.
        board = os.path.join(fleet.kit, "grafana", "brix-fleet.json")
        with open(os.path.join(fleet.kit, "brix-rules.yml")) as f:
            rules = re.findall(r"^\s*- record: (\S+)$", f.read(), re.M)
        self.assertGreaterEqual(len(rules), 5)
        end = time.time()
        for expr in dashboard_expressions(board) + rules:
            with self.subTest(expr=expr):
                result = fleet.api("query_range", query=expr, start=t0 - 60, end=end, step=15)
                self.assertGreater(len(result["result"]), 0)

        stop.set()
        watcher.join()
        self.assertEqual(seen, expected)
        # Nothing about the killed service's modem: its own alerts wait for its data.
        for _, n in fleet.webhook.received():
            for a in n["alerts"]:
                self.assertFalse(a["labels"]["site"] == site_name(KILLED) and
                                 a["labels"]["alertname"] != "BrixServiceUnreachable", a)


if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    install()
    unittest.main(argv=[sys.argv[0], "-v"])
