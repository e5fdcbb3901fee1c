#!/usr/bin/env python3
"""Several programs on one modem link at once, as installed, against the simulated modem:
brixctl watch owns the link, brixctl serve and brixctl commands attach; the owner is killed and
the service takes over. Inside tools/netns-run (ctest does that).
   sharing_suite.py BUILD_DIR WORK_DIR"""
import calendar
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

import brixctl_suite as suite


def metrics(port):
    text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=2).read().decode()
    return dict(re.findall(r"^(brix_\w+(?:\{[^}]*\})?) (\S+)$", text, re.M))


class MemoryLimit:
    """A memory cgroup of `mb` megabytes without swap, as the service's unit sets (cgroup v2 or
    v1, where this test may make one); None from make() where it may not."""

    @staticmethod
    def make(mb):
        v2 = "/sys/fs/cgroup/cgroup.controllers"
        try:
            with open(v2 if os.path.exists(v2) else "/proc/self/cgroup") as f:
                controllers = f.read()
            if os.path.exists(v2) and "memory" in controllers:
                group = "/sys/fs/cgroup/brix-flood-%d" % os.getpid()
                os.mkdir(group)
                limit = MemoryLimit(group, "memory.max", "memory.peak", "memory.events")
                limit.write("memory.swap.max", "0")
            else:
                line = [l for l in controllers.splitlines() if ":memory:" in l][0]
                group = "/sys/fs/cgroup/memory%s/brix-flood-%d" % (
                    line.strip().split(":")[2].rstrip("/"), os.getpid())
                os.mkdir(group)
                limit = MemoryLimit(group, "memory.limit_in_bytes",
                                    "memory.max_usage_in_bytes", "memory.oom_control")
            limit.write(limit.max, str(mb << 20))
            if os.path.exists(os.path.join(group, "memory.memsw.limit_in_bytes")):
                limit.write("memory.memsw.limit_in_bytes", str(mb << 20))
            return limit
        except (OSError, IndexError):
            return None

    def __init__(self, group, max_file, peak_file, events_file):
        self.group, self.max, self.peak_file, self.events_file = (
            group, max_file, peak_file, events_file)

    def write(self, name, value):
        with open(os.path.join(self.group, name), "w") as f:
            f.write(value)

    def enter(self):  # in the child, before exec
        self.write("cgroup.procs", str(os.getpid()))

    def read(self, name):
        with open(os.path.join(self.group, name)) as f:
            return f.read()

    def peak_mb(self):
        path = os.path.join(self.group, self.peak_file)
        return int(self.read(self.peak_file)) >> 20 if os.path.exists(path) else None

    def oom_kills(self):
        text = self.read(self.events_file)
        return int(re.search(r"oom_kill (\d+)", text).group(1)) if "oom_kill" in text else 0

    def remove(self):
        for _ in range(50):
            try:
                os.rmdir(self.group)
                return
            except OSError:
                time.sleep(0.1)


def vm(pid, key):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^%s:\s+(\d+)" % key, f.read(), re.M).group(1)) >> 10


class Sharing(unittest.TestCase):
    def setUp(self):
        self.runtime = os.path.join(suite.WORK, "runtime")
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        self.modem = suite.Modem()
        self.addCleanup(self.modem.stop)

    def start(self, *args):
        p = subprocess.Popen([suite.BRIXCTL, *args], cwd=suite.WORK, env=self.env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (p.kill(), p.wait(), p.stdout.close(), p.stderr.close()))
        return p

    def run_ctl(self, *args):
        return suite.run(*args, env=self.env)

    def service_folder(self, name):
        """A service's folder as the service manager makes it (root only), gone afterwards."""
        made = not os.path.isdir("/run/brix")
        os.makedirs("/run/brix", mode=0o755, exist_ok=True)
        folder = "/run/brix/%s-%d" % (name, os.getpid())
        os.mkdir(folder, 0o750)

        def clean():
            shutil.rmtree(folder, ignore_errors=True)
            if made:
                try:
                    os.rmdir("/run/brix")
                except OSError:
                    pass  # another test's folder is in it now

        self.addCleanup(clean)
        return folder

    def link_of(self, *args):
        p = self.run_ctl("--json", *args, "status")
        self.assertEqual(p.returncode, 0, p.stderr)
        return json.loads(p.stdout)["link"]

    def test_owner_service_and_commands_together_then_the_owner_is_killed(self):
        watch = self.start("--json", "watch", "--interval", "0.5")
        self.assertIn("receive", watch.stdout.readline())
        serve = self.start("serve", "--metrics", "127.0.0.1:9332")
        self.assertIn("serving http://127.0.0.1:9332/metrics", serve.stderr.readline())

        # The first program owns; the service and each command attach to it.
        link = self.link_of()
        self.assertEqual(link["role"], "attached")
        self.assertEqual(link["owner"], "brixctl (pid %d)" % watch.pid)
        deadline = time.time() + 10
        while time.time() < deadline and metrics(9332).get("brix_up") != "1":
            time.sleep(0.2)
        self.assertEqual(metrics(9332)["brix_up"], "1")

        # A Set through an attached program completes, and the modem got it.
        table = json.loads(self.run_ctl("--json", "table", "get").stdout)
        table["channels"][1]["frequency_mhz"] = 600.0
        path = os.path.join(suite.WORK, "table.json")
        with open(path, "w") as f:
            json.dump(table, f)
        p = self.run_ctl("table", "set", path)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertTrue(any(r.startswith("SetData") for r in self.modem.received()),
                        self.modem.received()[-5:])
        p = self.run_ctl("tune", "555.2", "6.82")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

        # The owner dies: the service takes over within 2 s and keeps serving the modem's values.
        before = float(metrics(9332)["brix_link_frames_received_total"])
        watch.send_signal(signal.SIGKILL)
        watch.wait()
        killed = time.monotonic()
        # Within 2 s the service has taken over: a command started then attaches to it.
        time.sleep(2.0)
        link = self.link_of("--timeout", "1")
        self.assertEqual(link, {"role": "attached", "owner": "brixctl (pid %d)" % serve.pid,
                                "socket": link["socket"]})
        time.sleep(3.5)
        after = metrics(9332)
        self.assertEqual(after["brix_up"], "1")
        self.assertGreater(float(after["brix_link_frames_received_total"]), before)
        p = self.run_ctl("tune", "452.5", "9.45")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(5), 0)
        # The service's journal tells the takeover, once.
        told = [line for line in serve.stderr.read().splitlines() if "owner went away" in line]
        self.assertEqual(told, ["brixctl: The modem link's owner went away: this program owns "
                                "the link now"])
        # The last owner took its socket with it.
        self.assertEqual(os.listdir(os.path.join(self.runtime, "brix")), [])

    def history(self, store, what="events"):
        p = self.run_ctl("--history", store, "--json", "history", what, "--since", "5m")
        self.assertEqual(p.returncode, 0, p.stderr)
        return json.loads(p.stdout)

    def test_only_the_owner_records_with_who_asked_and_a_new_owner_goes_on(self):
        first = suite.fresh_store("first.sqlite3")
        second = suite.fresh_store("second.sqlite3")
        record = self.start("--history", first, "record")
        time.sleep(1)
        serve = self.start("--history", second, "serve", "--metrics", "127.0.0.1:9333")
        self.assertIn("serving", serve.stderr.readline())
        self.assertEqual(self.link_of()["role"], "attached")

        # Requests of attached programs are the owner's to record, with the program that asked;
        # a Set resent by the retry rule is one request.
        self.assertEqual(self.run_ctl("tune", "555.2", "6.82").returncode, 0)
        table = json.loads(self.run_ctl("--json", "table", "get").stdout)
        path = os.path.join(suite.WORK, "history-table.json")
        with open(path, "w") as f:
            json.dump(table, f)
        self.assertEqual(self.run_ctl("table", "set", path).returncode, 0)
        time.sleep(2.5)  # a batch is written every second
        events = self.history(first)
        asked = [(e["kind"], e["text"], e["program"]) for e in events
                 if e["kind"] in ("tune", "table-set")]
        self.assertIn(("tune", "Tune to 555.2 MHz, rate code 3", "brixctl"), asked)
        self.assertEqual([a for a in asked if a[0] == "table-set"],
                         [("table-set", "Set the channel table", "brixctl")])
        self.assertTrue(self.history(first, "samples"))
        # The attached service has not even made its store.
        self.assertFalse(os.path.exists(second))

        # kill -9 of the recorder: what it took until 2 s before is in its store, readable.
        time.sleep(3)
        record.send_signal(signal.SIGKILL)
        record.wait()
        killed = time.time()
        samples = self.history(first, "samples")
        newest = calendar.timegm(time.strptime(samples[-1]["time"][:19], "%Y-%m-%dT%H:%M:%S"))
        # At most one report period (3 s) and one write (1 s) old, and its second cut off.
        self.assertGreater(newest, killed - 5, samples[-1])

        # The service took over and records into its own store from then on.
        # Its first rows wait for the modem's next report (3 s) and the next write (1 s).
        deadline = time.time() + 15
        while time.time() < deadline and not os.path.exists(second):
            time.sleep(0.2)
        while time.time() < deadline and self.run_ctl("--history", second, "history",
                                                      "samples", "--since", "5m").returncode:
            time.sleep(0.5)
        self.assertTrue(self.history(second, "samples"))
        self.assertEqual(self.run_ctl("tune", "452.5", "9.45").returncode, 0)
        time.sleep(2)
        self.assertIn(("tune", "Tune to 452.5 MHz, rate code 4", "brixctl"),
                      [(e["kind"], e["text"], e["program"]) for e in self.history(second)])
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(5), 0)

    @unittest.skipUnless(os.geteuid() == 0, "a service's folder under /run/brix is root's to make")
    def test_the_service_takes_its_link_back_and_a_users_watch_goes_on(self):
        folder = self.service_folder("sharing-test")
        watch = self.start("--json", "watch", "--interval", "0.5")
        self.assertIn("receive", watch.stdout.readline())
        self.assertEqual(self.link_of()["owner"], "brixctl (pid %d)" % watch.pid)

        # The service starts while the user's watch owns the link: it has it within 2 s, and
        # records; the watch goes on attached to it, without a pause.
        store = suite.fresh_store("service.sqlite3")
        env = dict(self.env, RUNTIME_DIRECTORY=folder)
        started = time.time()
        serve = subprocess.Popen([suite.BRIXCTL, "--history", store, "serve", "--metrics",
                                  "127.0.0.1:9335"], cwd=suite.WORK, env=env,
                                 stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (serve.kill(), serve.wait(), serve.stderr.close()))
        self.assertIn("serving", serve.stderr.readline())
        self.assertLess(time.time() - started, 3)  # its start, and the handover within 2 s
        link = self.link_of()
        self.assertEqual((link["role"], link["owner"]), ("attached", "brixctl (pid %d)" % serve.pid))
        times = []
        for _ in range(8):
            watch.stdout.readline()
            times.append(time.time())
        self.assertLess(max(b - a for a, b in zip(times, times[1:])), 2, times)
        self.assertIsNone(watch.poll())
        time.sleep(2)
        self.assertTrue(self.history(store, "samples"))
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(5), 0)

    def test_a_stranger_that_takes_the_port_is_named_to_an_attached_console_at_once(self):
        store = suite.fresh_store("stranger.sqlite3")
        record = self.start("--history", store, "record")
        time.sleep(1.5)
        console = self.start("console")
        time.sleep(1.5)
        # The stranger takes the port before the console can: the console is stopped meanwhile.
        console.send_signal(signal.SIGSTOP)
        record.send_signal(signal.SIGKILL)
        record.wait()
        stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(stranger.close)
        stranger.bind(("0.0.0.0", 30587))
        console.send_signal(signal.SIGCONT)
        # Said within a few seconds, with who holds the port, though the console sleeps between
        # the modem's reports.
        out = console.stdout.fileno()
        os.set_blocking(out, False)
        text = ""
        deadline = time.time() + 6
        held = r"The modem link's port 30587 is held by python3 \(pid %d\)" % os.getpid()
        while time.time() < deadline and not re.search(held, text):
            time.sleep(0.2)
            try:
                text += os.read(out, 65536).decode(errors="replace")
            except BlockingIOError:
                pass
        self.assertRegex(text, held)
        stranger.close()

    @unittest.skipUnless(os.geteuid() == 0, "a service's folder under /run/brix is root's to make")
    def test_the_service_waits_for_a_port_held_by_a_program_that_will_not_hand_it_over(self):
        self.modem.stop()
        folder = self.service_folder("sharing-wait")
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", 30587))
        env = dict(self.env, RUNTIME_DIRECTORY=folder)
        serve = subprocess.Popen([suite.BRIXCTL, "serve", "--no-history", "--metrics",
                                  "127.0.0.1:9336"], cwd=suite.WORK, env=env,
                                 stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (serve.kill(), serve.wait(), serve.stderr.close()))
        told = ""
        for _ in range(4):
            told = serve.stderr.readline()
            if "waits" in told:
                break
        self.assertIn("is held by python3 (pid %d)" % os.getpid(), told)
        self.assertIn("the service waits for it", told)
        time.sleep(2)
        self.assertIsNone(serve.poll(), "the service gave up")
        holder.close()
        # Once the port is free, the service owns it and offers its link in its folder.
        deadline = time.time() + 4
        offered = []
        while time.time() < deadline and not offered:
            time.sleep(0.2)
            offered = [n for n in os.listdir(folder) if n.startswith("link-")]
        self.assertTrue(offered, os.listdir(folder))
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(5), 0)

    def test_a_flood_with_slow_readers_attached_stays_within_the_units_memory(self):
        # The unit's limit: with no cgroup to be had, the resident peak is watched instead.
        self.modem.stop()  # the flood comes from the modem's port
        # A sanitizer's shadow memory is not the program's: its builds get room for it.
        with open(os.path.join(suite.BUILD, "CMakeCache.txt")) as f:
            sanitized = re.search(r"^BRIX_SANITIZE:STRING=\S", f.read(), re.M) is not None
        mb = 1024 if sanitized else 64
        limit = MemoryLimit.make(mb)
        if limit:
            self.addCleanup(limit.remove)
        store = suite.fresh_store("flood.sqlite3")
        serve = subprocess.Popen([suite.BRIXCTL, "--history", store, "serve", "--metrics",
                                  "127.0.0.1:9334"], cwd=suite.WORK, env=self.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                 preexec_fn=limit.enter if limit else None)
        self.addCleanup(lambda: (serve.kill(), serve.wait(), serve.stderr.close()))
        self.assertIn("serving", serve.stderr.readline())
        folder = os.path.join(self.runtime, "brix")
        path = os.path.join(folder, [n for n in os.listdir(folder) if n.startswith("link-")][0])
        stop = threading.Event()

        def slow_reader():  # one datagram each 20 ms; dropped, it attaches again at once
            while not stop.is_set():
                s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
                try:
                    s.connect(path)
                    s.settimeout(1)
                    while not stop.is_set() and s.recv(2048):
                        time.sleep(0.02)
                except OSError:
                    time.sleep(0.05)
                finally:
                    s.close()

        readers = [threading.Thread(target=slow_reader) for _ in range(8)]
        for r in readers:
            r.start()
        flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        flood.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        flood.bind(("0.0.0.0", 30588))
        text = b"\x1b[2J flood " + b"x" * 1380 + b"\0"
        frame = b"\xff" * 6 + struct.pack("<HHHH", 0x7779, 17, 12, 3) + text
        end = time.monotonic() + 12
        while time.monotonic() < end:
            for _ in range(200):
                try:
                    flood.sendto(frame, ("127.255.255.255", 30587))
                except OSError:
                    pass
        flood.close()
        stop.set()
        for r in readers:
            r.join()
        time.sleep(1)
        self.assertIsNone(serve.poll(), "the service died under the flood")
        peak = limit.peak_mb() if limit else None
        if limit:
            self.assertEqual(limit.oom_kills(), 0)
        else:
            peak = vm(serve.pid, "VmHWM")
            self.assertLess(peak, mb)
        print("\nflood with 8 slow readers: peak %s MB%s" % (
            peak, " in a %d MB cgroup" % mb if limit else " resident"), file=sys.stderr)
        self.assertEqual(metrics(9334)["brix_up"], "1")
        # The history took the flood's messages only as the limit lets them through.
        events = sqlite3.connect(store).execute("SELECT count(*) FROM events").fetchone()[0]
        self.assertLess(events, 200)
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(5), 0)


if __name__ == "__main__":
    os.makedirs(suite.WORK, exist_ok=True)
    suite.install()
    unittest.main(argv=[sys.argv[0], "-v"])
