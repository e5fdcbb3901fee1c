#!/usr/bin/env python3
"""brixctl as a user runs it: the installed program against the simulated modem (both from a
fresh `cmake --install`), inside the private network namespace that tools/netns-run made.
Outputs are parsed back (JSON, CSV), exit codes checked, and what reached the modem read from
the modem's own log of received frames.

    brixctl_suite.py BUILD_DIR WORK_DIR [unittest arguments, e.g. Commands]
"""
import csv
import io
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest
import urllib.request

BUILD, WORK = sys.argv[1], sys.argv[2]
PREFIX = os.path.join(WORK, "prefix")
BRIXCTL = os.path.join(PREFIX, "bin", "brixctl")
SIM = os.path.join(PREFIX, "bin", "brix-modem-sim")


def install():
    if not os.path.exists(BRIXCTL) or os.path.getmtime(BRIXCTL) < os.path.getmtime(
            os.path.join(BUILD, "brixctl", "brixctl")):
        subprocess.run(["cmake", "--install", BUILD, "--prefix", PREFIX],
                       check=True, stdout=subprocess.DEVNULL)


class Modem:
    """The simulated modem with its log of received frames."""

    def __init__(self, *args):
        self.log_path = os.path.join(WORK, "modem.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([SIM, "--seed", "7", "--link-test", "0", "--debug", "0",
                                      *args], stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 5
        while "listening" not in self.text() and time.time() < deadline:
            time.sleep(0.02)

    def text(self):
        with open(self.log_path) as f:
            return f.read()

    def received(self):
        """The descriptions of the frames received so far, in order."""
        return re.findall(r"^\s+[\d.]+ recv (.*)$", self.text(), re.M)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.log.close()


def comm(pid):
    with open("/proc/%d/comm" % pid) as f:
        return f.read().strip()


def run(*args, cwd=None, timeout=30, env=None):
    started = time.monotonic()
    p = subprocess.run([BRIXCTL, *args], cwd=cwd or WORK, capture_output=True, text=True,
                       timeout=timeout, env=env)
    p.seconds = time.monotonic() - started
    return p


class WithModem(unittest.TestCase):
    modem_args = ()

    def setUp(self):
        self.modem = Modem(*self.modem_args)
        self.cwd = os.path.join(WORK, self.id().split(".")[-1])
        os.makedirs(self.cwd, exist_ok=True)

    def tearDown(self):
        self.modem.stop()

    def ok(self, *args, code=0, **kw):
        p = run(*args, cwd=self.cwd, **kw)
        self.assertEqual(p.returncode, code, f"brixctl {' '.join(args)}: {p.stderr}")
        return p


class Commands(WithModem):
    def test_status_in_every_format(self):
        j = json.loads(self.ok("status", "--json").stdout)
        # The modem's built-in state: 452.5 MHz at code 4, 30.0 MHz at code 1, attenuation 6.
        self.assertEqual(j["receive"], {"frequency_mhz": 452.5, "bit_rate_mbps": 9.45,
                                        "rate_code": 4})
        self.assertEqual(j["transmit"]["frequency_mhz"], 30.0)
        self.assertEqual(j["transmit"]["bit_rate_mbps"], 3.2)
        self.assertEqual((j["attenuation_dbmv"], j["tx_level"]), (-12, 10))
        self.assertEqual(j["microcode_version"], "2.05.17")
        self.assertTrue(j["boot_version"].startswith("Boot 1.04.2"))
        stats = j["statistics"]
        self.assertGreaterEqual(stats["period_seconds"], 0.1)
        sent = re.findall(r"send Statistics2? \(\d\) 46 bytes: period (\d+) fragments (\d+) "
                          r"packets (\d+)", self.modem.text())
        self.assertIn((str(round(stats["period_seconds"] * 100)),
                       str(stats["upstream_transmitted_fragments"]),
                       str(stats["upstream_transmitted_packets"])), sent)

        rows = list(csv.DictReader(io.StringIO(self.ok("status", "--csv").stdout)))
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0]["receive.frequency_mhz"], "452.5")
        self.assertEqual(rows[0]["microcode_version"], "2.05.17")

        text = self.ok("status").stdout
        self.assertRegex(text, r"Receive\s+452\.5 MHz\s+9\.45 Mbit/s \(code 4\)")
        self.assertIn("Attenuation  -12 dBmV", text)

    def test_table_round_trip_keeps_labels_in_the_channel_file(self):
        table = json.loads(self.ok("table", "get", "--json").stdout)
        self.assertEqual([c["frequency_mhz"] for c in table["channels"]][:2], [452.5, 458.5])
        table["channels"][0].update(label="Kanal Süd", frequency_mhz=555.2, bit_rate_mbps=6.82)
        table["channels"][9]["label"] = "ten"
        path = os.path.join(self.cwd, "table.json")
        with open(path, "w") as f:
            json.dump(table, f)
        before = len(self.modem.received())
        out = json.loads(self.ok("table", "set", "table.json", "--json").stdout)
        self.assertEqual(out["channels"][0]["label"], "Kanal Süd")
        sets = [r for r in self.modem.received()[before:] if r.startswith("SetData")]
        self.assertEqual(len(sets), 1)
        self.assertIn("word 0x1109 item 0x62 count 30 data B0 15 03", sets[0])
        # The window's file, Latin-1 labels in 58-byte records.
        with open(os.path.join(self.cwd, "Brix Tool .lb"), "rb") as f:
            data = f.read()
        self.assertEqual(len(data), 580)
        self.assertEqual(data[:10], "Kanal Süd".encode("latin-1") + b"\0")
        self.assertEqual(struct.unpack_from("<ii", data, 50), (5552, 3))
        self.assertEqual(data[9 * 58:9 * 58 + 4], b"ten\0")
        rows = list(csv.DictReader(io.StringIO(self.ok("table", "get", "--csv").stdout)))
        self.assertEqual([r["label"] for r in rows][:2], ["Kanal Süd", ""])
        self.assertEqual(rows[9]["label"], "ten")

    def test_scanner_and_tune_send_what_the_pages_send(self):
        out = json.loads(self.ok("scanner", "set", "NTSC:9.45", "pald:6.82,9.45",
                                 "--json").stdout)
        self.assertEqual(out["plans"], {"NTSC": [9.45], "PALB": [], "PALD": [6.82, 9.45],
                                        "Other": []})
        self.assertEqual(json.loads(self.ok("scanner", "get", "--json").stdout)["mask"], 0x31)
        self.ok("scanner", "default")
        sets = [r for r in self.modem.received() if r.startswith("SetData")]
        self.assertTrue(sets[0].endswith("item 0x27 count 2 data 31 00"), sets)
        self.assertTrue(sets[-1].endswith("item 0x27 count 2 data 01 00"), sets)

        before = len(self.modem.received())
        p = self.ok("tune", "555.2", "6.82")
        self.assertIn("The modem reports the asked channel.", p.stdout)
        tunes = [r for r in self.modem.received()[before:] if r.startswith("Tune")]
        self.assertEqual([t.split(":")[1].strip() for t in tunes],
                         ["frequency 5552 rate code 3", "frequency 5552"])
        j = json.loads(self.ok("tune", "603.5", "--json").stdout)
        self.assertTrue(j["tuned"])
        self.assertEqual(j["receive"]["frequency_mhz"], 603.5)
        self.assertEqual(j["receive"]["rate_code"], 3)

    def test_streams_flush_each_sample_and_end_cleanly(self):
        lines = self.ok("watch", "--interval", "0.3", "--count", "3", "--json").stdout.split("\n")
        samples = [json.loads(l) for l in lines if l]
        self.assertEqual(len(samples), 3)
        self.assertRegex(samples[0]["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertEqual(samples[2]["receive"]["frequency_mhz"], 452.5)
        rows = list(csv.reader(io.StringIO(self.ok("watch", "--interval", "0.2", "--count", "2",
                                                   "--csv").stdout)))
        self.assertEqual(len(rows), 3)
        self.assertEqual(rows[0][:2], ["time", "receive.frequency_mhz"])

        # A stream read line by line, then Ctrl-C: every line came as it happened, exit 0.
        p = subprocess.Popen([BRIXCTL, "console", "--statistics"], cwd=self.cwd,
                             stdout=subprocess.PIPE, text=True)
        self.addCleanup(p.stdout.close)
        seen = []
        deadline = time.time() + 10
        while time.time() < deadline and not any("STATISTICS REPORT" in l for l in seen):
            seen.append(p.stdout.readline())
        p.send_signal(signal.SIGINT)
        self.assertEqual(p.wait(5), 0)
        texts = [l.split(None, 2)[2].rstrip("\n") if len(l.split(None, 2)) > 2 else ""
                 for l in seen]
        self.assertIn("Receive Cannel: Frequency = 452.5 MHz, Bit Rate =   9.45 Mbit/sec", texts)
        self.assertTrue(any(t.startswith("STATISTICS REPORT: Time period = ") for t in texts))

    def test_bad_input_is_refused_before_anything_is_sent(self):
        with open(os.path.join(self.cwd, "bad.json"), "w") as f:
            f.write("{\"channels\": [")
        with open(os.path.join(self.cwd, "nine.json"), "w") as f:
            json.dump({"channels": [{"frequency_mhz": 1, "bit_rate_mbps": 6.82}] * 9}, f)
        with open(os.path.join(self.cwd, "rate.json"), "w") as f:
            json.dump({"channels": [{"frequency_mhz": 1, "bit_rate_mbps": 7}] * 10}, f)
        before = len(self.modem.received())
        for args, message in [
            (["tune", "12x"], "frequency '12x' is not a number of MHz"),
            (["tune", "1e3"], "frequency '1e3' is not a number of MHz"),
            (["tune", "2000"], "frequency 2000 is not from 0 to 1500.0 MHz"),
            (["tune", "555.25"], "has more than one decimal"),
            (["tune", "555.2", "7.00"], "bit rate '7.00' is not one of 2.56, 3.20"),
            (["scanner", "set", "SECAM:6.82"], "scanner plan 'SECAM' is not one of"),
            (["scanner", "set", "NTSC:2.56"], "scanner rate '2.56' of NTSC is not 6.82 or 9.45"),
            (["table", "set", "bad.json"], "bad.json: not valid JSON"),
            (["table", "set", "nine.json"], "an array of 10 channels"),
            (["table", "set", "rate.json"], "bit rate '7.00' is not one of"),
            (["table", "set", "missing.json"], "cannot read missing.json"),
            (["status", "--timeout", "x"], "--timeout"),
            (["frobnicate"], "brixctl: unknown command: frobnicate"),
            ([], "A subcommand is required"),
            (["--interface", "eth9", "status"], "brixctl: no such interface: eth9"),
        ]:
            p = self.ok(*args, code=2)
            self.assertIn(message, p.stderr, args)
        self.assertEqual(self.modem.received()[before:], [])
        p = self.ok("table", "--help")
        self.assertIn("get", p.stdout)
        self.assertEqual(self.ok("--version").stdout.strip(), "brixctl 4.2")


class Faults(unittest.TestCase):
    def modem(self, *args):
        m = Modem(*args)
        self.addCleanup(m.stop)
        return m

    def test_exit_codes_of_a_modem_that_does_not_answer_as_asked(self):
        m = self.modem("--silent")
        p = run("status")
        self.assertEqual((p.returncode, p.stderr),
                         (3, "brixctl: no RF report from the modem within 3 s\n"))
        self.assertLess(p.seconds, 4)
        p = run("tune", "555.2", "--timeout", "1")
        self.assertEqual(p.returncode, 3)
        m.stop()

        m = self.modem("--ack-other")
        with open(os.path.join(WORK, "t.json"), "w") as f:
            json.dump({"channels": [{"frequency_mhz": 100 + k, "bit_rate_mbps": 6.82}
                                    for k in range(10)]}, f)
        p = run("table", "set", "t.json")
        # The link's rule: five sends two seconds apart, then it gives up.
        self.assertEqual(p.returncode, 3, p.stderr)
        self.assertIn("no answer from the modem to the Set of the channel table (5 sends)",
                      p.stderr)
        self.assertEqual(len([r for r in m.received() if r.startswith("SetData")]), 5)
        self.assertFalse(os.path.exists(os.path.join(WORK, "Brix Tool .lb")))
        m.stop()

        m = self.modem("--ignore-tune")
        p = run("tune", "555.2", "6.82")
        self.assertEqual(p.returncode, 5, p.stderr)
        self.assertIn("another channel than 555.2 MHz at 6.82 Mbit/s", p.stdout)
        m.stop()
        # The frequency taken and the rate not (the modem stays at 9.45) is not success either.
        m = self.modem("--ignore-tune-rate")
        p = run("tune", "555.2", "6.82")
        self.assertEqual(p.returncode, 5, p.stderr)
        self.assertIn("another channel than 555.2 MHz at 6.82 Mbit/s", p.stdout)

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("0.0.0.0", 30587))
            p = run("status")
            # A holder that offers no link to attach to, named from /proc: this very script.
            self.assertEqual((p.returncode, p.stderr),
                             (4, "brixctl: port 30587 is held by %s (pid %d), which offers no "
                                 "link to attach to\n" % (comm(os.getpid()), os.getpid())))

    def test_lossy_and_late_modems_still_answer(self):
        m = self.modem("--drop", "0.5")
        results = [run("status", "--json").returncode for _ in range(5)]
        self.assertEqual(results, [0] * 5)
        m.stop()
        self.modem("--late", "800", "--malformed", "0.3")
        p = run("status", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(json.loads(p.stdout)["receive"]["frequency_mhz"], 452.5)
        self.assertGreater(p.seconds, 0.8)


class Metrics(unittest.TestCase):
    def test_scrape_is_valid_prometheus_text_with_the_modem_values(self):
        m = Modem()
        self.addCleanup(m.stop)
        serve = subprocess.Popen([BRIXCTL, "serve", "--metrics", "127.0.0.1:9331"], cwd=WORK,
                                 stderr=subprocess.PIPE, text=True)
        self.addCleanup(serve.kill)
        self.addCleanup(serve.stderr.close)
        self.assertIn("serving http://127.0.0.1:9331/metrics", serve.stderr.readline())
        text = ""
        deadline = time.time() + 15
        while time.time() < deadline and ("brix_info" not in text or
                                          "brix_statistics_period_seconds" not in text):
            time.sleep(0.2)
            text = urllib.request.urlopen("http://127.0.0.1:9331/metrics").read().decode()
        check = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                               capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        values = dict(re.findall(r"^(brix_\w+(?:\{[^}]*\})?) (\S+)$", text, re.M))
        self.assertEqual(values["brix_up"], "1")
        self.assertEqual(float(values["brix_receive_frequency_hertz"]), 452.5e6)
        self.assertEqual(float(values["brix_transmit_frequency_hertz"]), 30e6)
        self.assertEqual(float(values["brix_receive_bit_rate_bytes_per_second"]), 9.45e6 / 8)
        self.assertEqual(float(values["brix_attenuation_dbmv"]), -12)
        self.assertEqual(values['brix_info{microcode="2.05.17",boot="Boot 1.04.2"}'], "1")
        self.assertLess(float(values["brix_last_report_age_seconds"]), 4)
        self.assertGreater(float(values["brix_link_frames_sent_total"]), 0)
        self.assertGreater(float(values["brix_link_frames_received_total"]), 0)
        # The modem stops answering: up goes to 0 once it has been quiet for 10 s.
        m.proc.send_signal(signal.SIGSTOP)
        time.sleep(10.5)
        text = urllib.request.urlopen("http://127.0.0.1:9331/metrics").read().decode()
        m.proc.send_signal(signal.SIGCONT)
        self.assertIn("\nbrix_up 0\n", text)
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(5), 0)
        # Bad listen addresses are usage errors.
        p = run("serve", "--metrics", "127.0.0.1:99999")
        self.assertEqual(p.returncode, 2)


if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    install()
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
