#!/usr/bin/env python3
"""The dashboard's figures: the API's answer for a week at 1000 points, the page from request to
charts drawn in Debian's headless Chromium (a week of full resolution, and 10 minutes), and
brixctl serve's memory and CPU with no dashboard and with ten open, at the modem's normal
report rate. Inside the private network namespace:

    tools/netns-run /usr/bin/python3 bench/web/dashboard_bench.py build
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(root, "tests", "web"))
import cdp  # noqa: E402

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build"))
SIM = os.path.join(build, "simulator", "brix-modem-sim")
BRIXCTL = os.path.join(build, "brixctl", "brixctl")
PORT = 9398
BASE = f"http://127.0.0.1:{PORT}/"
READY = ("document.querySelectorAll('.chart canvas').length >= 5 && "
         "document.getElementById('summary').textContent !== '' && "
         "!document.getElementById('history').hasAttribute('aria-busy')")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def load(seconds, pid):
    """CPU share and resident memory of `pid` over `seconds`."""
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / seconds * 100, rss_mb(pid)


def main():
    work = tempfile.mkdtemp(prefix="brix-dashboard-bench-")
    runtime = os.path.join(work, "runtime")
    os.makedirs(runtime, mode=0o700)
    store = os.path.join(work, "week.sqlite3")
    subprocess.run([SIM, "--fill-history", store, "--days", "7"], check=True)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
    modem = subprocess.Popen([SIM, "--quiet"], stdout=subprocess.DEVNULL)
    serve = subprocess.Popen([BRIXCTL, "--history", store, "serve", "--metrics",
                              f"127.0.0.1:{PORT}"], env=env, stderr=subprocess.PIPE, text=True)
    try:
        serve.stderr.readline()
        time.sleep(3)
        times = []
        for _ in range(20):
            started = time.perf_counter()
            urllib.request.urlopen(BASE + "api/v1/history/samples?since=7d&points=1000").read()
            times.append(time.perf_counter() - started)
        print(f"api/v1/history/samples, 7 days at 1000 points: median "
              f"{statistics.median(times) * 1000:.1f} ms, worst {max(times) * 1000:.1f} ms")

        cpu, rss = load(20, serve.pid)
        print(f"brixctl serve, no dashboard open: {cpu:.2f}% of a core, {rss:.1f} MB resident")

        with cdp.Browser() as browser:
            for since, label in (("7d", "a week"), ("10m", "10 minutes")):
                spans = []
                for _ in range(3):
                    page = browser.open(BASE, 1280, 1600)
                    page.wait_for(READY, 30)
                    button = f"document.querySelector('button[data-since=\"{since}\"]')"
                    started = time.perf_counter()
                    page.eval(button + ".click()")
                    page.wait_for(button + ".getAttribute('aria-pressed') === 'true' && " + READY,
                                  30)
                    spans.append(time.perf_counter() - started)
                    page.close()
                print(f"dashboard, {label} from asking to charts drawn: median "
                      f"{statistics.median(spans) * 1000:.0f} ms")
            started = time.perf_counter()
            page = browser.open(BASE, 1280, 1600)
            page.wait_for(READY, 30)
            print(f"dashboard, first load to charts drawn (1 hour): "
                  f"{(time.perf_counter() - started) * 1000:.0f} ms")
            page.close()
            pages = [browser.open(BASE, 1280, 1600) for _ in range(10)]
            for p in pages:
                p.wait_for(READY, 60)
            cpu, rss = load(30, serve.pid)
            print(f"brixctl serve, 10 dashboards open: {cpu:.2f}% of a core, {rss:.1f} MB "
                  f"resident")
    finally:
        serve.terminate()
        serve.wait(10)
        modem.terminate()
        modem.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
