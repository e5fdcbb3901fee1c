#!/usr/bin/env python3
"""brixctl serve as Prometheus and its neighbours use it: the installed program against the
simulated modem, with idle, slow and hostile clients on real sockets, signals at any moment,
and Debian's real Prometheus server scraping it every second, queried by its HTTP API. All of
it inside the private network namespace of tools/netns-run, on loopback.

    prometheus_suite.py BUILD_DIR WORK_DIR [unittest arguments]
"""
import http.client
import json
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import unittest
import warnings
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from brixctl_suite import BRIXCTL, PREFIX, WORK, Modem, install  # noqa: E402

RULES = os.path.join(PREFIX, "share", "brixctl", "prometheus", "brix-alerts.yml")


def vm_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1))


class Serve:
    """brixctl serve on a port of loopback, up once it says so."""

    def __init__(self, case, port, *extra, serve_options=()):
        self.port = port
        self.proc = subprocess.Popen([BRIXCTL, *extra, "serve", *serve_options, "--metrics",
                                      f"127.0.0.1:{port}"], cwd=WORK, stderr=subprocess.PIPE,
                                     text=True)
        case.addCleanup(self.proc.stderr.close)
        case.addCleanup(lambda: self.proc.poll() is None and (self.proc.kill(), self.proc.wait()))
        case.assertRegex(self.proc.stderr.readline(), "serving https?://")

    def scrape(self, timeout=5):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/metrics",
                                    timeout=timeout) as r:
            return r.read().decode()

    def values(self):
        return dict(re.findall(r"^(brix_\w+(?:\{[^}]*\})?) (\S+)$", self.scrape(), re.M))

    def raw(self, request, read=True):
        """The status line the server answers to the bytes of `request`."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(request)
            return s.recv(4096).split(b"\r\n")[0].decode() if read else None


class Server(unittest.TestCase):
    """The HTTP side: clients that take their time, bodies, signals."""

    def test_idle_and_slow_clients_hold_up_no_scrape_nor_the_exit(self):
        modem = Modem()
        self.addCleanup(modem.stop)
        serve = Serve(self, 9341)
        # Two scrapers that keep their connections alive between scrapes.
        kept = [http.client.HTTPConnection("127.0.0.1", 9341, timeout=5) for _ in range(2)]
        for c in kept:
            c.request("GET", "/metrics")
            self.assertEqual(c.getresponse().read()[:7], b"# HELP ")
        # More than the server keeps open at once: the oldest unfinished ones make room.
        idle = [socket.create_connection(("127.0.0.1", 9341)) for _ in range(100)]
        slow = [socket.create_connection(("127.0.0.1", 9341)) for _ in range(200)]
        for s in kept + idle + slow:
            self.addCleanup(s.close)
        stop = threading.Event()

        def dribble():
            for s in slow:
                s.sendall(b"GET /metrics HTTP/1.1\r\n")
            while not stop.wait(0.5):
                for s in slow:
                    try:
                        s.sendall(b"X-Slow: 1\r\n")
                    except OSError:  # ended by the server: made room, or past its deadline
                        pass
        dribbler = threading.Thread(target=dribble)
        dribble_started = time.monotonic()
        dribbler.start()
        self.addCleanup(dribbler.join)
        self.addCleanup(stop.set)

        times = []
        for _ in range(30):
            started = time.monotonic()
            self.assertIn("brix_up", serve.scrape(timeout=2))
            times.append(time.monotonic() - started)
            time.sleep(0.1)
        print(f"\nscrape with 2 kept-alive, 100 idle and 200 slow connections open: median "
              f"{statistics.median(times) * 1000:.1f} ms, worst {max(times) * 1000:.1f} ms",
              file=sys.stderr)
        self.assertLess(max(times), 0.1)
        # The idle ones were closed after a second without a byte; the slow ones, still
        # dribbling, are still open.
        for s in idle[:5] + kept[:1]:
            s = s.sock if isinstance(s, http.client.HTTPConnection) else s
            s.settimeout(0.5)
            self.assertEqual(s.recv(1), b"")
        # However long they go on dribbling, none outlives the deadline of a whole request.
        time.sleep(max(0, dribble_started + 6.5 - time.monotonic()))
        for s in slow[-5:]:
            s.settimeout(0.5)
            try:
                self.assertEqual(s.recv(1), b"")
            except ConnectionResetError:
                pass
        # A signal ends serve at once, whatever its clients are doing.
        started = time.monotonic()
        serve.proc.send_signal(signal.SIGTERM)
        self.assertEqual(serve.proc.wait(5), 0)
        self.assertLess(time.monotonic() - started, 1)

    def test_bodies_are_refused_unread_and_memory_stays_flat(self):
        serve = Serve(self, 9342)
        serve.scrape()
        before = vm_kib(serve.proc.pid, "VmHWM")
        size = 300 << 20
        chunk = b"x" * (1 << 20)
        with socket.create_connection(("127.0.0.1", 9342), timeout=5) as s:
            s.sendall(b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % size)
            sent = 0
            try:
                while sent < size:
                    s.sendall(chunk)
                    sent += len(chunk)
            except (BrokenPipeError, ConnectionResetError):
                pass
            try:
                status = s.recv(4096).split(b"\r\n")[0]
            except ConnectionResetError:
                status = b"(reset)"
        peak = vm_kib(serve.proc.pid, "VmHWM")
        print(f"\n300 MB POST: peak resident {before / 1024:.1f} MB before, {peak / 1024:.1f} MB after;"
              f" {sent >> 20} MB sent before the server closed; answer {status!r}",
              file=sys.stderr)
        self.assertLess(peak, before + 4096)
        self.assertLess(sent, size)
        self.assertIn(status, (b"HTTP/1.1 405 Method Not Allowed", b"(reset)"))
        for request, status in [
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 999999999\r\n\r\n", "413"),
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "413"),
            (b"PUT /metrics HTTP/1.0\r\n\r\n", "405"),
            (b"GET /other HTTP/1.0\r\n\r\n", "404"),
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\n" + b"X-Big: " + b"y" * 40000 + b"\r\n\r\n",
             "431"),
            (b"HEAD /metrics HTTP/1.0\r\n\r\n", "200"),
            # What a proxy could read otherwise: two lengths, no Host, a zero byte in the path.
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 0"
             b"\r\n\r\n", "400"),
            (b"GET /metrics HTTP/1.1\r\n\r\n", "400"),
            (b"GET /metrics%00 HTTP/1.0\r\n\r\n", "400"),
            (b"GET /metrics%00.txt HTTP/1.1\r\nHost: x\r\n\r\n", "400"),
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", "400"),
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length : 5\r\n\r\n", "400"),
            # On loopback without users, only a loopback name is answered: a rebinding page's
            # name that merely begins like one is not.
            *[(b"GET /metrics HTTP/1.1\r\nHost: " + host + b"\r\n\r\n", "421")
              for host in (b"127.0.0.1.nip.io", b"127.0.0.1evil.example", b"[::1].evil",
                           b"127.0.0.1:80x", b"localhost.evil.example", b"a b.localhost")],
            *[(b"GET /metrics HTTP/1.1\r\nHost: " + host + b"\r\n\r\n", "200")
              for host in (b"127.0.0.1:9331", b"LOCALHOST", b"[::1]:9331", b"site.localhost",
                           b"127.8.9.10")],
        ]:
            got = serve.raw(request)
            self.assertTrue(got.startswith("HTTP/1.1 " + status), (request[:40], got))
        self.assertIn("brix_up", serve.scrape())

    def test_a_signal_in_the_first_milliseconds_ends_serve(self):
        rng = random.Random(18)
        slow = []
        for attempt in range(200):
            sig = signal.SIGTERM if attempt % 2 == 0 else signal.SIGINT
            p = subprocess.Popen([BRIXCTL, "serve", "--metrics", "127.0.0.1:9344"], cwd=WORK,
                                 stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, 0.03))
            p.send_signal(sig)
            started = time.monotonic()
            try:
                code = p.wait(1)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                code = "still running"
            # Before its handler is installed the signal's default action ends it (-sig).
            if code not in (0, -sig) or time.monotonic() - started > 1:
                slow.append((attempt, code))
        self.assertEqual(slow, [])

    def test_listen_addresses(self):
        serve = subprocess.Popen([BRIXCTL, "serve", "--metrics", "[::1]:9345"], cwd=WORK,
                                 stderr=subprocess.PIPE, text=True)
        self.assertIn("serving http://[::1]:9345/metrics", serve.stderr.readline())
        with urllib.request.urlopen("http://[::1]:9345/metrics", timeout=5) as r:
            self.assertIn(b"brix_up", r.read())
        serve.terminate()
        self.assertEqual(serve.wait(5), 0)
        serve.stderr.close()
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
            taken.bind(("127.0.0.1", 9346))
            taken.listen()
            p = subprocess.run([BRIXCTL, "serve", "--metrics", "127.0.0.1:9346"], cwd=WORK,
                               capture_output=True, text=True, timeout=10)
        self.assertEqual((p.returncode, p.stderr), (1, "brixctl: cannot listen on "
                                                       "127.0.0.1:9346: Address already in use\n"))
        for bad in ["::1:9330", "[::1]", "127.0.0.1:0", "[127.0.0.1]:9330"]:
            p = subprocess.run([BRIXCTL, "serve", "--metrics", bad], capture_output=True,
                               text=True, timeout=10)
            self.assertEqual(p.returncode, 2, bad)


class Prometheus(unittest.TestCase):
    """Debian's Prometheus scraping serve every second, with the shipped alert rules."""

    def query(self, expr, at=None):
        params = {"query": expr}
        if at is not None:
            params["time"] = f"{at:.3f}"
        url = "http://127.0.0.1:9390/api/v1/query?" + urllib.parse.urlencode(params)
        with urllib.request.urlopen(url, timeout=5) as r:
            body = json.load(r)
        self.assertEqual(body["status"], "success", body)
        return {json.dumps(v["metric"], sort_keys=True): float(v["value"][1])
                for v in body["data"]["result"]}

    def scalar(self, expr, at=None):
        values = list(self.query(expr, at).values())
        return values[0] if len(values) == 1 else None

    def wait_for(self, what, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                if what():
                    return
            except OSError:  # Prometheus is still starting
                pass
            time.sleep(0.25)
        self.fail(f"not within {seconds} s")

    def test_rates_gaps_and_rules_as_prometheus_sees_them(self):
        self.assertTrue(os.path.exists(RULES))
        modem = Modem()
        self.addCleanup(modem.stop)
        # The modem's log counts from its start, just before it says it is listening.
        zero = time.time()
        serve = Serve(self, 9343)
        # A second service of the same modem behind TLS and a password, as a site on a network
        # others share would run it: the same file format as Prometheus's own web config.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        os.path.join(WORK, "key.pem"), "-out", os.path.join(WORK, "cert.pem"),
                        "-days", "2", "-subj", "/CN=localhost", "-addext",
                        "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import crypt
            hashed = crypt.crypt("scrape-secret", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1024))
        web = os.path.join(WORK, "web.yml")
        with open(web, "w") as f:
            json.dump({"tls_server_config": {"cert_file": "cert.pem", "key_file": "key.pem"},
                       "basic_auth_users": {"prometheus": hashed}}, f)  # JSON is YAML
        secured = Serve(self, 9344, "--history", os.path.join(WORK, "tls.sqlite3"),
                        serve_options=("--web-config", web))
        config = os.path.join(WORK, "prometheus.yml")
        with open(config, "w") as f:
            json.dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                       "rule_files": [RULES],
                       "scrape_configs": [
                           {"job_name": "brix", "static_configs":
                            [{"targets": ["127.0.0.1:9343"]}]},
                           {"job_name": "brix-tls", "scheme": "https",
                            "tls_config": {"ca_file": os.path.join(WORK, "cert.pem")},
                            "basic_auth": {"username": "prometheus",
                                           "password": "scrape-secret"},
                            "static_configs": [{"targets": ["127.0.0.1:9344"]}]}]}, f)
        data = os.path.join(WORK, "prometheus-data")
        subprocess.run(["rm", "-rf", data], check=True)
        log = open(os.path.join(WORK, "prometheus.log"), "w")
        self.addCleanup(log.close)
        prom = subprocess.Popen(["prometheus", f"--config.file={config}",
                                 f"--storage.tsdb.path={data}",
                                 "--web.listen-address=127.0.0.1:9390"],
                                stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(prom.wait)
        self.addCleanup(prom.terminate)
        self.wait_for(lambda: self.scalar('brix_up{job="brix"}') == 1, 30)
        self.wait_for(lambda: self.scalar('brix_up{job="brix-tls"}') == 1, 10)
        # Without the password, or over plain HTTP, nothing is told.
        plain = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                "--cacert", os.path.join(WORK, "cert.pem"),
                                "https://127.0.0.1:9344/metrics"], capture_output=True, text=True)
        self.assertEqual(plain.stdout, "401")
        # Gone again, so that what follows reads one service's series.
        secured.proc.terminate()
        self.assertEqual(secured.proc.wait(5), 0)
        self.wait_for(lambda: self.scalar('up{job="brix-tls"}') == 0, 10)
        time.sleep(1)

        # The text itself: valid, shortest numbers, counters named as such, no bar levels.
        text = serve.scrape()
        check = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                               capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertIn("\nbrix_receive_bit_rate_bytes_per_second 1181250\n", text)
        self.assertIn("\nbrix_receive_frequency_hertz 452500000\n", text)
        self.assertNotRegex(text, r"\d{16}|_rate |_rate\n")
        self.assertIn('\nbrix_info{microcode="2.05.17",boot="1.04.2"} 1\n', text)

        # Reports every 7 s: enough of them for a 30 s window, Prometheus scraping all along.
        def reports():
            return [(float(t), int(b)) for t, b in re.findall(
                r"^\s*([\d.]+) send Statistics2? .* fwd-bytes (\d+) ", modem.text(), re.M)]
        self.wait_for(lambda: len(reports()) >= 6, 60)
        # The counter adds every report the modem sent (looked at between two reports).
        for _ in range(20):
            sent = reports()
            total = serve.values().get("brix_downstream_bytes_total")
            if reports() == sent:
                break
        self.assertEqual(float(total), sum(b for _, b in sent))
        # rate() over 30 s ending 3.5 s after the last report: the window holds the reports of
        # the last 30 s, with seconds to spare at either edge for a scrape's delay.
        last = sent[-1][0]
        at = zero + last + 3.5
        self.wait_for(lambda: time.time() > at + 2, 10)
        expected = sum(b for t, b in sent if last - 26.5 < t <= last) / 30
        got = self.scalar("rate(brix_downstream_bytes_total[30s])", at)
        print(f"\nrate(brix_downstream_bytes_total[30s]) {got:.0f} B/s, the modem sent "
              f"{expected:.0f} B/s", file=sys.stderr)
        self.assertLess(abs(got - expected), 0.1 * expected)
        self.assertEqual(self.scalar('min_over_time(up{job="brix"}[30s])'), 1)

        rules = json.load(urllib.request.urlopen("http://127.0.0.1:9390/api/v1/rules"))
        loaded = [(r["name"], r["health"]) for g in rules["data"]["groups"] for r in g["rules"]]
        self.assertEqual(sorted(loaded), [("BrixCountersReset", "ok"),
                                          ("BrixHistoryNotRecording", "ok"),
                                          ("BrixLinkLostRepeatedly", "ok"),
                                          ("BrixModemDown", "ok"),
                                          ("BrixReceiveChannelChanged", "ok"),
                                          ("BrixRetransmissionsHigh", "ok"),
                                          ("BrixServiceUnreachable", "ok")])
        self.assertEqual(self.scalar("brix_link_down_total"), 0)

        # The modem stops: brix_up goes to 0, its values go (a gap, not a flat line), the
        # counters of the link and of the reports stay.
        silenced = time.time()
        modem.proc.send_signal(signal.SIGSTOP)
        self.addCleanup(modem.proc.send_signal, signal.SIGCONT)
        self.wait_for(lambda: self.scalar('brix_up{job="brix"}') == 0, 20)
        time.sleep(1.5)
        for gone in ["brix_receive_frequency_hertz", "brix_attenuation_dbmv", "brix_info",
                     "brix_statistics_period_seconds"]:
            self.assertEqual(self.query(gone), {}, gone)
        self.assertIsNotNone(self.scalar("brix_link_frames_sent_total"))
        self.assertEqual(self.scalar("brix_downstream_bytes_total"),
                         sum(b for _, b in reports()))
        # The loss is counted once, stamped with the modem's last frame before it.
        self.assertEqual(self.scalar("brix_link_down_total"), 1)
        stopped = self.scalar("brix_link_last_change_timestamp_seconds")
        self.assertLess(silenced - 4, stopped)
        self.assertLess(stopped, silenced + 0.5)
        # And back.
        modem.proc.send_signal(signal.SIGCONT)
        self.wait_for(lambda: self.scalar("brix_receive_frequency_hertz") == 452.5e6, 20)
        self.assertGreater(self.scalar("brix_link_last_change_timestamp_seconds"), stopped)
        self.assertEqual(self.scalar("brix_link_down_total"), 1)


if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    install()
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
