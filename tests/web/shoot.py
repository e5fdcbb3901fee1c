#!/usr/bin/env python3
"""Screenshots of the dashboard against the mock service, light and dark, desktop and phone.

    tests/web/shoot.py [DIR]        # default /tmp/web-shots

Each shot is taken at the window's size and, with -full, of the whole page (a phone's page also
in bands of the window's height, -2, -3...). Prints the page's console lines and policy
violations, which should be none, and any request that left the prefix.
"""

import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cdp  # noqa: E402
from mock_api import MockServer  # noqa: E402

READY = ("document.querySelectorAll('.chart canvas').length > 0 && "
         "document.getElementById('summary').textContent !== '' && "
         "!document.getElementById('history').hasAttribute('aria-busy') && "
         "document.getElementById('connection').dataset.state === 'live'")

# name, width, height, dark, phone, range
SHOTS = [("desktop-light", 1280, 1600, False, False, None),
         ("desktop-dark", 1280, 1600, True, False, None),
         ("desktop-light-1d", 1280, 1600, False, False, "1d"),
         ("desktop-dark-30d", 1280, 1600, True, False, "30d"),
         ("phone-light", 360, 2000, False, True, "1d"),
         ("phone-dark", 360, 2000, True, True, None)]


def shoot(browser, url, out, name, width, height, dark, phone, since, ready=READY):
    page = browser.open(url, width, height, dark, phone)
    if not page.wait_for(ready):
        print(f"{name}: the page did not get ready")
    if since:
        page.eval(f"document.querySelector('#ranges button[data-since=\"{since}\"]').click()")
        page.wait_for(READY)
    if not phone:
        # The pointer over the first chart, so that its legend shows values.
        box = page.eval("(({x, y, width, height}) => [x + width * 0.7, y + height / 2])("
                        "document.querySelector('.chart').getBoundingClientRect())")
        page.send("Input.dispatchMouseEvent", {"type": "mouseMoved", "x": box[0], "y": box[1]})
    page.eval("new Promise((done) => setTimeout(done, 300))")
    page.screenshot(out / f"{name}.png")
    page.screenshot(out / f"{name}-full.png", full_page=True)
    if phone:
        total = page.eval("document.documentElement.scrollHeight")
        for i, top in enumerate(range(height, total, height), start=2):
            page.screenshot(out / f"{name}-{i}.png", top=top, height=height)
    for line in page.messages() + page.violations():
        print(f"{name}: {line}")
    print(out / f"{name}.png")


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/web-shots")
    out.mkdir(parents=True, exist_ok=True)
    server = MockServer(prefix="/site7/")
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        with cdp.Browser() as browser:
            for shot in SHOTS:
                shoot(browser, server.url, out, *shot)
        # What a reader sees when the service fails: the status and the samples refused, the
        # stream closed.
        failing = MockServer(prefix="/site7/", failures=[
            ("history/samples", 500), ("api/v1/status", 503), ("api/v1/stream", 503)])
        threading.Thread(target=failing.serve_forever, daemon=True).start()
        with cdp.Browser() as browser:
            shoot(browser, failing.url, out, "desktop-errors", 1280, 1600, False, False, None,
                  ready="document.getElementById('connection').dataset.state === 'closed' && "
                        "!document.getElementById('history').hasAttribute('aria-busy')")
        failing.shutdown()
    finally:
        server.shutdown()
    if server.outside:
        print("requests outside the prefix:", sorted(set(server.outside)))


if __name__ == "__main__":
    main()
