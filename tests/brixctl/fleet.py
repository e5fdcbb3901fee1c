"""A fleet of sites on one bridge, as an operator's network has them, all inside the private
network namespace of tools/netns-run: this namespace is the centre (the bridge's address,
Debian's real Prometheus and Alertmanager with the shipped files, a webhook receiver), each
site a namespace of its own behind a veth pair with the simulated modem and the installed
brixctl serve on it. A site's modem talks to its service over the site's own loopback (the
default route there), so no broadcast reaches the bridge. The last site is behind NAT: the
centre cannot scrape it; Prometheus in agent mode on the site writes to the centre.

Used by the fleet suite and by the fleet benchmark.
"""
import glob
import gzip
import http.server
import json
import os
import shutil
import signal
import struct
import subprocess
import threading
import time
import urllib.parse
import urllib.request

CENTRE = "10.77.0.1"
KIT_PATH = "/usr/share/brixctl/prometheus"


def site_name(i):
    return f"site-{i:02d}"


def site_address(i):
    return f"10.77.0.{10 + i}"


def wait(what, seconds, step=0.25):
    """The value of `what()` once it is true, or None after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = what()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


class Webhook:
    """Alertmanager's receiver: every notification, with the time it came."""

    def __init__(self, port=5001):
        self.notifications = []
        self.lock = threading.Lock()
        hook = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with hook.lock:
                    hook.notifications.append((time.time(), json.loads(body)))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def received(self):
        with self.lock:
            return list(self.notifications)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Fleet:
    """`sites` sites (the last behind an agent when `agent`), the centre's Prometheus with
    `targets_per_site` targets for each scraped site (more than one: the same service listed
    under other site names, to load the centre as a larger fleet would)."""

    def __init__(self, prefix, work, sites=20, agent=True, targets_per_site=1,
                 alertmanager=True):
        self.prefix = prefix
        self.work = work
        self.count = sites
        self.agent = agent
        self.brixctl = os.path.join(prefix, "bin", "brixctl")
        self.sim = os.path.join(prefix, "bin", "brix-modem-sim")
        self.kit = os.path.join(prefix, "share", "brixctl", "prometheus")
        self.procs = []
        self.holders = {}
        self.sims = {}
        self.serves = {}
        self.logs = []
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        try:
            self._bridge()
            self.plan = None  # the modem's channels, read from the first site's
            for i in range(1, sites + 1):
                self._site(i)
            self.webhook = Webhook() if alertmanager else None
            if alertmanager:
                self._alertmanager()
            self._centre(targets_per_site)
            if agent:
                self._agent(sites)
        except BaseException:
            self.stop()
            raise

    # --- the network -----------------------------------------------------------------------
    def _run(self, *args):
        subprocess.run(args, check=True)

    def _bridge(self):
        self._run("ip", "link", "add", "br0", "type", "bridge")
        self._run("ip", "addr", "add", f"{CENTRE}/24", "dev", "br0")
        self._run("ip", "link", "set", "br0", "up")

    def _namespace(self, i):
        """A process holding a new network namespace, with the site's end of a veth pair."""
        holder = subprocess.Popen(["unshare", "-n", "--", "sleep", "infinity"])
        self.holders[i] = holder
        mine = os.readlink("/proc/self/ns/net")
        while os.readlink(f"/proc/{holder.pid}/ns/net") == mine:
            time.sleep(0.01)
        self._run("ip", "link", "add", f"s{i}a", "type", "veth", "peer", "name", f"s{i}b")
        self._run("ip", "link", "set", f"s{i}a", "master", "br0", "up")
        self._run("ip", "link", "set", f"s{i}b", "netns", str(holder.pid))
        self.inside(i, "sh", "-c", f"ip link set lo up && ip route add default dev lo && "
                    f"ip addr add {site_address(i)}/24 dev s{i}b && ip link set s{i}b up",
                    wait=True)

    def inside(self, i, *args, wait=False, **kw):
        """A program in site i's namespace (nsenter execs it: the process is the program)."""
        argv = ["nsenter", "-t", str(self.holders[i].pid), "-n", "--", *args]
        if wait:
            return subprocess.run(argv, check=True, **kw)
        p = subprocess.Popen(argv, **kw)
        self.procs.append(p)
        return p

    def _log(self, name):
        f = open(os.path.join(self.work, name), "w")
        self.logs.append(f)
        return f

    # --- the sites -------------------------------------------------------------------------
    def _write_channels(self, i, path, table):
        with open(path, "wb") as f:
            for c in table["channels"]:
                label = f"{site_name(i)} ch {c['channel']}".encode()
                f.write(struct.pack("<50sii", label, round(c["frequency_mhz"] * 10),
                                    c["bit_rate_index"]))

    def _site(self, i):
        self._namespace(i)
        home = os.path.join(self.work, site_name(i))
        os.makedirs(home, mode=0o700)
        env = {**os.environ, "XDG_RUNTIME_DIR": home, "XDG_STATE_HOME": home, "HOME": home}
        self.sims[i] = self.inside(i, self.sim, "--quiet", "--seed", str(i), "--link-test",
                                   "0", "--debug", "0", stdout=self._log(f"sim-{i}.log"),
                                   stderr=subprocess.STDOUT)
        channels = os.path.join(home, "channels.lb")
        if self.plan is None:
            got = wait(lambda: self.inside(i, self.brixctl, "table", "get", "--json",
                                           wait=False, stdout=subprocess.PIPE, env=env,
                                           stderr=subprocess.DEVNULL).communicate()[0], 10)
            self.plan = json.loads(got)
        self._write_channels(i, channels, self.plan)
        # The site behind NAT serves on its loopback only, for its agent.
        listen = "127.0.0.1:9330" if self.agent and i == self.count else "0.0.0.0:9330"
        self.serves[i] = self.inside(
            i, self.brixctl, "--channels", channels, "serve", "--metrics", listen, env=env,
            stderr=self._log(f"serve-{i}.log"), cwd=home)

    # --- the centre ------------------------------------------------------------------------
    def _alertmanager(self):
        with open(os.path.join(self.kit, "alertmanager.yml")) as f:
            text = f.read()
        config = os.path.join(self.work, "alertmanager.yml")
        with open(config, "w") as f:
            f.write(text)
        p = subprocess.Popen(["prometheus-alertmanager", f"--config.file={config}",
                              f"--storage.path={self.work}/alertmanager",
                              "--web.listen-address=127.0.0.1:9093",
                              "--cluster.listen-address="],
                             stdout=self._log("alertmanager.log"), stderr=subprocess.STDOUT)
        self.procs.append(p)
        self.alertmanager = p

    def _centre(self, targets_per_site):
        os.makedirs(os.path.join(self.work, "sites"))
        scraped = self.count - 1 if self.agent else self.count
        entries = []
        for i in range(1, scraped + 1):
            for copy in range(targets_per_site):
                name = site_name(i) if copy == 0 else f"{site_name(i)}-copy{copy}"
                entries.append(f'- targets: ["{site_address(i)}:9330"]\n'
                               f'  labels:\n    site: "{name}"\n')
        with open(os.path.join(self.work, "sites", "fleet.yml"), "w") as f:
            f.write("".join(entries))
        with open(os.path.join(self.kit, "prometheus-fleet.yml")) as f:
            text = f.read()
        text = text.replace(KIT_PATH, self.kit).replace(
            "/etc/prometheus/brix-sites", os.path.join(self.work, "sites"))
        config = os.path.join(self.work, "prometheus.yml")
        with open(config, "w") as f:
            f.write(text)
        p = subprocess.Popen(["prometheus", f"--config.file={config}",
                              f"--storage.tsdb.path={self.work}/prometheus",
                              f"--web.listen-address={CENTRE}:9090",
                              "--web.enable-remote-write-receiver"],
                             stdout=self._log("prometheus.log"), stderr=subprocess.STDOUT)
        self.procs.append(p)
        self.prometheus = p
        if not wait(lambda: self._ready(f"http://{CENTRE}:9090/-/ready"), 30):
            raise RuntimeError("the centre's Prometheus did not start: " +
                               open(os.path.join(self.work, "prometheus.log")).read()[-2000:])

    def _agent(self, i):
        with open(os.path.join(self.kit, "prometheus-agent.yml")) as f:
            text = f.read()
        text = text.replace("branch-east", site_name(i)).replace(
            "https://prometheus.example.net:9090", f"http://{CENTRE}:9090")
        config = os.path.join(self.work, "agent.yml")
        with open(config, "w") as f:
            f.write(text)
        self.agent_proc = self.inside(i, "prometheus", "--enable-feature=agent",
                                      f"--config.file={config}",
                                      f"--storage.agent.path={self.work}/agent",
                                      "--web.listen-address=127.0.0.1:9091",
                                      stdout=self._log("agent.log"), stderr=subprocess.STDOUT)

    @staticmethod
    def _ready(url):
        try:
            with urllib.request.urlopen(url, timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    # --- asking the centre -----------------------------------------------------------------
    def api(self, path, **params):
        url = f"http://{CENTRE}:9090/api/v1/{path}?" + urllib.parse.urlencode(params)
        with urllib.request.urlopen(url, timeout=30) as r:
            answer = json.load(r)
        if answer["status"] != "success":
            raise RuntimeError(f"{path} {params}: {answer}")
        return answer["data"]

    def query(self, expr):
        return self.api("query", query=expr)["result"]

    def value(self, expr):
        result = self.query(expr)
        return float(result[0]["value"][1]) if result else None

    def firing(self):
        """(alertname, site) of the alerts firing now."""
        return {(a["labels"]["alertname"], a["labels"].get("site", a["labels"]["instance"]))
                for a in self.api("alerts")["alerts"] if a["state"] == "firing"}

    def scrape(self, i, encoding=None):
        """Site i's /metrics from the centre: (body, bytes on the wire, seconds)."""
        request = urllib.request.Request(f"http://{site_address(i)}:9330/metrics")
        if encoding:
            request.add_header("Accept-Encoding", encoding)
        started = time.monotonic()
        with urllib.request.urlopen(request, timeout=10) as r:
            raw = r.read()
            coded = r.headers.get("Content-Encoding")
        seconds = time.monotonic() - started
        body = gzip.decompress(raw) if coded == "gzip" else raw
        return body.decode(), len(raw), seconds

    # --- the end ---------------------------------------------------------------------------
    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                try:
                    p.send_signal(signal.SIGCONT)
                    p.terminate()
                except ProcessLookupError:
                    pass
        for p in self.procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        for holder in self.holders.values():
            holder.kill()
            holder.wait()
        if getattr(self, "webhook", None):
            self.webhook.stop()
        for f in self.logs:
            f.close()
        subprocess.run(["ip", "link", "del", "br0"], stderr=subprocess.DEVNULL)
        for link in glob.glob("/sys/class/net/s*a"):
            subprocess.run(["ip", "link", "del", os.path.basename(link)],
                           stderr=subprocess.DEVNULL)
