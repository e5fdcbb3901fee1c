"""Headless Chromium driven over its DevTools pipe, with the standard library only.

The page's console, its uncaught errors and its Content-Security-Policy violations are kept, so
that a check can tell a page that works from one that merely drew something. Chromium reads
commands on file descriptor 3 and writes answers on 4, each a JSON text ended by a zero byte.
"""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import time

# Registered before any of the page's scripts: every refused load or style is noted.
VIOLATION_SPY = """
window.__violations = [];
document.addEventListener('securitypolicyviolation', (e) => {
  window.__violations.push(`${e.violatedDirective} ${e.blockedURI} ${e.sourceFile}:${e.lineNumber}`);
});
"""


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class CdpError(RuntimeError):
    pass


class Browser:
    def __init__(self, executable=None):
        executable = executable or find_chromium()
        if not executable:
            raise CdpError("no Chromium found (apt-get install chromium)")
        # A profile of its own: a second browser on the default one would hand its work to the
        # first and exit.
        self._profile = tempfile.TemporaryDirectory(prefix="cdp-profile-", ignore_cleanup_errors=True)
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        args = [executable, "--headless", "--no-sandbox", "--disable-gpu",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--hide-scrollbars", "--mute-audio",
                f"--user-data-dir={self._profile.name}",
                "--remote-debugging-pipe", "about:blank"]
        # Bash puts the pipe ends where Chromium expects them (dash takes no fd above 9).
        command = " ".join(["exec", *(f"'{a}'" for a in args),
                            f"3<&{to_browser_r}", f"4>&{from_browser_w}"])
        self._process = subprocess.Popen(
            ["bash", "-c", command], pass_fds=(to_browser_r, from_browser_w),
            stdout=subprocess.DEVNULL,
            stderr=None if os.environ.get("CDP_STDERR") else subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []

    def close(self):
        try:
            self.send("Browser.close")
        except (CdpError, OSError):
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self._profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise CdpError("Chromium did not answer in time")
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                raise CdpError("Chromium closed its pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=None, timeout=30):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise CdpError(f"{method}: {answer['error'].get('message')}")
                return answer.get("result", {})
            if "method" in answer:
                self.events.append(answer)

    def open(self, url, width=1280, height=1600, dark=False, mobile=False):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})[
            "sessionId"]
        page = Page(self, session)
        page.target = target
        for method in ("Runtime.enable", "Log.enable", "Page.enable"):
            page.send(method)
        page.send("Page.addScriptToEvaluateOnNewDocument", {"source": VIOLATION_SPY})
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
        page.send("Emulation.setEmulatedMedia", {"features": [
            {"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
        page.send("Page.navigate", {"url": url})
        return page


class Page:
    def __init__(self, browser, session):
        self.browser = browser
        self.session = session

    def send(self, method, params=None, timeout=30):
        return self.browser.send(method, params, self.session, timeout)

    def close(self):
        self.browser.send("Target.closeTarget", {"targetId": self.target})

    def eval(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise CdpError(f"{expression[:60]}: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if self.eval(expression):
                    return True
            except CdpError:
                pass
            time.sleep(0.1)
        return False

    def messages(self):
        """Console lines, uncaught exceptions and browser log entries of this page."""
        out = []
        for event in self.browser.events:
            if event.get("sessionId") != self.session:
                continue
            params = event.get("params", {})
            if event["method"] == "Runtime.consoleAPICalled":
                text = " ".join(str(a.get("value", a.get("description", "")))
                                for a in params.get("args", []))
                out.append(f"console.{params.get('type')}: {text}")
            elif event["method"] == "Runtime.exceptionThrown":
                details = params.get("exceptionDetails", {})
                description = details.get("exception", {}).get("description", "")
                out.append(f"exception: {details.get('text')} {description}".strip())
            elif event["method"] == "Log.entryAdded":
                entry = params.get("entry", {})
                out.append(f"log.{entry.get('level')}: {entry.get('text')} {entry.get('url', '')}")
        return out

    def violations(self):
        return self.eval("window.__violations") or []

    # --- the mouse and the keyboard, as a user's would send them ----------------------------------

    def box(self, selector):
        """The element's box in the window's coordinates, scrolled to the window's middle first."""
        return self.eval(f"(() => {{ const e = document.querySelector({json.dumps(selector)}); "
                         "e.scrollIntoView({block: 'center'}); "
                         "const r = e.getBoundingClientRect(); "
                         "return {x: r.x, y: r.y, width: r.width, height: r.height}; })()")

    def mouse(self, kind, x, y, pressed=False):
        self.send("Input.dispatchMouseEvent", {
            "type": kind, "x": x, "y": y, "button": "left", "buttons": 1 if pressed else 0,
            "clickCount": 1})

    def click(self, selector):
        box = self.box(selector)
        x, y = box["x"] + box["width"] / 2, box["y"] + box["height"] / 2
        self.mouse("mouseMoved", x, y)
        self.mouse("mousePressed", x, y, pressed=True)
        self.mouse("mouseReleased", x, y)

    def drag(self, selector, start, end, steps=5):
        """A drag across the element at half its height, from and to fractions of its width."""
        box = self.box(selector)
        y = box["y"] + box["height"] / 2
        xs = [box["x"] + box["width"] * (start + (end - start) * i / steps)
              for i in range(steps + 1)]
        self.mouse("mouseMoved", xs[0], y)
        self.mouse("mousePressed", xs[0], y, pressed=True)
        for x in xs[1:]:
            self.mouse("mouseMoved", x, y, pressed=True)
        self.mouse("mouseReleased", xs[-1], y)

    # key: (key code, text); Enter's text is what activates a focused button.
    KEYS = {"Tab": (9, ""), "Enter": (13, "\r")}

    def press(self, key):
        code, text = self.KEYS[key]
        common = {"key": key, "code": key, "windowsVirtualKeyCode": code}
        self.send("Input.dispatchKeyEvent",
                  {"type": "keyDown" if text else "rawKeyDown", "text": text, **common})
        self.send("Input.dispatchKeyEvent", {"type": "keyUp", **common})

    def accessibility_tree(self):
        """Chromium's accessibility tree of the page as a list in document order, each node
        {role, name, properties: {name: value}}, without the nodes it ignores."""
        self.send("Accessibility.enable")
        nodes = {n["nodeId"]: n for n in self.send("Accessibility.getFullAXTree")["nodes"]}
        roots = [n for n in nodes.values() if not n.get("parentId")]
        out, stack = [], list(reversed(roots))
        while stack:
            node = stack.pop()
            if not node.get("ignored"):
                out.append({"role": node.get("role", {}).get("value", ""),
                            "name": str(node.get("name", {}).get("value", "")).strip(),
                            "properties": {p["name"]: p["value"].get("value")
                                           for p in node.get("properties", [])}})
            stack.extend(nodes[c] for c in reversed(node.get("childIds", [])) if c in nodes)
        return out

    def screenshot(self, path, full_page=False, top=0, height=None):
        """The viewport, the whole page, or the band of the page from top, height tall."""
        params = {"format": "png"}
        if full_page or height:
            metrics = self.send("Page.getLayoutMetrics")["cssContentSize"]
            height = height or metrics["height"]
            params.update(captureBeyondViewport=True, clip={
                "x": 0, "y": top, "width": metrics["width"],
                "height": min(height, metrics["height"] - top), "scale": 1})
        data = self.send("Page.captureScreenshot", params)["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))
