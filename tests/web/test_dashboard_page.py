"""The dashboard in headless Chromium against the mock service, served under a path prefix.

    python3 -m unittest discover -s tests/web -p 'test_*.py'

Skipped where no Chromium is installed (apt-get install chromium).
"""

import json
import sys
import threading
import time
import unittest
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cdp  # noqa: E402
from mock_api import EVENTS_CAP, MockServer, iso, parse_when  # noqa: E402

READY = ("document.querySelectorAll('.chart canvas').length >= 5 && "
         "document.getElementById('summary').textContent !== '' && "
         "!document.getElementById('history').hasAttribute('aria-busy') && "
         "document.getElementById('connection').dataset.state === 'live'")
SETTLED = "!document.getElementById('history').hasAttribute('aria-busy')"


def text(page, selector):
    return page.eval(f"document.querySelector({json.dumps(selector)}).textContent")


@unittest.skipUnless(cdp.find_chromium(), "no Chromium")
class DashboardPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = cdp.Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def serve(self, **options):
        server = MockServer(prefix="/site7/", **options)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server

    def open(self, server, ready=READY, **options):
        page = self.browser.open(server.url, **options)
        self.assertTrue(page.wait_for(ready), "the page did not get ready")
        self.addCleanup(page.send, "Page.close")
        return page

    def history_requests(self, server, kind):
        out = []
        for path in server.requests:
            url = urlsplit(path)
            if url.path.endswith(f"/api/v1/history/{kind}"):
                out.append({k: v[-1] for k, v in parse_qs(url.query).items()})
        return out

    def choose(self, page, since):
        page.eval(f"document.querySelector('#ranges button[data-since=\"{since}\"]').click()")
        self.assertTrue(page.wait_for(SETTLED))

    def test_under_a_prefix_every_part_loads_cleanly(self):
        server = self.serve()
        page = self.open(server)
        self.assertEqual(server.outside, [], "a URL that is not relative")
        self.assertEqual(page.violations(), [])
        self.assertEqual([m for m in page.messages() if "error" in m or "exception" in m], [])

        # The present, from the status.
        self.assertEqual(text(page, "#rx-frequency"), "555.2 MHz")
        self.assertEqual(text(page, "#receive-packets"), "120/s")
        self.assertEqual(text(page, "#link-attached"), "2 programs")
        self.assertEqual(text(page, "#rx-channel"), "2 “Home <i>not italic</i>”")
        self.assertIn("The modem answers since", text(page, "#modem-state"))

        # Every chart has a name and a text equivalent made of its data.
        charts = page.eval("""[...document.querySelectorAll('.chart')].map((c) => ({
            label: c.getAttribute('aria-label'),
            text: document.getElementById(c.getAttribute('aria-describedby')).textContent,
            width: c.clientWidth }))""")
        self.assertEqual(len(charts), 5)
        for chart in charts:
            self.assertTrue(chart["label"])
            self.assertRegex(chart["text"], r"\d|no data")
        self.assertRegex(charts[1]["text"], r"^Attenuation from -[\d.]+ to -[\d.]+ dBmV, mean -")

        # Requests: one consistent range, points no more than the charts' width.
        samples = self.history_requests(server, "samples")[-1]
        events = self.history_requests(server, "events")[-1]
        self.assertEqual((samples["since"], samples["until"]), (events["since"], events["until"]))
        self.assertEqual(events.get("newest"), "1", "the table wants the newest events")
        span = parse_when(samples["until"], 0) - parse_when(samples["since"], 0)
        self.assertAlmostEqual(span, 3600, delta=1)
        self.assertLessEqual(int(samples["points"]), min(2000, charts[0]["width"]))

        # The events table is a real table.
        self.assertEqual(page.eval("document.querySelectorAll('#events thead th[scope=col]').length"), 4)
        self.assertTrue(text(page, "#events caption").startswith("Events"))

        # Every URL in the page is relative.
        urls = page.eval("""[...document.querySelectorAll('[href], [src]')]
            .map((e) => e.getAttribute('href') || e.getAttribute('src'))""")
        self.assertTrue(urls)
        for url in urls:
            self.assertNotRegex(url, r"^(/|[a-z]+:)", url)

    def test_untrusted_texts_stay_text(self):
        server = self.serve()
        page = self.open(server)
        self.choose(page, "1d")
        self.assertEqual(page.eval("document.title"), "Brix Tool")
        self.assertEqual(page.eval(
            "document.querySelectorAll('#events-body script, #events-body img, #events-body b, "
            "#microcode b, #rx-channel i').length"), 0)
        cells = page.eval("""[...document.querySelectorAll('#events-body tr.kind-error')]
            .map((tr) => [...tr.cells].map((td) => td.textContent))""")
        hostile = [c for c in cells if "<script>" in c[2]]
        self.assertEqual(len(hostile), 1)
        self.assertIn("<script>document.title='owned'</script><b>bold?</b> café ÿæ \ufffd\ufffd[31m",
                      hostile[0][2])
        self.assertEqual(hostile[0][3], "<img src=x onerror=alert(1)>")
        self.assertEqual(text(page, "#microcode"), "2.05.17 \ufffd[1m<b>")
        self.assertEqual(page.violations(), [])

    def test_ranges_downloads_zoom_and_back(self):
        server = self.serve()
        page = self.open(server)
        self.choose(page, "7d")
        pressed = page.eval("""[...document.querySelectorAll('#ranges button')]
            .filter((b) => b.getAttribute('aria-pressed') === 'true').map((b) => b.textContent)""")
        self.assertEqual(pressed, ["1 week"])
        week = self.history_requests(server, "statistics")[-1]
        self.assertAlmostEqual(parse_when(week["until"], 0) - parse_when(week["since"], 0),
                               7 * 86400, delta=1)
        links = page.eval("""[...document.querySelectorAll('#downloads a')]
            .map((a) => a.getAttribute('href'))""")
        self.assertEqual(len(links), 9)
        self.assertFalse([link for link in links if "newest" in link],
                         "a download is the oldest-first export")
        names = page.eval("[...document.querySelectorAll('#downloads a')]"
                          ".map((a) => [a.getAttribute('aria-label'), a.textContent])")
        for name, shown in names:
            self.assertRegex(name, rf"^(Samples|Statistics|Events|Report|Report charts) as {shown}$")
        self.assertIn(f"api/v1/history/events?since={week['since'].replace(':', '%3A')}"
                      f"&until={week['until'].replace(':', '%3A')}&format=csv", links)

        # A drag across the middle of a chart reads that span anew, on every chart.
        box = json.loads(page.eval("JSON.stringify(document.querySelector('#chart-attenuation "
                                   ".chart').getBoundingClientRect())"))
        page.eval("document.querySelector('#chart-attenuation').scrollIntoView()")
        box = json.loads(page.eval("JSON.stringify(document.querySelector('#chart-attenuation "
                                   ".chart').getBoundingClientRect())"))
        y = box["y"] + box["height"] / 2
        x1, x2 = box["x"] + box["width"] * 0.5, box["x"] + box["width"] * 0.75
        for kind, x in (("mousePressed", x1), ("mouseMoved", (x1 + x2) / 2), ("mouseMoved", x2),
                        ("mouseReleased", x2)):
            page.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y,
                                                   "button": "left", "clickCount": 1})
        self.assertTrue(page.wait_for(
            "!document.getElementById('back').hidden && " + SETTLED))
        zoomed = self.history_requests(server, "samples")[-1]
        span = parse_when(zoomed["until"], 0) - parse_when(zoomed["since"], 0)
        self.assertLess(span, 0.3 * 7 * 86400)
        self.assertGreater(span, 0.2 * 7 * 86400)
        self.assertTrue(text(page, "#history-range").startswith("Zoomed"))
        self.assertEqual(text(page, "#back"), "Back to 1 week")
        windows = page.eval("""[...document.querySelectorAll('.chart')].map((c) => c.id)""")
        self.assertEqual(len(windows), 5)

        page.eval("document.getElementById('back').click()")
        self.assertTrue(page.wait_for("document.getElementById('back').hidden && " + SETTLED))
        back = self.history_requests(server, "samples")[-1]
        self.assertAlmostEqual(parse_when(back["until"], 0) - parse_when(back["since"], 0),
                               7 * 86400, delta=1)

    def test_failures_are_shown_and_the_rest_still_works(self):
        server = self.serve(failures=[("history/samples", 500), ("api/v1/status", 503),
                                      ("api/v1/stream", 503), ("dygraph.min.js", 404)])
        page = self.open(server, ready="document.querySelectorAll('#events-body tr').length > 0"
                                       " && " + SETTLED)
        self.assertIn("503 made to fail", text(page, "#present-error"))
        self.assertFalse(page.eval("document.getElementById('present-error').hidden"))
        self.assertIn("Samples: 500 made to fail", text(page, "#history-error"))
        self.assertFalse(page.eval("document.getElementById('history-error').hidden"))
        # Without the charting library the charts' texts still tell what they would show.
        self.assertFalse(page.eval("document.getElementById('charts-missing').hidden"))
        self.assertRegex(text(page, "#chart-packets-text"), r"upstream from")
        self.assertEqual(text(page, "#chart-attenuation-text"), "Attenuation: no data in this range.")
        # A stream the service refuses is not retried by the browser: the page says so and
        # tries again itself.
        self.assertTrue(page.wait_for(
            "document.getElementById('connection').dataset.state === 'closed'"))
        self.assertIn("trying again in 5 s", text(page, "#connection"))

    def test_the_stream_lost_is_said_and_taken_up_again(self):
        server = self.serve(stream_drop=1)
        page = self.open(server)
        self.assertTrue(page.wait_for(
            "document.getElementById('connection').dataset.state === 'reconnecting'", timeout=5))
        self.assertIn("Reconnecting", text(page, "#connection"))
        self.assertTrue(page.wait_for(
            "document.getElementById('connection').dataset.state === 'live'", timeout=8))
        # What the stream missed is read again.
        statuses = [p for p in server.requests if p.endswith("/api/v1/status")]
        self.assertGreaterEqual(len(statuses), 2)

    def test_link_changes_are_announced_and_listed(self):
        server = self.serve()
        page = self.open(server)
        rows = page.eval("document.querySelectorAll('#events-body tr').length")
        server.push("link-down", "no datagram from the modem for 10 s")
        self.assertTrue(page.wait_for(
            "document.getElementById('announce').textContent === 'The modem stopped answering.'"))
        self.assertEqual(page.eval("document.getElementById('modem-state').dataset.state"), "down")
        self.assertEqual(page.eval("document.querySelectorAll('#events-body tr').length"), rows + 1)
        self.assertEqual(text(page, "#events-body tr:first-child td:nth-child(2)"), "link-down")
        server.push("link-up", "the modem answers again")
        self.assertTrue(page.wait_for(
            "document.getElementById('announce').textContent === 'The modem answers again.'"))
        self.assertTrue(page.wait_for(
            "document.getElementById('modem-state').dataset.state === 'up'"))

    def test_the_report_time_is_the_modems_not_the_services(self):
        server = self.serve()
        server.answers = False
        server.last_report = time.time() - 125
        page = self.open(server, ready="document.getElementById('last-report').textContent "
                                       "!== '—' && " + SETTLED)
        self.assertRegex(text(page, "#last-report"), r"^2 min [5-9] s ago$")
        self.assertNotEqual(text(page, "#report-time"), "—")

    def test_more_events_than_sent_the_table_shows_the_newest(self):
        server = self.serve()
        now = time.time()
        many = [{"time": iso(now - 3000 + i * 0.1), "kind": "debug", "text": f"chatter {i}",
                 "program": ""} for i in range(EVENTS_CAP + 100)]
        server.record.events = sorted(server.record.events + many, key=lambda e: e["time"])
        page = self.open(server)
        caption = text(page, "#events-count")
        self.assertIn("500 events shown", caption)
        self.assertIn("at most 20,000 of them, the oldest first", caption)
        self.assertNotIn("hold them all", caption)
        # The table's oldest row is the 500th newest of the range, not one of the oldest sent.
        self.assertEqual(text(page, "#events-body tr:last-child td:nth-child(3)"),
                         server.record.events[-500]["text"])

    def test_a_service_without_history_says_so_once(self):
        server = self.serve(failures=[("api/v1/history/", 404)])
        page = self.open(server, ready="!document.getElementById('history-error').hidden && "
                                       + SETTLED)
        self.assertEqual(text(page, "#history-error"),
                         "This service keeps no history: only the present is shown.")
        for selector in ("#charts", "#downloads", "#charts-hint", ".toolbar", "#events"):
            self.assertFalse(page.eval(f"document.querySelector('{selector}').checkVisibility()"),
                             selector)
        self.assertEqual(text(page, "#rx-frequency"), "555.2 MHz")

    def test_a_phone_in_the_dark(self):
        server = self.serve()
        page = self.open(server, width=360, height=800, dark=True, mobile=True)
        self.choose(page, "1d")
        self.assertLessEqual(page.eval("document.documentElement.scrollWidth"), 360)
        self.assertLessEqual(page.eval("document.getElementById('events').scrollWidth"),
                             page.eval("document.querySelector('.table-wrap').clientWidth"),
                             "the events table fits without scrolling sideways")
        lefts = page.eval("[...document.querySelectorAll('.chart-box')].map((b) => "
                          "b.getBoundingClientRect().left)")
        self.assertEqual(len(set(lefts)), 1, "the charts stack")
        background = page.eval("getComputedStyle(document.body).backgroundColor")
        self.assertEqual(background, "rgb(21, 23, 27)")
        self.assertEqual(page.violations(), [])

    def test_the_violation_spy_sees_a_refused_style(self):
        # Without this, "no violations" above could mean a spy that sees nothing.
        server = self.serve()
        page = self.open(server)
        page.eval("document.body.setAttribute('style', 'color: red')")
        self.assertTrue(page.wait_for("window.__violations.length > 0"))


if __name__ == "__main__":
    unittest.main()
