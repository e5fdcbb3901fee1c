#!/usr/bin/env python3
"""A stand-in for the dashboard's service, for working on web/ without a modem or a build.

Serves web/ at the prefix, Debian's dygraphs at PREFIX/javascript/dygraphs/, and the API with
made-up data: a day of one-minute rows (two link-down spans, a gap, a span that began before the
day), hourly rows for 60 days before it, events (one with markup and control characters in its
text), and a stream that sends a status each second. Every answer carries the page's
Content-Security-Policy. It listens on 127.0.0.1 only.

    tests/web/mock_api.py --port 8377 --prefix /site7/
    tests/web/mock_api.py --fail history/samples=500 --fail status=503 --stream-drop 5
"""

import argparse
import csv
import io
import json
import math
import mimetypes
import os
import queue
import re
import threading
import time
from datetime import datetime, timezone
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

WEB_ROOT = Path(__file__).resolve().parents[2] / "web"
DYGRAPHS_ROOT = Path("/usr/share/javascript/dygraphs")
CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
       "connect-src 'self'")
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".map": "application/json", ".png": "image/png",
         ".svg": "image/svg+xml"}
STATISTICS = ["upstream_fragments", "upstream_packets", "upstream_bytes", "upstream_retransmitted",
              "downstream_forwarded", "downstream_filtered", "downstream_forwarded_bytes",
              "upstream_grants"]
UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400, "y": 365 * 86400}
MINUTE = 60
HOUR = 3600
DAY = 86400
EVENTS_CAP = 20000  # events sent of a range: the oldest, or with newest=1 the newest


def iso(t):
    moment = datetime.fromtimestamp(t, timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def parse_when(text, now):
    """A time as the service takes it: a span before now (10m, 1h, 7d, 5y), now, or ISO."""
    if text is None or text == "now":
        return now
    m = re.fullmatch(r"(\d+)([smhdwy])", text)
    if m:
        return now - int(m.group(1)) * UNITS[m.group(2)]
    try:
        return datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()
    except ValueError:
        raise ValueError(f"not a time: {text[:40]}")


class Record:
    """The made-up history, fixed at the moment the server started."""

    def __init__(self, now):
        self.start = now
        # Where the modem was silent: (start, end, kind of the silence).
        self.down = [(now - 25 * HOUR, now - 23 * HOUR - 50 * MINUTE),
                     (now - 5 * HOUR, now - 4 * HOUR - 40 * MINUTE),
                     (now - 2 * HOUR, now - 1 * HOUR - 55 * MINUTE)]
        self.gap = (now - 3 * HOUR - 10 * MINUTE, now - 3 * HOUR - 5 * MINUTE)
        self.events = self._events(now)

    def silent(self, t):
        spans = self.down + [self.gap]
        return any(a <= t < b for a, b in spans)

    def rows(self, since, until):
        """One-minute rows for the last day, hourly ones for 60 days before (as the store thins
        them), none before that."""
        out = []
        day_start = self.start - DAY
        t = max(since, self.start - 61 * DAY)
        t = math.ceil(t / (MINUTE if t >= day_start else HOUR)) * (MINUTE if t >= day_start else HOUR)
        while t <= until:
            if not self.silent(t):
                out.append((t, MINUTE if t >= day_start else HOUR))
            t = t + MINUTE if t >= day_start else min(t + HOUR, math.ceil(day_start / MINUTE) * MINUTE)
        return out

    @staticmethod
    def band(mean, spread):
        return {"min": round(mean - spread, 3), "mean": round(mean, 3),
                "max": round(mean + spread, 3)}

    def sample(self, t, seconds):
        wave = math.sin(t / 5000.0)
        rx_mbps = 27.0 if (t // (6 * HOUR)) % 4 else 13.5
        return {
            "time": iso(t), "samples": max(1, seconds // 3),
            "receive_frequency_mhz": self.band(555.2, 0),
            "receive_rate_code": self.band(3 if rx_mbps > 20 else 2, 0),
            "transmit_frequency_mhz": self.band(20.0, 0),
            "transmit_rate_code": self.band(1, 0),
            "attenuation_dbmv": self.band(-10 + 2 * wave, 0.4 + 0.3 * abs(wave)),
            "receive_bit_rate_mbps": self.band(rx_mbps, 0),
            "transmit_bit_rate_mbps": self.band(2.56, 0),
        }

    def statistic(self, t, seconds):
        load = 1.5 + math.sin(t / 3000.0) + 0.5 * math.sin(t / 700.0)
        row = {"time": iso(t), "reports": seconds, "seconds": seconds}
        base = {"upstream_fragments": 4, "upstream_packets": 30, "upstream_bytes": 9000,
                "upstream_retransmitted": 0.3, "downstream_forwarded": 80,
                "downstream_filtered": 5, "downstream_forwarded_bytes": 95000,
                "upstream_grants": 12}
        for name in STATISTICS:
            mean = base[name] * load
            row[f"{name}_per_second"] = self.band(mean, mean * 0.3)
            row[f"{name}_total"] = round(mean * seconds)
        return row

    @staticmethod
    def reduce(rows, points, since, until):
        """At most `points` rows: one a time bucket of (until - since) / points, as the service
        reduces a range to one row a pixel column (minimum, mean and maximum)."""
        if points is None or len(rows) <= points:
            return rows
        width = max(1e-3, (until - since) / points)
        buckets = {}
        for row in rows:
            t = parse_when(row["time"], until)
            buckets.setdefault(int((t - since) // width), []).append(row)
        out = []
        for _, chunk in sorted(buckets.items()):
            merged = dict(chunk[0])
            for key, value in chunk[0].items():
                if isinstance(value, dict):
                    means = [r[key]["mean"] for r in chunk]
                    merged[key] = {"min": min(r[key]["min"] for r in chunk),
                                   "mean": round(sum(means) / len(means), 3),
                                   "max": max(r[key]["max"] for r in chunk)}
                elif key != "time" and isinstance(value, (int, float)):
                    merged[key] = sum(r[key] for r in chunk)
            out.append(merged)
        return out

    def _events(self, now):
        events = []
        for start, end in self.down:
            events.append((start, "link-down", "no datagram from the modem for 10 s", ""))
            events.append((end, "link-up", "the modem answers again", ""))
        events.append((self.gap[1], "gap", "no report for 5 min 0 s", ""))
        events += [
            (now - 20 * HOUR, "tune", "receive 555.2 MHz, rate code 3", "brixtool (pid 3401)"),
            (now - 19 * HOUR, "channel-change", "receive 543.0 MHz 13.5 Mbit/s → 555.2 MHz "
             "27 Mbit/s", ""),
            (now - 12 * HOUR, "version", "microcode 2.05.17, boot 1.04.2", ""),
            (now - 8 * HOUR, "table-set", "channel table of 12 entries", "brixctl (pid 3502)"),
            (now - 7 * HOUR, "scanner-set", "scanner start 450 MHz step 6 MHz",
             "brixctl (pid 3502)"),
            (now - 6 * HOUR, "error", "<script>document.title='owned'</script><b>bold?</b> "
             "caf\u00e9 \u00ff\u00e6 \x01\x1b[31m bell\x07 end", "<img src=x onerror=alert(1)>"),
            (now - 40 * MINUTE, "debug", "rf report period 3000 ms", ""),
            (now - 8 * MINUTE, "error", "checksum mismatch in a statistics report", ""),
            (now - 3 * MINUTE, "debug", "scanner idle", ""),
        ]
        return sorted(({"time": iso(t), "kind": k, "text": x, "program": p}
                       for t, k, x, p in events), key=lambda e: e["time"])


class Handler(BaseHTTPRequestHandler):
    server_version = "mock-api"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            super().log_message(fmt, *args)

    # --- answers ----------------------------------------------------------------------------

    def send(self, code, body, content_type, extra=None):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Content-Security-Policy", CSP)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Cache-Control", "no-store")
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def send_json(self, value, code=200):
        self.send(code, json.dumps(value), "application/json")

    def send_error_json(self, code, text):
        self.send_json({"error": text}, code)

    def send_file(self, root, relative):
        root = root.resolve()
        target = (root / relative).resolve()
        if root not in target.parents and target != root:
            return self.send_error_json(404, "not found")
        if target.is_dir():
            target = target / "index.html"
        if not target.is_file():
            return self.send_error_json(404, "not found")
        kind = TYPES.get(target.suffix) or mimetypes.guess_type(target.name)[0] or \
            "application/octet-stream"
        self.send(200, target.read_bytes(), kind)

    # --- routing ----------------------------------------------------------------------------

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        url = urlsplit(self.path)
        prefix = self.server.prefix
        self.server.requests.append(self.path)
        if url.path == prefix.rstrip("/") and prefix != "/":
            # Relative URLs need the trailing slash to resolve under the prefix.
            self.send(301, "", "text/plain", {"Location": prefix})
            return
        if not url.path.startswith(prefix):
            self.server.outside.append(url.path)
            return self.send_error_json(404, "outside the prefix")
        path = url.path[len(prefix):]
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        for fragment, code in self.server.failures:
            if fragment in path:
                return self.send_error_json(code, f"made to fail ({code}) by --fail")
        if path.startswith("javascript/dygraphs/"):
            return self.send_file(DYGRAPHS_ROOT, path[len("javascript/dygraphs/"):])
        if path == "api/v1/stream":
            return self.stream()
        if path.startswith("api/"):
            try:
                return self.api(path, query)
            except ValueError as error:
                return self.send_error_json(400, str(error))
        return self.send_file(WEB_ROOT, path or "index.html")

    def api(self, path, query):
        record = self.server.record
        now = time.time()
        if path == "api/v1/status":
            return self.send_json(self.server.status())
        m = re.fullmatch(r"api/v1/history/(samples|statistics|events|summary)", path)
        if not m:
            return self.send_error_json(404, "no such resource")
        kind = m.group(1)
        since = parse_when(query.get("since", "1h"), now)
        until = parse_when(query.get("until"), now)
        if until < since:
            raise ValueError("until is before since")
        points = query.get("points")
        if points is not None:
            if not points.isdigit() or not 1 <= int(points) <= 10000:
                raise ValueError("points must be a whole number from 1 to 10000")
            points = int(points)
        if kind == "summary":
            downs = [(a, b) for a, b in record.down if since <= a <= until]
            seconds = sum(min(b, until) - a for a, b in downs)
            text = (f"Last {round((until - since) / 3600, 1):g} hours: link down {len(downs)} "
                    f"times for {round(seconds / 60)} min in all; 1 retune; "
                    f"receive rate 27 Mbit/s.")
            return self.send_json({"text": text})
        if kind == "events":
            rows = [e for e in record.events if since <= parse_when(e["time"], now) <= until]
            if query.get("newest") not in (None, "0", "1"):
                raise ValueError("newest is 1 or 0")
            rows = rows[-EVENTS_CAP:] if query.get("newest") == "1" else rows[:EVENTS_CAP]
        else:
            make = record.sample if kind == "samples" else record.statistic
            rows = Record.reduce([make(t, s) for t, s in record.rows(since, until)], points,
                                 since, until)
        if query.get("format") == "csv":
            return self.send_csv(kind, rows)
        return self.send_json(rows)

    def send_csv(self, kind, rows):
        out = io.StringIO()
        if rows:
            flat = [{k2: v2 for k, v in r.items()
                     for k2, v2 in ({f"{k}_{s}": v[s] for s in v}.items()
                                    if isinstance(v, dict) else [(k, v)])} for r in rows]
            writer = csv.DictWriter(out, fieldnames=list(flat[0]))
            writer.writeheader()
            writer.writerows(flat)
        self.send(200, out.getvalue(), "text/csv; charset=utf-8",
                  {"Content-Disposition": f'attachment; filename="{kind}.csv"'})

    def stream(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Security-Policy", CSP)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        server = self.server
        pushed = queue.Queue()
        server.listeners.add(pushed)
        opened = time.monotonic()
        next_status = opened
        try:
            self.wfile.write(b"retry: 3000\n\n")
            while not server.stopping.is_set():
                if time.monotonic() >= next_status and server.answers:
                    # A silent modem sends no report, so the stream sends no status.
                    self.wfile.write(f"event: status\ndata: {json.dumps(server.status())}\n\n"
                                     .encode())
                if time.monotonic() >= next_status:
                    next_status += 1.0
                try:
                    row = pushed.get(timeout=max(0.0, next_status - time.monotonic()))
                    self.wfile.write(f"event: event\ndata: {json.dumps(row)}\n\n".encode())
                except queue.Empty:
                    pass
                self.wfile.flush()
                if server.stream_drop and time.monotonic() - opened >= server.stream_drop:
                    break
        except (BrokenPipeError, ConnectionResetError):
            pass
        finally:
            server.listeners.discard(pushed)
        self.close_connection = True


class MockServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port=0, prefix="/", failures=(), stream_drop=0, quiet=True):
        super().__init__(("127.0.0.1", port), Handler)
        self.prefix = "/" + prefix.strip("/") + "/" if prefix.strip("/") else "/"
        self.failures = list(failures)
        self.stream_drop = stream_drop
        self.quiet = quiet
        self.record = Record(time.time())
        self.requests = []
        self.outside = []
        self.listeners = set()
        self.answers = True
        self.since = self.record.down[-1][1]
        self.last_report = time.time()
        self.stopping = threading.Event()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}{self.prefix}"

    def status(self):
        now = time.time()
        if self.answers:
            self.last_report = now
        wave = math.sin(now / 30.0)
        return {
            "time": iso(now), "interface": "eth1", "last_report": iso(self.last_report),
            "modem": {"answers": self.answers, "since": iso(self.since)},
            "receive": {"frequency_mhz": 555.2, "bit_rate_mbps": 27.0, "rate_code": 3,
                        "channel": 2, "label": "Home <i>not italic</i>"},
            "transmit": {"frequency_mhz": 20.0, "bit_rate_mbps": 2.56, "rate_code": 1},
            "attenuation_dbmv": round(-10 + 2 * wave), "tx_level": 45,
            "rates": {"receive_packets": 120, "grants": 5, "transmit_fragments": 7,
                      "retransmits": 0},
            "traffic": {"upstream_bytes_per_second": round(12345.5 + 4000 * wave, 1),
                        "downstream_bytes_per_second": 95678.0,
                        "upstream_packets_per_second": 31.2,
                        "downstream_packets_per_second": 92.4},
            "microcode_version": "2.05.17 \x1b[1m<b>", "boot_version": "1.04.2",
            "link": {"role": "owner", "owner": "brixctl (pid 12)",
                     "attached": 2},
        }

    def push(self, kind, text, program=""):
        """Records an event now and sends it to every open stream, as the service does."""
        row = {"time": iso(time.time()), "kind": kind, "text": text, "program": program}
        if kind in ("link-down", "link-up"):
            self.answers = kind == "link-up"
            self.since = time.time()
        self.record.events.append(row)
        for listener in list(self.listeners):
            listener.put(row)
        return row

    def shutdown(self):
        self.stopping.set()
        super().shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8377)
    parser.add_argument("--prefix", default="/", help="serve everything under this path")
    parser.add_argument("--fail", action="append", default=[], metavar="PATH=CODE",
                        help="answer requests whose path holds PATH with CODE")
    parser.add_argument("--stream-drop", type=float, default=0, metavar="SECONDS",
                        help="close each stream after this long, to watch the page reconnect")
    parser.add_argument("--event-every", type=float, default=0, metavar="SECONDS",
                        help="record a debug event this often, to watch the table follow")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    failures = []
    for item in args.fail:
        fragment, _, code = item.rpartition("=")
        failures.append((fragment, int(code)))
    server = MockServer(args.port, args.prefix, failures, args.stream_drop, not args.verbose)
    print(f"serving {server.url}", flush=True)
    if args.event_every > 0:
        def chatter():
            n = 0
            while not server.stopping.wait(args.event_every):
                n += 1
                server.push("debug", f"debug message {n}")
        threading.Thread(target=chatter, daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    os.chdir(WEB_ROOT.parent)
    main()
