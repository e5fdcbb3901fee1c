"""Drives the real brixtool on a virtual X server as a user would.

Controls are found through the accessibility tree (AT-SPI on a private D-Bus session bus), by
role and name, and acted on only with real input events (XTEST, through xdotool). What the tool
did is read where a user or the modem would see it: the modem's log of received frames, files,
and the tree itself.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DEFAULT_TIMEOUT = 8.0


class Failure(Exception):
    pass


# Every modem and tool a case starts, so that the suite ends each one after the case, whatever
# happened in it (a start that fails half-way included).
_started = []


def wait_until(what, predicate, timeout=DEFAULT_TIMEOUT, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


class Display:
    """Xvfb and a private session bus with the accessibility bus behind it."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.procs = []
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        # A runtime folder and a home of this run's own before any bus starts: the buses and
        # what they activate take them from the environment they start with, and a shared
        # ~/.cache/at-spi or runtime folder lets two runs on one machine break each other.
        run = tempfile.mkdtemp(prefix="brix-ui-run-")
        os.chmod(run, 0o700)
        os.environ["XDG_RUNTIME_DIR"] = run
        os.environ["HOME"] = tempfile.mkdtemp(prefix="brix-ui-home-")
        for name in ("XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"):
            os.environ.pop(name, None)
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        self.procs.append(xvfb)
        number = b""
        with os.fdopen(read_fd, "rb") as r:
            while not number.endswith(b"\n"):
                chunk = r.read(1)
                if not chunk:
                    raise Failure("Xvfb did not start")
                number += chunk
        os.environ["DISPLAY"] = ":" + number.decode().strip()

        bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.procs.append(bus)
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        os.environ["NO_AT_BRIDGE"] = "0"
        # A window manager, as on a desktop: it gives the focus back to the main window when a
        # box closes, which Qt needs before the window's own keys act.
        wm = subprocess.Popen(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        self.procs.append(wm)
        time.sleep(0.5)

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    p.kill()
        # The bus launcher started by activation lives on its own; it ends with its bus.


class Modem:
    """The simulated modem, its received frames read from its log."""

    def __init__(self, binary, workdir, *args):
        self.log_path = os.path.join(workdir, "modem-%d.log" % time.monotonic_ns())
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([binary, "--seed", "7", *args], stdout=self.log,
                                     stderr=subprocess.STDOUT)
        _started.append(self)

    def received(self, pattern=""):
        """The descriptions of the frames the modem received that match `pattern`."""
        self.log.flush()
        out = []
        with open(self.log_path) as f:
            for line in f:
                parts = line.split(None, 2)
                if len(parts) == 3 and parts[1] == "recv":
                    text = parts[2].rstrip("\n")
                    if re.search(pattern, text):
                        out.append(text)
        return out

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Tool:
    """The real brixtool, seen through its accessibility tree."""

    def __init__(self, binary, workdir, *args, extra_env=None, main_window=True,
                 desktop_entry=None):
        """Starts `binary`, or with `desktop_entry` has the desktop's launcher (gio) start it
        from that entry, as a menu does; `binary` is then what the entry must start."""
        env = dict(os.environ)
        env.update(extra_env or {})
        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        env["QT_ACCESSIBILITY"] = "1"
        env.pop("QT_QPA_PLATFORM", None)
        env["QT_QPA_PLATFORM"] = "xcb"
        self.workdir = workdir
        self.output = open(os.path.join(workdir, "tool.log"), "a")
        self.binary = os.path.realpath(binary)
        command = ["gio", "launch", desktop_entry] if desktop_entry else [binary, *args]
        self.pid = None
        self.proc = subprocess.Popen(command, cwd=workdir, env=env, stdout=self.output,
                                     stderr=subprocess.STDOUT)
        _started.append(self)
        self.pid = None if desktop_entry else self.proc.pid
        if desktop_entry and self.proc.wait(10) != 0:  # it ends once the tool is started
            raise Failure(f"gio launch {desktop_entry} failed (see tool.log)")
        import pyatspi  # after the bus address is set
        self.atspi = pyatspi
        self.app = wait_until("brixtool in the accessibility tree", self._find_app, 20)
        # A tool that fails at start-up shows its box before any main window.
        self.main = wait_until("the main window", lambda: self.window("Brix Tool"),
                               10) if main_window else None

    # ---- the tree ----

    def _find_app(self):
        desktop = self.atspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            try:
                app = desktop.getChildAtIndex(i)
                if app is None:
                    continue
                pid = app.get_process_id()
                if pid == self.pid or (self.pid is None and self._runs_binary(pid)):
                    self.pid = pid
                    return app
            except Exception:
                continue
        return None

    def _runs_binary(self, pid):
        try:
            return os.path.realpath(f"/proc/{pid}/exe") == self.binary
        except OSError:
            return False

    def windows(self):
        out = []
        try:
            for i in range(self.app.childCount):
                w = self.app.getChildAtIndex(i)
                if w is not None:
                    out.append(w)
        except Exception:
            pass
        return out

    def window(self, name):
        for w in self.windows():
            try:
                if w.name.strip() == name.strip() and self.showing(w):
                    return w
            except Exception:
                continue
        return None

    def showing(self, acc):
        return acc.getState().contains(self.atspi.STATE_SHOWING)

    def find_all(self, root, role=None, name=None, showing=True):
        found = []
        stack = [root]
        while stack:
            node = stack.pop()
            try:
                if ((role is None or node.getRoleName() == role) and
                        (name is None or node.name == name) and
                        (not showing or self.showing(node))):
                    found.append(node)
                for i in range(node.childCount - 1, -1, -1):
                    child = node.getChildAtIndex(i)
                    if child is not None:
                        stack.append(child)
            except Exception:
                continue
        return found

    def find(self, role, name, root=None, timeout=DEFAULT_TIMEOUT):
        root = root or self.main

        def one():
            hits = self.find_all(root, role, name)
            return hits[0] if hits else None

        return wait_until(f"{role} '{name}'", one, timeout)

    def state(self, acc, state_name):
        return acc.getState().contains(getattr(self.atspi, "STATE_" + state_name.upper()))

    def enabled(self, acc):
        return self.state(acc, "enabled")

    def text(self, acc):
        try:
            t = acc.queryText()
            return t.getText(0, -1)
        except NotImplementedError:
            return acc.name

    def description(self, acc):
        return acc.description

    def description_changes(self, acc):
        """The description changes `acc` announces from now on, as the tree's listeners get them.

        A lamp that flashes (on at a click, off again at the next tick) can be back as it was
        before a poll of its description sees it; its announcements are not lost that way."""
        return DescriptionChanges(self.atspi, acc)

    # ---- input ----

    def centre(self, acc):
        box = acc.queryComponent().getExtents(self.atspi.DESKTOP_COORDS)
        if box.width <= 0 or box.height <= 0:
            raise Failure(f"'{acc.name}' has no extent on screen")
        return box.x + box.width // 2, box.y + box.height // 2

    def click(self, acc, button=1, repeat=1):
        x, y = self.centre(acc)
        xdotool("mousemove", "--sync", str(x), str(y))
        xdotool("click", "--repeat", str(repeat), "--delay", "60", str(button))

    def double_click_at(self, x, y):
        xdotool("mousemove", "--sync", str(x), str(y))
        xdotool("click", "--repeat", "2", "--delay", "60", "1")

    def key(self, *keys):
        for k in keys:
            xdotool("key", "--delay", "40", k)

    def type_text(self, text):
        xdotool("type", "--delay", "30", text)

    def close(self, timeout=5):
        if self.output.closed:
            return
        if self.pid not in (None, self.proc.pid) and self._runs_binary(self.pid):
            # Started by the launcher: not our child, so ended by its process id.
            picture(os.path.join(self.workdir, "at-close.png"))
            os.kill(self.pid, signal.SIGTERM)
            try:
                wait_until("the tool to end", lambda: not self._runs_binary(self.pid), timeout)
            except Failure:
                os.kill(self.pid, signal.SIGKILL)
        if self.proc.poll() is None:
            picture(os.path.join(self.workdir, "at-close.png"))
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.output.close()

    def wait_exit(self, timeout):
        start = time.monotonic()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the tool still runs {timeout} s later")
        return time.monotonic() - start


class DescriptionChanges:
    """Collects the description-change events of one accessible; a context manager."""

    KIND = "object:property-change:accessible-description"

    def __init__(self, atspi, acc):
        from gi.repository import GLib
        self.atspi, self.acc, self.count = atspi, acc, 0
        self.context = GLib.MainContext.default()

    def _on(self, event):
        try:
            if event.source == self.acc:
                self.count += 1
        except Exception:
            pass

    def __enter__(self):
        self.atspi.Registry.registerEventListener(self._on, self.KIND)
        self.pump()
        return self

    def __exit__(self, *exc):
        self.atspi.Registry.deregisterEventListener(self._on, self.KIND)

    def pump(self):
        while self.context.pending():
            self.context.iteration(False)

    def wait(self, what, timeout=DEFAULT_TIMEOUT):
        """Until at least one change is announced."""
        def pumped():
            self.pump()
            return self.count > 0
        return wait_until(what, pumped, timeout, interval=0.02)


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, stdout=subprocess.DEVNULL)


def picture(path):
    """A picture of the whole screen for people to look at; nothing is asserted on it."""
    if shutil.which("import"):
        subprocess.run(["import", "-window", "root", path], stderr=subprocess.DEVNULL)


def end_started():
    """Ends every modem and tool still running, newest first."""
    while _started:
        p = _started.pop()
        try:
            p.close()
        except Exception as e:
            print(f"  could not end {type(p).__name__}: {e}", flush=True)


class Suite:
    """Runs named cases in order and prints what passed and how long each took."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.cases = []

    def case(self, fn):
        self.cases.append(fn)
        return fn

    def run(self, selected):
        failed = 0
        for fn in self.cases:
            if selected and fn.__name__ not in selected:
                continue
            start = time.monotonic()
            try:
                fn()
                print(f"PASS {fn.__name__} ({time.monotonic() - start:.1f} s)", flush=True)
            except Exception as e:  # a failing case must not hide the next ones
                failed += 1
                picture(os.path.join(self.workdir, fn.__name__ + "-failed.png"))
                print(f"FAIL {fn.__name__} ({time.monotonic() - start:.1f} s): {e}", flush=True)
            finally:
                end_started()
        return 1 if failed else 0
