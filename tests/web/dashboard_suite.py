#!/usr/bin/env python3
"""The dashboard as a user sees it: the real brixctl serve against the simulated modem, its page
in headless Chromium, all inside the private network namespace of tools/netns-run.

    tools/netns-run tests/web/dashboard_suite.py BUILD_DIR WORK_DIR [unittest arguments]

One service, one modem and one browser serve every case, in the order of their names: the live
values and a retune, then the modem stopped and resumed, then the history it left, a phone,
hostile requests, and last the page's console over the whole run. Screenshots go to WORK_DIR.
Skipped where no Chromium is installed.
"""

import gzip
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cdp  # noqa: E402

BUILD, WORK = (Path(a).resolve() for a in sys.argv[1:3])
BRIXCTL = BUILD / "brixctl" / "brixctl"
SIM = BUILD / "simulator" / "brix-modem-sim"
PORT = 9377
URL = f"http://127.0.0.1:{PORT}/"
CHARTS_FILE = Path("/usr/share/javascript/dygraphs/dygraph.min.js")

READY = ("document.querySelectorAll('.chart canvas').length >= 5 && "
         "document.getElementById('summary').textContent !== '' && "
         "!document.getElementById('history').hasAttribute('aria-busy') && "
         "document.getElementById('connection').dataset.state === 'live'")
SETTLED = "!document.getElementById('history').hasAttribute('aria-busy')"


def js(value):
    return json.dumps(value)


def get(path, headers=None, timeout=10):
    """Status, headers and body of a GET sent as written (no normalising of the path)."""
    c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=timeout)
    try:
        c.request("GET", path, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def setUpModule():
    if not cdp.find_chromium():
        raise unittest.SkipTest("no Chromium (apt-get install chromium): the dashboard is not tried")


class Dashboard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        WORK.mkdir(parents=True)
        runtime = WORK / "runtime"
        runtime.mkdir(mode=0o700)
        # brixctl tune finds the service's link through the runtime folder; Chromium keeps its
        # own files in the home.
        cls.env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime), HOME=str(WORK / "home"),
                       XDG_STATE_HOME=str(WORK / "state"))
        cls.pages = []
        # Class cleanups run even when the setup fails half way: nothing is left running.
        cls.modem = cls.start("modem.log", SIM, "--seed", "7", "--link-test", "0", "--debug", "0")
        cls.serve = cls.start("serve.log", BRIXCTL, "--history", WORK / "h.sqlite3", "serve",
                              "--metrics", f"127.0.0.1:{PORT}")
        deadline = time.monotonic() + 10
        while "serving http://" not in (WORK / "serve.log").read_text():
            if time.monotonic() > deadline or cls.serve.poll() is not None:
                raise RuntimeError("brixctl serve did not start: " +
                                   (WORK / "serve.log").read_text())
            time.sleep(0.05)
        os.environ["HOME"] = cls.env["HOME"]
        cls.browser = cdp.Browser()
        cls.addClassCleanup(cls.browser.close)

    @classmethod
    def start(cls, log, *command):
        with open(WORK / log, "w") as out:
            p = subprocess.Popen([str(c) for c in command], cwd=WORK, env=cls.env, stdout=out,
                                 stderr=subprocess.STDOUT)

        def end():
            p.send_signal(signal.SIGCONT)  # a modem stopped by a failed case, too
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

        cls.addClassCleanup(end)
        return p

    def open(self, **options):
        page = self.browser.open(URL, **options)
        self.pages.append(page)
        self.assertTrue(page.wait_for(READY, timeout=20), "the page did not get ready")
        return page

    def text(self, page, selector):
        return page.eval(f"document.querySelector({js(selector)}).textContent")

    def wait_text(self, page, selector, expected, timeout=10):
        """Waits for `expected` in the element's text; the text at the end when it never came."""
        page.wait_for(f"document.querySelector({js(selector)}).textContent"
                      f".includes({js(expected)})", timeout=timeout)
        return self.text(page, selector)

    def event_kinds(self, page):
        return page.eval("[...document.querySelectorAll('#events-body tr')]"
                         ".map((tr) => tr.cells[1].textContent)")

    tuned_at = 0  # when the first retune was through

    @property
    def desktop(self):
        # Opened by the first case; a case run alone opens its own.
        if not hasattr(Dashboard, "_desktop"):
            Dashboard._desktop = self.open(width=1280, height=1600)
        return Dashboard._desktop

    def test_1_the_modem_live_and_a_retune_from_another_program(self):
        page = self.desktop
        self.assertEqual(self.wait_text(page, "#rx-frequency", "452.5 MHz"), "452.5 MHz")
        self.assertEqual(self.text(page, "#tx-frequency"), "30 MHz")
        self.assertEqual(self.text(page, "#rx-bit-rate"), "9.45 Mbit/s")
        self.assertEqual(self.text(page, "#attenuation"), "-12 dBmV")
        # The service does not know the modem's table: no channel is claimed, not even "none".
        self.assertFalse(page.eval("document.getElementById('rx-channel').checkVisibility()"))
        self.assertEqual(self.wait_text(page, "#microcode", "2.05.17"), "2.05.17")
        self.assertTrue(self.text(page, "#boot").startswith("Boot 1.04.2"))
        self.assertEqual(self.text(page, "#connection"), "Live")
        self.assertEqual(self.text(page, "#link-role"), "owned by this service")
        self.assertIn("The modem answers since", self.text(page, "#modem-state"))

        # Another program retunes through the service's link: the stream brings the new
        # receive channel, and the event the service recorded joins the table.
        started = time.monotonic()
        p = subprocess.run([str(BRIXCTL), "tune", "555.2", "6.82"], env=self.env,
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(self.wait_text(page, "#rx-frequency", "555.2 MHz", timeout=5),
                         "555.2 MHz")
        self.assertEqual(self.text(page, "#rx-bit-rate"), "6.82 Mbit/s")
        self.assertTrue(page.wait_for("[...document.querySelectorAll('#events-body tr')]"
                                      ".some((tr) => tr.cells[1].textContent === 'tune')",
                                      timeout=5), self.event_kinds(page))
        Dashboard.tuned_at = time.monotonic()
        self.assertLess(Dashboard.tuned_at - started, 8)
        tune = page.eval("[...document.querySelectorAll('#events-body tr')]"
                         ".find((tr) => tr.cells[1].textContent === 'tune')"
                         ".cells[3].textContent")
        self.assertTrue(tune.startswith("brixctl"), tune)

    def test_2_a_modem_that_stops_answering_and_comes_back(self):
        page = self.desktop
        stopped = time.monotonic()
        self.modem.send_signal(signal.SIGSTOP)
        try:
            # A retune asked of the silent modem is recorded now, before the link down found
            # later and dated back to the last frame heard: the stream must bring both. (The
            # same tune within 5 s of the first would be taken for its resend.)
            time.sleep(max(2, Dashboard.tuned_at + 6 - time.monotonic()))
            p = subprocess.run([str(BRIXCTL), "--timeout", "1", "tune", "555.2", "6.82"],
                               env=self.env, capture_output=True, text=True, timeout=20)
            self.assertNotEqual(p.returncode, 0, p.stdout)
            # Silence for 10 s is a link down: the page says so from the stream's event.
            self.assertTrue(page.wait_for(
                "document.getElementById('modem-state').dataset.state === 'down'", timeout=16),
                self.text(page, "#modem-state"))
            self.assertIn("The modem does not answer, since", self.text(page, "#modem-state"))
            self.assertEqual(self.text(page, "#announce"), "The modem stopped answering.")
            self.assertEqual(self.text(page, "#connection"), "Live")
            time.sleep(max(0, 13 - (time.monotonic() - stopped)))
        finally:
            self.modem.send_signal(signal.SIGCONT)
        self.assertTrue(page.wait_for(
            "document.getElementById('modem-state').dataset.state === 'up'", timeout=8),
            self.text(page, "#modem-state"))
        # The page reads its range again as reports come: the span down is in the history.
        summary = self.wait_text(page, "#summary", "link down 1 time", timeout=15)
        self.assertIn("link down 1 time", summary)
        self.assertIn("2 retunes", summary)
        # The stream brings the link-up as it is recorded, while the report that came with it
        # has the range read again: the table keeps it once that reading is in.
        self.assertTrue(page.wait_for("document.querySelector('#events-body tr td:nth-child(2)')"
                                      ".textContent === 'link-up'", timeout=5),
                        self.event_kinds(page))
        time.sleep(1)
        self.assertTrue(page.wait_for(SETTLED))
        # The link down dates from the last frame heard, which may be older than the retune.
        kinds = self.event_kinds(page)
        self.assertEqual(kinds[0], "link-up", kinds)
        self.assertEqual(kinds.count("link-down"), 1, kinds)

    def test_3_the_history_its_charts_and_downloads(self):
        page = self.desktop
        # The range read anew, as its button does: the downloads then reach past the link-up.
        page.eval("document.querySelector('#ranges button[data-since=\"1h\"]').click()")
        self.assertTrue(page.wait_for(READY))
        charts = page.eval("[...document.querySelectorAll('.chart')].map((c) => "
                           "[c.querySelectorAll('canvas').length, c.clientWidth, "
                           "document.getElementById(c.getAttribute('aria-describedby'))"
                           ".textContent])")
        self.assertEqual(len(charts), 5)
        for canvases, width, text in charts:
            self.assertGreater(canvases, 0)
            self.assertGreater(width, 300)
        self.assertRegex(charts[0][2], r"^Bit rates: receive from 6\.82 to 9\.45 Mbit/s")
        self.assertEqual(charts[1][2], "Attenuation -12 dBmV.")
        # The packets drawn, not an empty chart beside a text of them (one report is a point).
        self.assertRegex(charts[2][2], r"^Packets per second: upstream (from )?\d")
        top = page.eval("Math.max(...[...document.querySelectorAll('#chart-packets "
                        ".dygraph-axis-label-y')].map((e) => parseFloat(e.textContent)))")
        self.assertGreater(top, 20, "the packets chart's axis is that of no data")
        self.assertRegex(self.text(page, "#summary"), r"^link down 1 time for \d+ s in all")
        self.assertTrue(page.eval("document.getElementById('history-error').hidden"))

        links = page.eval("[...document.querySelectorAll('#downloads a')]"
                          ".map((a) => [a.dataset.kind, a.dataset.format, a.href])")
        self.assertEqual(len(links), 6)
        for kind, form, href in links:
            with self.subTest(kind=kind, format=form):
                self.assertTrue(href.startswith(URL + f"api/v1/history/{kind}?"), href)
                with urllib.request.urlopen(href, timeout=10) as r:
                    self.assertEqual(r.status, 200)
                    body = r.read().decode()
                    if form == "csv":
                        self.assertEqual(r.headers["Content-Type"], "text/csv; charset=utf-8")
                        self.assertEqual(r.headers["Content-Disposition"],
                                         f'attachment; filename="brix-{kind}.csv"')
                        lines = body.split("\r\n")
                        self.assertEqual(lines[0].split(",")[0], "time")
                        self.assertEqual(lines[-1], "")
                        rows = lines[1:-1]
                    else:
                        self.assertEqual(r.headers["Content-Type"], "application/json")
                        rows = json.loads(body)
                    # Statistics: one report a silence long at least.
                    self.assertGreaterEqual(len(rows), {"samples": 3, "statistics": 1,
                                                        "events": 6}[kind])
                    if kind == "events":
                        text = body if form == "csv" else " ".join(e["kind"] for e in rows)
                        for kind_name in ("tune", "link-down", "link-up", "version"):
                            self.assertIn(kind_name, text)
        page.screenshot(WORK / "desktop-light.png", full_page=True)

    def test_4_a_phone_in_the_dark(self):
        page = self.open(width=360, height=800, dark=True, mobile=True)
        self.assertEqual(self.wait_text(page, "#rx-frequency", "555.2 MHz"), "555.2 MHz")
        self.assertLessEqual(page.eval("document.documentElement.scrollWidth"), 360)
        self.assertLessEqual(page.eval("document.getElementById('events').scrollWidth"),
                             page.eval("document.querySelector('.table-wrap').clientWidth"))
        self.assertEqual(page.eval("getComputedStyle(document.body).backgroundColor"),
                         "rgb(21, 23, 27)")
        page.screenshot(WORK / "phone-dark.png", full_page=True)
        total = page.eval("document.documentElement.scrollHeight")
        for i, top in enumerate(range(0, total, 800), start=1):
            page.screenshot(WORK / f"phone-dark-{i}.png", top=top, height=800)

    def test_5_hostile_requests_get_a_refusal_and_nothing_else(self):
        for path, status in (("/api/v1/history/samples?since=xyz", 400),
                             ("/api/v1/history/samples?points=1000000", 400),
                             ("/api/v1/history/events?since=1h&since=2h", 400),
                             ("/api/v1/history/events?since=" + "1" * 2048, 400),
                             ("/../etc/passwd", 404),
                             ("/javascript/dygraphs/../../../etc/passwd", 404),
                             ("/%2e%2e/%2e%2e/etc/passwd", 404)):
            with self.subTest(path=path[:60]):
                got, headers, body = get(path)
                self.assertEqual(got, status, body[:200])
                self.assertLess(len(body), 300)
                self.assertNotIn(b"root:", body)
                self.assertNotIn("html", headers["content-type"])
                self.assertNotIn("content-encoding", headers)
        # The server goes on serving after them.
        self.assertEqual(get("/api/v1/status")[0], 200)

        status, headers, body = get("/javascript/dygraphs/dygraph.min.js",
                                    {"Accept-Encoding": "gzip"})
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-encoding"], "gzip")
        self.assertEqual(headers["content-type"], "text/javascript; charset=utf-8")
        self.assertEqual(gzip.decompress(body), CHARTS_FILE.read_bytes())
        self.assertLess(len(body), CHARTS_FILE.stat().st_size / 2)

    def test_9_no_console_error_nor_policy_violation_in_the_whole_run(self):
        self.assertTrue(self.pages, "no page was opened")
        for page in self.pages:
            self.assertEqual(page.violations(), [])
            self.assertEqual([m for m in page.messages()
                              if not m.startswith(("console.log", "console.info",
                                                   "console.debug"))], [])
        # None, because the page keeps to the service's policy, not for want of one: a style
        # attribute (which it refuses) is seen.
        page.eval("document.body.setAttribute('style', 'color: red')")
        self.assertTrue(page.wait_for("window.__violations.length > 0", timeout=5))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
