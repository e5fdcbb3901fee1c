#!/usr/bin/env python3
"""The dashboard as a user sees it: the real brixctl serve against the simulated modem, its page
in headless Chromium, all inside the private network namespace of tools/netns-run.

    tools/netns-run tests/web/dashboard_suite.py BUILD_DIR WORK_DIR [unittest arguments]

One service, one modem and one browser serve every case, in the order of their names: the live
values and a retune, then the modem stopped and resumed, then the history it left, a phone,
hostile requests; then a second service, attached to the first one's link, over a simulated
month: its 30 days, a zoom and back by mouse and keyboard, the accessibility tree and the Tab
order; and last the pages' console over the whole run. Screenshots go to WORK_DIR. Skipped where
no Chromium is installed.
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
MONTH_PORT = 9378
MONTH_URL = f"http://127.0.0.1:{MONTH_PORT}/"
DAY = 86400
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
        # The simulated month takes some seconds to write: it is written while the first cases
        # run (it sends nothing on the network).
        cls.fill = cls.start("fill.log", SIM, "--fill-history", WORK / "month.sqlite3",
                             "--days", "30", "--seed", "7")
        cls.wait_serving("serve.log", cls.serve)
        os.environ["HOME"] = cls.env["HOME"]
        cls.browser = cdp.Browser()
        cls.addClassCleanup(cls.browser.close)

    @classmethod
    def wait_serving(cls, log, process):
        deadline = time.monotonic() + 10
        while "serving http://" not in (WORK / log).read_text():
            if time.monotonic() > deadline or process.poll() is not None:
                raise RuntimeError("brixctl serve did not start: " + (WORK / log).read_text())
            time.sleep(0.05)

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

    def open(self, url=URL, **options):
        page = self.browser.open(url, **options)
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
        self.assertEqual(len(links), 9)
        reports = [(form, href) for kind, form, href in links if kind == "report"]
        links = [link for link in links if link[0] != "report"]
        # The report of the shown range for the provider, in its three forms: the silence of
        # this run is its outage.
        for form, href in reports:
            with self.subTest(report=form):
                with urllib.request.urlopen(href, timeout=20) as r:
                    body = r.read()
                    self.assertEqual(r.headers["Content-Disposition"],
                                     f'attachment; filename="brix-report.{form}"')
                self.assertTrue(body.startswith({"pdf": b"%PDF", "png": b"\x89PNG",
                                                 "html": b"<!DOCTYPE html>"}[form]), body[:20])
                if form == "html":
                    self.assertIn(b"The link was down once", body)
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

    # --- a second service over a simulated month ----------------------------------------------

    @property
    def month(self):
        """The page of a second service, on the simulated month, at 30 days. The service shares
        the runtime folder, so it attaches to the first one's link and records nothing: its
        store stays as the simulator wrote it."""
        if not hasattr(Dashboard, "_month"):
            self.assertEqual(self.fill.wait(60), 0, (WORK / "fill.log").read_text())
            serve = self.start("serve-month.log", BRIXCTL, "--history", WORK / "month.sqlite3",
                               "serve", "--metrics", f"127.0.0.1:{MONTH_PORT}")
            self.wait_serving("serve-month.log", serve)
            page = self.open(MONTH_URL, width=1280, height=1600)
            page.click('#ranges button[data-since="30d"]')
            self.assertTrue(page.wait_for(READY + " && document.querySelector("
                                          "'#ranges button[data-since=\"30d\"]')"
                                          ".getAttribute('aria-pressed') === 'true'"))
            Dashboard._month = page
        return Dashboard._month

    def shown_span(self, page):
        """Seconds from since to until of the range the page shows, as its downloads ask it."""
        return page.eval("(() => { const q = new URL(document.querySelector('#downloads a')"
                         ".href).searchParams; return (Date.parse(q.get('until')) - "
                         "Date.parse(q.get('since'))) / 1000; })()")

    def zoom(self, page):
        """A drag over the middle of the bit-rate chart; the summary then shown."""
        page.drag("#chart-bit-rates .chart", 0.35, 0.6)
        self.assertTrue(page.wait_for("!document.getElementById('back').hidden && " + SETTLED),
                        self.text(page, "#history-range"))
        return self.text(page, "#summary")

    MONTH_SUMMARY = "link down 5 times for 2 h 12 min in all; 1 retune; 1 channel change; 1 gap"

    def test_6_a_simulated_month_at_30_days(self):
        page = self.month
        self.assertEqual(page.eval("[...document.querySelectorAll('#ranges button')]"
                                   ".filter((b) => b.getAttribute('aria-pressed') === 'true')"
                                   ".map((b) => b.textContent)"), ["30 days"])
        self.assertAlmostEqual(self.shown_span(page), 30 * DAY, delta=1)
        self.assertFalse(self.text(page, "#history-range").startswith("Zoomed"))
        # Outages of 30 s, 75 s, 45 s, 10 min and 2 h.
        self.assertTrue(self.text(page, "#summary").startswith(self.MONTH_SUMMARY),
                        self.text(page, "#summary"))
        self.assertTrue(page.eval("document.getElementById('history-error').hidden"))
        # The present is the first service's modem, through its link.
        self.assertEqual(self.text(page, "#link-role"), "attached to another program")
        self.assertEqual(self.text(page, "#rx-frequency"), "555.2 MHz")

        charts = page.eval("[...document.querySelectorAll('.chart')].map((c) => "
                           "[c.querySelectorAll('canvas').length, c.clientWidth, "
                           "document.getElementById(c.getAttribute('aria-describedby'))"
                           ".textContent])")
        self.assertEqual(len(charts), 5)
        for canvases, width, text in charts:
            self.assertGreater(canvases, 0)
            self.assertGreater(width, 300)
            self.assertNotIn("no data", text)
        self.assertRegex(charts[0][2], r"^Bit rates: receive from 6\.82 to 9\.45 Mbit/s, mean ")
        # Drawn, not only described: the receive line, and a line where the link went down for
        # each outage. At this scale a short outage's down and up share a pixel column, where
        # the down must be the one seen; the 2 h outage's up is some pixels on.
        lines = page.eval("""(() => {
            const rgb = (name) => getComputedStyle(document.documentElement)
              .getPropertyValue(name).trim().match(/[0-9a-f]{2}/gi).map((h) => parseInt(h, 16));
            const names = ['--series-1', '--event-down', '--event-up'];
            const columns = names.map(() => new Map());
            for (const canvas of document.querySelectorAll('#chart-bit-rates canvas')) {
              const data = canvas.getContext('2d').getImageData(0, 0, canvas.width,
                                                                canvas.height).data;
              names.forEach((name, n) => {
                const [r, g, b] = rgb(name);
                for (let i = 0; i < data.length; i += 4) {
                  if (data[i] === r && data[i + 1] === g && data[i + 2] === b
                      && data[i + 3] === 255) {
                    const x = (i / 4) % canvas.width;
                    columns[n].set(x, (columns[n].get(x) || 0) + 1);
                  }
                }
              });
            }
            // Runs of neighbouring columns painted over most of the chart's height: lines.
            return names.map((name, n) => {
              const xs = [...columns[n]].filter(([, count]) => count > 100).map(([x]) => x)
                .sort((a, b) => a - b);
              return [name, xs.filter((x, i) => i === 0 || x !== xs[i - 1] + 1).length,
                      columns[n].size];
            });
        })()""")
        series, down, up = lines
        self.assertGreater(series[2], 500, lines)  # columns with some of the receive line
        self.assertEqual(down[1], 5, lines)
        self.assertGreaterEqual(up[1], 1, lines)
        kinds = self.event_kinds(page)
        for kind, count in (("link-down", 5), ("link-up", 5), ("tune", 1),
                            ("channel-change", 1), ("gap", 1), ("error", 1)):
            self.assertEqual(kinds.count(kind), count, kind)
        change = page.eval("document.querySelector('#events-body tr.kind-channel-change')"
                           ".cells[2].textContent")
        self.assertIn("9.45 Mbit/s -> 555.2 MHz at 6.82 Mbit/s", change)
        # The page down to the table's first rows: the whole of it is some 17000 pixels tall.
        page.screenshot(WORK / "month-30d-desktop-light.png", height=2800)

    def test_7_a_drag_zooms_in_and_back_returns_by_mouse_and_keyboard(self):
        page = self.month
        whole = self.text(page, "#summary")
        for how in ("mouse", "keyboard"):
            with self.subTest(back_by=how):
                summary = self.zoom(page)
                self.assertTrue(self.text(page, "#history-range").startswith("Zoomed: "))
                self.assertEqual(self.text(page, "#back"), "Back to 30 days")
                # A quarter of the chart, less its axis: some days, read anew with their own
                # summary.
                self.assertLess(self.shown_span(page), 0.3 * 30 * DAY)
                self.assertGreater(self.shown_span(page), 0.1 * 30 * DAY)
                self.assertNotEqual(summary, whole)
                self.assertNotIn("link down 5 times", summary)
                if how == "mouse":
                    page.click("#back")
                else:
                    page.eval("document.getElementById('back').focus()")
                    page.press("Enter")
                self.assertTrue(page.wait_for("document.getElementById('back').hidden && "
                                              + SETTLED))
                self.assertAlmostEqual(self.shown_span(page), 30 * DAY, delta=1)
                self.assertFalse(self.text(page, "#history-range").startswith("Zoomed"))
                self.assertTrue(self.text(page, "#summary").startswith(self.MONTH_SUMMARY))
        # The Back that hid itself hands the keyboard's focus on rather than dropping it.
        self.assertEqual(page.eval("document.activeElement.dataset.since"), "30d")

    def test_8_the_accessibility_tree_and_the_keyboard(self):
        page = self.month
        self.zoom(page)  # Back shown
        nodes = page.accessibility_tree()
        roles = [n["role"] for n in nodes]

        def named(role):
            return [n["name"] for n in nodes if n["role"] == role]

        for node in nodes:
            if node["role"] in ("button", "link", "image", "figure", "table",
                                "columnheader", "navigation", "region", "group") or \
                    node["properties"].get("focusable"):
                self.assertTrue(node["name"], f"{node['role']} without a name: {node}")
        self.assertEqual(named("button"), ["10 minutes", "1 hour", "1 day", "1 week", "30 days",
                                           "1 year", "5 years", "Back to 30 days"])
        self.assertEqual(len(named("link")), 9)
        self.assertEqual(named("image"), [
            "Chart of bit rates, receive and transmit, in Mbit/s",
            "Chart of attenuation, in dBmV",
            "Chart of packets per second, upstream and downstream forwarded",
            "Chart of bytes per second, upstream and downstream forwarded",
            "Chart of retransmissions per second, upstream retransmitted"])
        self.assertEqual(len(named("figure")), 5)
        self.assertEqual(len(named("table")), 1)
        self.assertTrue(named("table")[0].startswith("Events"), named("table"))
        self.assertEqual([n.split(" (")[0] for n in named("columnheader")],
                         ["Time", "Kind", "Text", "Program"])
        self.assertIn("main", roles)
        self.assertIn("Download the shown range", named("navigation"))
        # The stream's state, and the modem's changes told as they come.
        live = [(n["role"], n["properties"].get("live")) for n in nodes
                if n["properties"].get("live") in ("polite", "assertive")]
        self.assertIn(("status", "polite"), live)
        self.assertGreaterEqual(len(live), 2, live)
        # One h1, then no level skipped on the way down.
        headings = [(n["properties"].get("level"), n["name"]) for n in nodes
                    if n["role"] == "heading"]
        self.assertEqual(headings[0], (1, "Brix Tool"))
        self.assertEqual([h for h in headings if h[0] == 1], [(1, "Brix Tool")])
        self.assertEqual([h[1] for h in headings if h[0] == 2], ["Now", "History"])
        for (before, _), (after, name) in zip(headings, headings[1:]):
            self.assertLessEqual(after, before + 1, name)

        # Tab from the top of the page (a click there starts it, as the drag had started it at
        # the chart): every control in turn, each with its focus drawn.
        page.click("h1")
        stops = []
        for _ in range(40):
            page.press("Tab")
            stop = page.eval("""(() => {
                const e = document.activeElement;
                if (!e || e === document.body) return null;
                const s = getComputedStyle(e);
                const drawn = (s.outlineStyle !== 'none' && parseFloat(s.outlineWidth) >= 2)
                  || s.boxShadow !== 'none';
                return [e.id || e.dataset.since || `${e.dataset.kind}.${e.dataset.format}`,
                        e.matches(':focus-visible') && drawn];
            })()""")
            if stop is None or (stops and stop[0] == stops[0][0]):
                break
            stops.append(stop)
        self.assertEqual([s[0] for s in stops], [
            "10m", "1h", "1d", "7d", "30d", "1y", "5y", "back",
            "samples.csv", "samples.json", "statistics.csv", "statistics.json",
            "events.csv", "events.json", "report.pdf", "report.html", "report.png"])
        self.assertEqual([s[0] for s in stops if not s[1]], [], "focus not drawn")
        page.click("#back")
        self.assertTrue(page.wait_for("document.getElementById('back').hidden && " + SETTLED))

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
