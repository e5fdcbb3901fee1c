#!/usr/bin/env python3
"""Being told, as installed, against the simulated modem silenced for real: serve's messages
reach a command and HTTP receivers, worth reading, and a target that hangs delays nothing else;
history events --follow prints each event once as it is recorded, here and from a served
history. Inside tools/netns-run (ctest does that).
   notify_suite.py BUILD_DIR WORK_DIR"""
import http.server
import json
import os
import signal
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

import brixctl_suite as suite


class Receiver:
    """An HTTP server on loopback that keeps what is posted to it; `hang` never answers."""

    def __init__(self, port, hang=False):
        self.posts = []
        received = self.posts

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                received.append((time.time(), self.path, dict(self.headers), body))
                if hang:
                    time.sleep(60)
                    return
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    def kinds(self):
        return [json.loads(body)["kind"] for _, _, _, body in self.posts]


class Notify(unittest.TestCase):
    def setUp(self):
        runtime = os.path.join(suite.WORK, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        self.modem = suite.Modem()
        self.addCleanup(self.modem.stop)
        self.command_log = os.path.join(suite.WORK, "command.log")
        if os.path.exists(self.command_log):
            os.unlink(self.command_log)

    def serve(self, *args):
        """brixctl serve, once it serves; what its journal said before is in `said`."""
        p = subprocess.Popen([suite.BRIXCTL, "--history", suite.fresh_store("notify.sqlite3"),
                              "serve", "--metrics", "127.0.0.1:9341", *args],
                             cwd=suite.WORK, env=self.env, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (p.kill(), p.wait(), p.stderr.close()))
        p.said = ""
        while "serving" not in p.said and p.poll() is None:
            p.said += p.stderr.readline()
        return p

    def receiver(self, port, hang=False):
        r = Receiver(port, hang)
        self.addCleanup(r.stop)
        return r

    def silence(self, seconds):
        """The modem silent for `seconds`, then 4 s to be heard again."""
        self.modem.proc.send_signal(signal.SIGSTOP)
        time.sleep(seconds)
        self.modem.proc.send_signal(signal.SIGCONT)
        time.sleep(4)

    def command_lines(self):
        """What the command was given: its environment's BRIX_ values and its JSON line."""
        if not os.path.exists(self.command_log):
            return []
        with open(self.command_log) as f:
            return [json.loads(line) for line in f]

    def test_drops_worth_telling_reach_the_command_and_the_receiver_with_their_durations(self):
        receiver = self.receiver(9481)
        # The command keeps its environment's values beside the JSON line from its input.
        command = ("python3 -c 'import json,os,sys; line=json.loads(sys.stdin.readline()); "
                   "env={k: v for k, v in os.environ.items() if k.startswith(\"BRIX_\")}; "
                   "print(json.dumps({\"json\": line, \"env\": env}))' >> " + self.command_log)
        serve = self.serve("--notify-command", command, "--notify-url",
                           "http://127.0.0.1:9481/hook", "--notify-after", "12",
                           "--notify-every", "60")
        time.sleep(2)

        # 8 s: a gap, no message. 22 s: down after 12 s, back with its length.
        self.silence(8)
        silenced = time.time()
        self.silence(22)
        lines = self.command_lines()
        self.assertEqual([line["json"]["kind"] for line in lines],
                         ["service-start", "link-down", "link-up"])
        down, up = lines[1], lines[2]
        self.assertEqual(down["env"]["BRIX_KIND"], "link-down")
        self.assertAlmostEqual(int(down["env"]["BRIX_DURATION"]), 12, delta=1)
        self.assertAlmostEqual(down["json"]["duration_seconds"], 12, delta=1)
        self.assertAlmostEqual(up["json"]["duration_seconds"], 22, delta=3)
        # Stamped with the modem's last frame, not with when the silence was noticed.
        stamped = time.mktime(time.strptime(down["json"]["time"][:19], "%Y-%m-%dT%H:%M:%S"))
        self.assertAlmostEqual(stamped - time.timezone, silenced, delta=4)
        self.assertIn("answers again after", up["env"]["BRIX_TEXT"])
        self.assertEqual(receiver.kinds(), ["service-start", "link-down", "link-up"])
        _, path, headers, body = receiver.posts[1]
        self.assertEqual((path, headers["Content-Type"]), ("/hook", "application/json"))
        # The fields Gotify and Apprise read, beside ours.
        self.assertTrue({"title", "message", "body", "priority", "type"} <= set(json.loads(body)))

        # A flapping line within a minute of the first messages: one more each way, a minute
        # after those, with a count.
        self.silence(14)
        self.silence(14)
        time.sleep(24)
        kinds = [line["json"]["kind"] for line in self.command_lines()]
        self.assertEqual(kinds, ["service-start", "link-down", "link-up", "link-down",
                                 "link-up"], kinds)
        counts = [line["json"]["count"] for line in self.command_lines()[3:]]
        self.assertEqual(counts, [2, 2])
        self.assertIn("2 times", self.command_lines()[3]["env"]["BRIX_TEXT"])

        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(20), 0)
        self.assertEqual(self.command_lines()[-1]["json"]["kind"], "service-stop")
        self.assertEqual(receiver.kinds()[-1], "service-stop")

    def test_a_target_that_hangs_or_fails_delays_no_other_nor_the_link(self):
        hanging = self.receiver(9482, hang=True)
        ntfy = self.receiver(9483)
        serve = self.serve("--notify-command", "sleep 30", "--notify-url",
                           "http://127.0.0.1:9482/never", "--notify-url",
                           "ntfy+http://127.0.0.1:9483/modem-topic", "--notify-url",
                           "http://127.0.0.1:9484/nobody", "--notify-after", "11")
        time.sleep(1)
        self.modem.proc.send_signal(signal.SIGSTOP)
        stopped = time.time()
        while not any(b"not answered" in b for _, _, _, b in ntfy.posts) and \
                time.time() < stopped + 20:
            time.sleep(0.2)
        # Due 11 s after the last frame, whatever the other targets are doing.
        self.assertLess(time.time() - stopped, 14)
        self.modem.proc.send_signal(signal.SIGCONT)
        _, path, headers, body = ntfy.posts[-1]
        # ntfy's own form: the text as the body, the title and priority in headers.
        self.assertEqual(path, "/modem-topic")
        self.assertTrue(body.decode().startswith("The modem has not answered since"))
        self.assertIn("link down", headers["Title"])
        self.assertEqual(headers["Priority"], "4")
        # The link went on meanwhile: the service answers and the modem is back.
        deadline = time.time() + 10
        while time.time() < deadline and "brix_up 1" not in self.metrics():
            time.sleep(0.5)
        self.assertIn("brix_up 1", self.metrics())
        # A target whose first message failed gets the next news with its own try, not after
        # the first message's retries: the hanging receiver was asked with the drop too.
        self.assertTrue(any(b"not answered" in b for _, _, _, b in hanging.posts),
                        hanging.posts)

        # Stopping gives the last message a few seconds and ends what hangs; the journal tells
        # each failure.
        started = time.time()
        serve.send_signal(signal.SIGTERM)
        self.assertEqual(serve.wait(25), 0)
        self.assertLess(time.time() - started, 8)
        journal = serve.said + serve.stderr.read()
        self.assertIn("notify command: service-start failed: still running after 10 s", journal)
        self.assertIn("notify http://127.0.0.1:9484/nobody: service-start failed", journal)
        self.assertIn("notify http://127.0.0.1:9484/nobody: link-down failed", journal)

    def test_follow_prints_each_event_once_as_recorded_here_and_from_the_served_history(self):
        serve = self.serve()
        store = os.path.join(suite.WORK, "notify.sqlite3")
        followers = []
        for args in (["--history", store], ["--from", "http://127.0.0.1:9341/"]):
            p = subprocess.Popen([suite.BRIXCTL, "--json", "history", "events", "--follow", *args],
                                 cwd=suite.WORK, env=self.env, stdout=subprocess.PIPE, text=True)
            self.addCleanup(lambda p=p: (p.kill(), p.wait(), p.stdout.close()))
            followers.append(p)
        time.sleep(2)
        # A link down is written 10 s after the time it is stamped with: between two polls.
        self.silence(13)
        self.assertEqual(suite.run("tune", "555.2", "6.82", env=self.env).returncode, 0)
        time.sleep(3)
        for p in followers:
            p.send_signal(signal.SIGINT)
            self.assertEqual(p.wait(10), 0)
        recorded = [(e["time"], e["kind"], e["text"]) for e in json.loads(
            suite.run("--history", store, "--json", "history", "events", env=self.env).stdout)]
        self.assertTrue({"link-down", "link-up", "tune"} <= {k for _, k, _ in recorded})
        for p in followers:
            followed = [json.loads(line) for line in p.stdout.read().splitlines()]
            self.assertEqual([(e["time"], e["kind"], e["text"]) for e in followed], recorded)
        serve.terminate()

    def test_options_that_cannot_work_are_refused_at_start(self):
        for args, said in [(["--notify-on", "down,flood"], "'flood' is none of"),
                           (["--notify-url", "ftp://x/"], "an http:// or https:// address"),
                           (["--notify-url", "https://u:secret@x/?token=t", "--notify-after",
                             "-1"], "--notify-after is seconds"),
                           (["--notify-on", "message", "--notify-match", "(unclosed"],
                            "not a regular expression"),
                           (["--notify-on", ""], "names none of"),
                           (["--notify-command", " "], "--notify-command is empty"),
                           (["--notify-match", "T3"], "add message to --notify-on"),
                           (["--notify-url", "http://x/\r\nX-Evil: 1"], "a control character"),
                           (["--notify-url", "http://127.0.0.1:99999/"], "a port that is none"),
                           (["--notify-url", "https://u:secret@[::1:443/"], "no host, or a port"),
                           (["--notify-url", "http://\x1b[31m/", "--notify-on", "bad\x1b"],
                            "\\x1b")]:
            p = suite.run("serve", "--metrics", "127.0.0.1:9342", *args, env=self.env)
            self.assertEqual(p.returncode, 2, args)
            self.assertIn(said, p.stderr)
            self.assertNotIn("secret", p.stderr)
            self.assertNotIn("\x1b", p.stderr)
            self.assertNotIn("\r", p.stderr)

    def metrics(self):
        try:
            return urllib.request.urlopen("http://127.0.0.1:9341/metrics", timeout=2).read(
            ).decode()
        except OSError:
            return ""


if __name__ == "__main__":
    os.makedirs(suite.WORK, exist_ok=True)
    suite.install()
    unittest.main(argv=[sys.argv[0], "-v"])
