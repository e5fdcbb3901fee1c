#!/usr/bin/python3
"""The user-interface suite: the real brixtool on Xvfb against the simulated modem, driven by real
input events and read through the accessibility tree, the modem's log and the files.

    ui_suite.py BUILD_DIR WORK_DIR [case ...]

Runs inside the private network namespace (the tool broadcasts).
"""

import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import uidriver as u  # noqa: E402

build = os.path.abspath(sys.argv[1])
work = os.path.abspath(sys.argv[2])
selected = set(sys.argv[3:])
os.makedirs(work, exist_ok=True)
TOOL = os.path.join(build, "app", "brixtool")
SIM = os.path.join(build, "simulator", "brix-modem-sim")
BRIXCTL = os.path.join(build, "brixctl", "brixctl")
QUESTION = "Brix Tool Error"
REQUEST_BUTTONS = [("Advanced", "Get"), ("Advanced", "Set"), ("Scanner", "Get"),
                   ("Scanner", "Set"), ("Scanner", "Default")]

suite = u.Suite(work)
display = u.Display(work)


def fresh_dir(name):
    d = os.path.join(work, name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    return d


def start(name, *modem_args, channels=None):
    """A fresh folder, the modem and the tool; with `channels` ({k: (label, tenths of a MHz,
    rate index)}), the channel file "Brix Tool .lb" that both start from."""
    d = fresh_dir(name)
    if channels:
        path = os.path.join(d, "Brix Tool .lb")
        with open(path, "wb") as f:
            for k in range(10):
                label, frequency, rate = channels.get(k, ("", 0, 0))
                f.write(struct.pack("<50sii", label.encode(), frequency, rate))
        modem_args = ("--channels", path, *modem_args)
    modem = u.Modem(SIM, d, *modem_args)
    tool = u.Tool(TOOL, d)
    return d, modem, tool


# A control that shows only while its page is the selected tab.
PAGE_MARK = {"Tuner": ("label", "Receive frequency"),
             "Console": ("check box", "Enable Statistics Messages"),
             "Advanced": ("panel", "Downstream Channels Table"),
             "Scanner": ("panel", "Frequency scanner parameters")}


def page_shown(tool, name):
    role, mark = PAGE_MARK[name]
    return bool(tool.find_all(tool.main, role, mark))


def wait_page(tool, name):
    u.wait_until(f"the {name} page", lambda: page_shown(tool, name), 3)


def select_tab(tool, name):
    if page_shown(tool, name):
        return
    tool.click(tool.find("page tab", name))
    wait_page(tool, name)


def page_button(tool, page, name):
    """The push button `name` of page `page` (several pages have a Get and a Set)."""
    select_tab(tool, page)
    return tool.find("push button", name)


def question(tool, timeout=20):
    return u.wait_until("the give-up question", lambda: tool.window(QUESTION), timeout)


def question_gone(tool):
    u.wait_until("the question to close", lambda: tool.window(QUESTION) is None, 3)


def count(modem, pattern):
    return len(modem.received(pattern))


def expect_sends(modem, pattern, at_least, timeout):
    u.wait_until(f"{at_least} frames '{pattern}' at the modem",
                 lambda: count(modem, pattern) >= at_least, timeout)


def request_buttons_enabled(tool):
    states = []
    for page, name in REQUEST_BUTTONS:
        states.append(tool.enabled(page_button(tool, page, name)))
    return all(states)


def press_on(tool, window, key):
    """A key for `window`: the pointer over it first, as a user's eyes and hand are."""
    x, y = tool.centre(window)
    u.xdotool("mousemove", "--sync", str(x), str(y))
    tool.key(key)


# ---- no modem: the give-up question ----


@suite.case
def question_answered_by_mouse_and_keyboard_while_the_window_stays_usable():
    d, modem, tool = start("silent", "--silent")
    try:
        get = "GetData.*item 0x62"
        box = question(tool)
        text = " ".join(n.name for n in tool.find_all(box, "label"))
        if "Cannot connect to the modem" not in text:
            raise u.Failure(f"question says {text!r}")
        if count(modem, get) != 5:
            raise u.Failure(f"{count(modem, get)} Gets before the question, not 5")

        # The main window works while the question is open: tabs, the Tuner in edit mode.
        select_tab(tool, "Console")
        select_tab(tool, "Tuner")
        tool.click(tool.find("push button", "Tune"))
        tool.find("push button", "Set")
        shown = tool.find("label", "Receive frequency").description
        tool.click(tool.find("push button", "Receive frequency up"))
        u.wait_until("the frequency stepped",
                     lambda: tool.find("label", "Receive frequency").description != shown)
        tool.click(tool.find("push button", "Cancel"))
        tool.find("push button", "Tune")

        # Retry by mouse: at once one more send, and five more sends later the question again.
        tool.click(tool.find("push button", "Retry", root=question(tool)))
        question_gone(tool)
        expect_sends(modem, get, 6, 1.5)
        question(tool, 15)
        if count(modem, get) != 10:
            raise u.Failure(f"{count(modem, get)} Gets before the second question, not 10")

        # Retry by keyboard (the default button).
        press_on(tool, question(tool), "Return")
        question_gone(tool)
        expect_sends(modem, get, 11, 1.5)

        # Cancel by keyboard: no more sends, and the five request buttons come back.
        press_on(tool, question(tool, 15), "Escape")
        question_gone(tool)
        sent = count(modem, get)
        u.wait_until("the request buttons enabled", lambda: request_buttons_enabled(tool))
        time.sleep(2.5)
        if count(modem, get) != sent:
            raise u.Failure("the cancelled request is still sent")

        # Cancel by mouse, after a Get of the user's.
        tool.click(page_button(tool, "Advanced", "Get"))
        expect_sends(modem, get, sent + 1, 1.5)
        tool.click(tool.find("push button", "Cancel", root=question(tool, 15)))
        question_gone(tool)
        u.wait_until("the request buttons enabled", lambda: request_buttons_enabled(tool))

        # Closing the tool while the question is open.
        tool.click(page_button(tool, "Scanner", "Get"))
        question(tool, 15)
        tool.click(tool.find("push button", "Exit"))
        took = tool.wait_exit(3)
        if took > 1.0:
            raise u.Failure(f"the tool took {took:.2f} s to close with the question open")
        print(f"  closed with the question open in {took * 1000:.0f} ms")
    finally:
        tool.close()
        modem.close()


# ---- a modem that answers ----


def tune_frames(modem, since):
    return [t for t in modem.received("Tune")[since:]]


def first_report(tool):
    """The receive frequency display, once the modem's first RF report shows on it."""
    rx = tool.find("label", "Receive frequency")
    u.wait_until("the first RF report", lambda: rx.description == "452.5 MHz")
    return rx


INTERACTIVE = {"push button", "check box", "radio button", "text", "combo box", "slider",
               "page tab", "spin button", "table", "tree", "tree table", "list"}


@suite.case
def every_control_has_a_name_and_the_displays_tell_their_state():
    d, modem, tool = start("names")
    try:
        rx = first_report(tool)
        unnamed = []
        for node in tool.find_all(tool.main, showing=False):
            role = node.getRoleName()
            if role not in INTERACTIVE or node.name.strip():
                continue
            parent = node.parent
            if role == "list" and parent is not None and parent.getRoleName() == "combo box":
                continue  # a drop-down list's pop-up, read through its box
            unnamed.append(f"{role} under {parent.getRoleName() if parent else '?'} "
                           f"'{parent.name if parent else ''}'")
        if unnamed:
            raise u.Failure("controls without a name: " + "; ".join(unnamed))

        displays = {"Receive frequency": " MHz", "Transmit frequency": " MHz",
                    "Receive bit rate": " Mbit/s", "Transmit bit rate": " Mbit/s"}
        for name, unit in displays.items():
            text = tool.find("label", name).description
            if not text.endswith(unit) or not text[0].isdigit():
                raise u.Failure(f"{name} reads {text!r}")
        bars = tool.find_all(tool.main, "progress bar")
        if len(bars) != 6:
            raise u.Failure(f"{len(bars)} level bars in the tree, not 6")
        for bar in bars:
            value = bar.queryValue()
            if value.maximumValue != 24 or not bar.description.endswith("of 24 cells lit"):
                raise u.Failure(f"{bar.name}: {bar.description!r}, maximum {value.maximumValue}")
        level = tool.find("progress bar", "Transmit level")
        if level.queryValue().currentValue <= 0:
            raise u.Failure("the transmit level bar shows no lit cell")
        lamps = [tool.find("label", n) for n in ("In lamp", "Out lamp")]
        for lamp in lamps:
            if lamp.description not in ("on", "off"):
                raise u.Failure(f"{lamp.name} reads {lamp.description!r}")
        # The Out lamp changes at every Tune, and the tree announces the change.
        out = lamps[1]
        with tool.description_changes(out) as changes:
            tool.click(tool.find("push button", "Channel 1"))
            changes.wait("the Out lamp to change", 3)
    finally:
        tool.close()
        modem.close()


@suite.case
def tuner_tune_step_set_and_channel_buttons():
    d, modem, tool = start("tuner", channels={0: ("One", 4525, 4), 2: ("Three", 6035, 1)})
    try:
        rx = first_report(tool)
        before = len(modem.received("Tune"))
        tool.click(tool.find("push button", "Tune"))
        tool.click(tool.find("push button", "Receive frequency up"))
        tool.click(tool.find("push button", "Receive bit rate down"))
        u.wait_until("stepped values shown", lambda: rx.description == "452.6 MHz")
        rate = tool.find("label", "Receive bit rate")
        u.wait_until("stepped rate shown", lambda: rate.description == "6.82 Mbit/s")
        tool.click(tool.find("push button", "Set"))
        u.wait_until("two Tune frames", lambda: len(tune_frames(modem, before)) >= 2, 3)
        frames = tune_frames(modem, before)
        print("  Set sent:", frames)
        if not ("TuneFrequency" in frames[0] and "4526" in frames[0] and
                "TuneChannel" in frames[1] and "4526" in frames[1]):
            raise u.Failure(f"Set sent {frames}")

        # A channel button: the same two commands the other way round.
        before = len(modem.received("Tune"))
        tool.find("push button", "Tune")
        tool.click(tool.find("push button", "Channel 3"))
        u.wait_until("two Tune frames", lambda: len(tune_frames(modem, before)) >= 2, 3)
        frames = tune_frames(modem, before)
        print("  Channel 3 sent:", frames)
        if not (frames[0].startswith("TuneChannel") and
                frames[0].endswith(": frequency 6035 rate code 1") and
                frames[1].startswith("TuneFrequency") and
                frames[1].endswith(": frequency 6035")):
            raise u.Failure(f"channel button sent {frames}, not channel 3 of the file")

        # Enter Frequency by a double-click on the receive display in edit mode.
        tool.click(tool.find("push button", "Tune"))
        x, y = tool.centre(rx)
        tool.double_click_at(x, y)
        entry = u.wait_until("Enter Frequency", lambda: tool.window("Enter Frequency"), 5)
        field = tool.find("text", "Frequency", root=entry)
        tool.click(field)
        tool.key("ctrl+a")
        tool.type_text("5552")
        tool.key("Return")
        u.wait_until("the typed value shown", lambda: rx.description == "555.2 MHz")
        before = len(modem.received("Tune"))
        tool.click(tool.find("push button", "Set"))
        u.wait_until("two Tune frames", lambda: len(tune_frames(modem, before)) >= 2, 3)
        frames = tune_frames(modem, before)
        if "5552" not in frames[0]:
            raise u.Failure(f"Set after Enter Frequency sent {frames}")
    finally:
        tool.close()
        modem.close()


def console_rows(tool, prefix):
    return [c.name for c in tool.find_all(tool.main, "table cell") if c.name.startswith(prefix)]


def set_field(tool, name, text):
    field = tool.find("text", name)
    tool.click(field)
    tool.key("ctrl+a", "BackSpace")
    tool.type_text(text)


@suite.case
def pages_tabs_statistics_advanced_scanner_about_and_escape():
    d, modem, tool = start("pages")
    try:
        main = tool.main
        # Tabs by mouse, then by Ctrl+Tab round to the first.
        select_tab(tool, "Console")
        for name in ("Advanced", "Scanner", "Tuner"):
            press_on(tool, main, "ctrl+Tab")
            wait_page(tool, name)

        # The statistics check box by its mnemonic, and the rows it adds.
        select_tab(tool, "Console")
        box = tool.find("check box", "Enable Statistics Messages")
        press_on(tool, main, "alt+e")
        u.wait_until("the box checked", lambda: tool.state(box, "checked"), 3)
        u.wait_until("a statistics row", lambda: console_rows(tool, "STATISTICS REPORT"), 25)

        # Advanced: Get fills the table from the modem; Set sends what was typed and keeps
        # the label in the channel file.
        get = "GetData.*item 0x62"
        before = count(modem, get)
        tool.click(page_button(tool, "Advanced", "Get"))
        expect_sends(modem, get, before + 1, 3)
        u.wait_until("the table from the modem",
                     lambda: tool.text(tool.find("text", "Frequency of channel 1")) == "452.5")
        set_field(tool, "Label of channel 1", "Lab1")
        set_field(tool, "Frequency of channel 1", "555.2")
        tool.click(tool.find("push button", "Set"))
        expect_sends(modem, "SetData.*item 0x62", 1, 3)
        sent = modem.received("SetData.*item 0x62")[0]
        if "data B0 15" not in sent:
            raise u.Failure(f"Set sent {sent}")
        u.wait_until("the request buttons back", lambda: tool.enabled(
            tool.find("push button", "Get")), 6)

        # Scanner: Get, then Set with one more rate, then Default.
        before = count(modem, "GetData")
        tool.click(page_button(tool, "Scanner", "Get"))
        expect_sends(modem, "GetData", before + 1, 3)
        u.wait_until("the Scanner's buttons back",
                     lambda: tool.enabled(tool.find("push button", "Set")), 6)
        ntsc = tool.find("check box", "NTSC")
        if not tool.state(ntsc, "checked"):
            tool.click(ntsc)
        rate = tool.find("check box", "NTSC 6.82 Mbit/s")
        was = tool.state(rate, "checked")
        tool.click(rate)
        u.wait_until("the rate box flipped", lambda: tool.state(rate, "checked") != was, 3)
        before = count(modem, "SetData")
        tool.click(tool.find("push button", "Set"))
        expect_sends(modem, "SetData", before + 1, 3)
        sent = modem.received("SetData")[-1]
        print("  Scanner Set sent:", sent)
        # The modem's default answer (0x01) checks NTSC 9.45 alone; NTSC 6.82 adds bit 0x02.
        mask = 0x01 | (0x02 if tool.state(rate, "checked") else 0)
        if f"item 0x27 count 2 data {mask:02X} 00" not in sent:
            raise u.Failure(f"Scanner Set sent {sent}, not mask {mask:02X}")
        u.wait_until("the Scanner's buttons back",
                     lambda: tool.enabled(tool.find("push button", "Default")), 6)
        tool.click(tool.find("push button", "Default"))
        expect_sends(modem, "SetData", before + 2, 3)
        if "data 01 00" not in modem.received("SetData")[-1]:
            raise u.Failure(f"Default sent {modem.received('SetData')[-1]}")

        # About by its button, by its mnemonic and from the window menu.
        def about():
            return u.wait_until("the About box", lambda: tool.window("About Brix Tool..."), 4)

        tool.click(tool.find("push button", "About"))
        box = about()
        print("  About by its button")
        tool.click(tool.find("push button", "OK", root=box))
        u.wait_until("About closed", lambda: tool.window("About Brix Tool...") is None, 3)
        press_on(tool, main, "alt+a")
        print("  About by Alt+A")
        press_on(tool, about(), "Escape")
        u.wait_until("About closed", lambda: tool.window("About Brix Tool...") is None, 3)
        exit_button = tool.find("push button", "Exit")
        x, y = tool.centre(exit_button)
        u.xdotool("mousemove", "--sync", str(x), str(y + 60))  # the window's own area
        u.xdotool("click", "3")
        # Qt leaves pop-up menus out of the tree; the last item is chosen by the keyboard.
        time.sleep(0.3)
        u.picture(os.path.join(d, "menu.png"))
        tool.key("Up", "Return")
        print("  About from the window menu")
        press_on(tool, about(), "Return")
        u.wait_until("About closed", lambda: tool.window("About Brix Tool...") is None, 3)
        u.picture(os.path.join(d, "pages.png"))

        # Escape closes the tool; the label typed on the Advanced page is in the channel file.
        press_on(tool, main, "Escape")
        tool.wait_exit(3)
        with open(os.path.join(d, "Brix Tool .lb"), "rb") as f:
            if b"Lab1" not in f.read():
                raise u.Failure("the channel file lacks the label set on the Advanced page")
    finally:
        tool.close()
        modem.close()


@suite.case
def an_interface_that_does_not_exist_is_told_and_the_box_closes_the_tool():
    d = fresh_dir("interface")
    tool = u.Tool(TOOL, d, "-LogFile", extra_env={"BRIX_INTERFACE": "eth9"}, main_window=False)
    try:
        box = u.wait_until("the ERROR box", lambda: tool.window("ERROR"), 10)
        text = " ".join(tool.text(label) for label in tool.find_all(box, "label"))
        if "Cannot initialize sockets." not in text:
            raise u.Failure(f"the box says {text!r}")
        press_on(tool, box, "Return")
        tool.wait_exit(5)
        if tool.proc.returncode != 1:
            raise u.Failure(f"exit code {tool.proc.returncode}, not 1")
        with open(os.path.join(d, "radio.log"), encoding="latin-1", newline="") as f:
            log = f.read()
        last = [line.split("\t", 1)[-1] for line in log.split("\r\n")[-3:-1]]
        if last != ["Error Cannot initialize sockets !!!", "Error no such interface: eth9"]:
            raise u.Failure(f"radio.log holds {log!r}")
    finally:
        tool.close()


@suite.case
def a_port_held_without_a_link_is_named_in_the_error_box():
    d = fresh_dir("held")
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", 30587))
    tool = u.Tool(TOOL, d, main_window=False)
    try:
        box = u.wait_until("the ERROR box", lambda: tool.window("ERROR"), 10)
        text = " ".join(tool.text(label) for label in tool.find_all(box, "label"))
        if "Cannot initialize sockets." not in text or f"(pid {os.getpid()})" not in text:
            raise u.Failure(f"the box says {text!r}")
        press_on(tool, box, "Return")
        tool.wait_exit(5)
    finally:
        tool.close()
        holder.close()


def brixctl(cwd, *args, timeout=30):
    return subprocess.run([BRIXCTL, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


def brix_up(port):
    text = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2).read().decode()
    return "\nbrix_up 1\n" in "\n" + text


def console_lines(tool, text):
    """The Console's rows that hold `text`, scrolled out of sight or not."""
    return [c.name for c in tool.find_all(tool.main, "table cell", showing=False)
            if text in c.name]


def advanced_set(tool, modem, frequency, data, beside=None):
    """Channel 1's frequency typed on the Advanced page and Set by a click (`beside` is called
    right after it): the modem gets the table with `data` once (its acknowledgement comes within
    the link's retry period), and the buttons come back with no question."""
    select_tab(tool, "Advanced")
    set_field(tool, "Frequency of channel 1", frequency)
    tool.click(tool.find("push button", "Set"))
    if beside:
        beside()
    expect_sends(modem, f"SetData.*item 0x62.*data {data}", 1, 4)
    u.wait_until("the request buttons back",
                 lambda: tool.enabled(tool.find("push button", "Get")), 6)
    sends = modem.received(f"SetData.*item 0x62.*data {data}")
    if len(sends) != 1 or tool.window(QUESTION) is not None:
        raise u.Failure(f"the Set went {len(sends)} times, question {tool.window(QUESTION)}")


@suite.case
def the_window_attaches_to_the_service_and_takes_over_when_it_is_killed():
    d = fresh_dir("attached")
    ctl = os.path.join(d, "ctl")
    os.makedirs(ctl)
    # Late answers, so that the window's Set and a command's are both waiting for theirs at once.
    modem = u.Modem(SIM, d, "--late", "600")
    port = 9341
    serve = subprocess.Popen([BRIXCTL, "serve", "--metrics", f"127.0.0.1:{port}", "--no-history"],
                             cwd=ctl, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True)
    tool = None
    try:
        if "serving" not in serve.stderr.readline():
            raise u.Failure("brixctl serve did not start")
        tool = u.Tool(TOOL, d)
        status = json.loads(brixctl(ctl, "--json", "status").stdout)["link"]
        if status["role"] != "attached" or status["owner"] != f"brixctl (pid {serve.pid})":
            raise u.Failure(f"a command sees the link as {status}")
        first_report(tool)
        u.wait_until("the service to see the modem", lambda: brix_up(port), 12)

        # The Console works attached: statistics rows come once its box is checked.
        select_tab(tool, "Console")
        box = tool.find("check box", "Enable Statistics Messages")
        press_on(tool, tool.main, "alt+e")
        u.wait_until("a statistics row", lambda: console_rows(tool, "STATISTICS REPORT"), 25)
        press_on(tool, tool.main, "alt+e")
        u.wait_until("the box cleared", lambda: not tool.state(box, "checked"), 3)

        select_tab(tool, "Advanced")
        tool.click(tool.find("push button", "Get"))
        u.wait_until("the table from the modem",
                     lambda: tool.text(tool.find("text", "Frequency of channel 1")) == "452.5")

        # The window's Set and a brixctl table set at once; each takes its own acknowledgement.
        table = json.loads(brixctl(ctl, "--json", "table", "get").stdout)
        table["channels"][2]["frequency_mhz"] = 600.0
        with open(os.path.join(ctl, "table.json"), "w") as f:
            json.dump(table, f)
        other = []
        advanced_set(tool, modem, "555.2", "B0 15", beside=lambda: other.append(subprocess.Popen(
            [BRIXCTL, "table", "set", "table.json"], cwd=ctl, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)))
        other = other[0]
        out = other.communicate(timeout=15)[0]
        if other.returncode != 0:
            raise u.Failure(f"brixctl table set beside the window: exit {other.returncode}: {out}")
        if not brix_up(port):
            raise u.Failure("/metrics lost the modem while the others worked")

        # The service dies: the window owns the link within 2 s and says so once.
        serve.kill()
        serve.wait()
        killed = time.monotonic()
        select_tab(tool, "Console")
        taken = "this program owns the link now"
        u.wait_until("the Console's line on taking over", lambda: console_lines(tool, taken), 4)
        took = time.monotonic() - killed
        print(f"  took over after {took:.2f} s")
        if took > 2.0:
            raise u.Failure(f"the window took over after {took:.2f} s")

        # A command attaches to the window now; the Tuner shows the tune it made; a Set works.
        status = json.loads(brixctl(ctl, "--json", "status").stdout)["link"]
        if status["role"] != "attached" or status["owner"] != f"brixtool (pid {tool.pid})":
            raise u.Failure(f"after the takeover a command sees the link as {status}")
        tune = brixctl(ctl, "tune", "555.2", "6.82")
        if tune.returncode != 0:
            raise u.Failure(f"brixctl tune through the window: {tune.stdout}{tune.stderr}")
        select_tab(tool, "Tuner")
        rx = tool.find("label", "Receive frequency")
        u.wait_until("the Tuner to show the new channel", lambda: rx.description == "555.2 MHz")
        advanced_set(tool, modem, "600.5", "75 17")
        select_tab(tool, "Console")
        lines = console_lines(tool, "owner went away")
        if len(lines) != 1:
            raise u.Failure(f"the Console tells the takeover {len(lines)} times: {lines}")
        u.picture(os.path.join(d, "attached.png"))
    finally:
        if serve.poll() is None:
            serve.kill()
            serve.wait()
        serve.stderr.close()
        if tool:
            tool.close()
        modem.close()


STATISTICS_HEADER = ("  time      date    tx-pckts tx-frms tx-byts tx-errs  rx-frms rx-rjct "
                     "rx-sync         memory\r\n")


@suite.case
def quit_signals_end_the_tool_as_exit_does_also_with_the_question_open():
    """Ctrl-C in a terminal, and the end of a session while the give-up question is open: the
    tool ends within a second, the logs hold what it had not yet written, the labels are saved."""
    for sig, modem_args in ((signal.SIGINT, ()), (signal.SIGHUP, ("--silent",))):
        d = fresh_dir("signal-" + sig.name)
        modem = u.Modem(SIM, d, *modem_args)
        tool = u.Tool(TOOL, d, "-LogFile")
        try:
            if modem_args:
                question(tool)
            else:
                first_report(tool)  # its lines are fewer than the ten after which the log flushes
            os.kill(tool.pid, sig)
            took = tool.wait_exit(1)
            if tool.proc.returncode != 0:
                raise u.Failure(f"exit code {tool.proc.returncode} after {sig.name}, not 0")

            def read(name):
                with open(os.path.join(d, name), "rb") as f:
                    return f.read()
            if read("radiostt.log") != STATISTICS_HEADER.encode():
                raise u.Failure(f"radiostt.log holds {read('radiostt.log')!r}")
            if not modem_args and b"\tEmbedded RF REPORT:\r\n" not in read("radio.log"):
                raise u.Failure(f"radio.log holds {read('radio.log')!r}")
            if len(read("Brix Tool .lb")) != 580:
                raise u.Failure("the channel file was not saved")
            print(f"  {sig.name}{' with the question open' if modem_args else ''}: "
                  f"ended in {took:.2f} s")
        finally:
            tool.close()
            modem.close()


@suite.case
def installed_tool_from_its_desktop_entry_opens_help_at_the_tab_topic():
    d = fresh_dir("help")
    prefix = os.path.join(d, "prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    # The real xdg-open, on a desktop it does not know: it falls back to $BROWSER, here a
    # browser that only writes down what it was given.
    record = os.path.join(d, "browser.txt")
    browser = os.path.join(d, "browser")
    with open(browser, "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" >> "{record}"\n')
    os.chmod(browser, 0o755)
    empty = os.path.join(d, "xdg")
    os.makedirs(empty, exist_ok=True)
    env = {"BROWSER": browser, "XDG_DATA_HOME": empty, "XDG_DATA_DIRS": empty,
           "XDG_CONFIG_HOME": empty, "XDG_CONFIG_DIRS": empty, "XDG_CURRENT_DESKTOP": "",
           "DESKTOP_SESSION": ""}
    # Started as a desktop menu starts it: the launcher runs the installed entry's command.
    env["PATH"] = os.path.join(prefix, "bin") + os.pathsep + os.environ["PATH"]
    entry = os.path.join(prefix, "share", "applications", "org.example.BrixTool.desktop")
    modem = u.Modem(SIM, d)
    tool = u.Tool(os.path.join(prefix, "bin", "brixtool"), d, extra_env=env, desktop_entry=entry)
    try:
        opened = []
        for tab, context in (("Scanner", 4), ("Console", 2)):
            select_tab(tool, tab)
            tool.click(tool.find("push button", "Help"))
            u.wait_until("the browser", lambda: os.path.exists(record) and
                         len(open(record).read().split()) > len(opened), 5)
            opened = open(record).read().split()
            page = opened[-1]
            if page.startswith("file://"):
                page = page[len("file://"):]
            want = os.path.realpath(os.path.join(prefix, "share", "brixtool", "help",
                                                 f"context-{context}.html"))
            if os.path.realpath(page) != want:
                raise u.Failure(f"Help on {tab} opened {opened[-1]}, not {want}")
            with open(want) as f:
                if f"url=brixtool.html#context-{context}\"" not in f.read():
                    raise u.Failure(f"{want} does not lead to topic {context}")
        print("  the browser got:", " ".join(opened))
    finally:
        tool.close()
        modem.close()


BRIXCTL = os.path.join(build, "brixctl", "brixctl")


def brixctl_tune(*args):
    """A script's retune, through whichever program owns the link."""
    p = subprocess.run([BRIXCTL, "tune", *args], capture_output=True, text=True, timeout=20)
    if p.returncode != 0:
        raise u.Failure(f"brixctl tune: {p.returncode} {p.stdout} {p.stderr}")


def local_seconds(text):
    return time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


@suite.case
def history_window_by_ctrl_h_and_click_shows_the_silence_the_retune_and_the_events():
    """The modem goes quiet for 14 s and a script retunes it; the History window, opened by
    Ctrl+H and by a click, tells both in its summary and its event list, with their times."""
    d = fresh_dir("history")
    modem = u.Modem(SIM, d)
    tool = u.Tool(TOOL, d, extra_env={"BRIX_HISTORY": os.path.join(d, "history.sqlite3")})
    try:
        first_report(tool)
        # The start's channel-table Get answered first: a Get left pending through the silence
        # would end in the give-up question, which holds the window until it is answered.
        time.sleep(3)
        if tool.window(QUESTION):
            raise u.Failure("the give-up question is open before the silence")
        stopped = time.time()
        modem.proc.send_signal(signal.SIGSTOP)
        time.sleep(14)
        modem.proc.send_signal(signal.SIGCONT)
        resumed = time.time()
        # A script's retune goes through the window's link; the window records who asked.
        brixctl_tune("555.2", "6.82")
        time.sleep(2.5)  # a batch is written every second

        # What a program of the user's recorded in its own store meanwhile (a drop of 2 s) is
        # one record with the window's: a whole copy of the window's store, with only that drop
        # in it, where the user's own store is.
        own = os.path.join(os.environ["HOME"], ".local", "state", "brixtool", "history.sqlite3")
        os.makedirs(os.path.dirname(own), exist_ok=True)
        for suffix in ("", "-wal", "-shm", ".lock"):  # what an earlier case's program left
            if os.path.exists(own + suffix):
                os.remove(own + suffix)
        copied = subprocess.run([BRIXCTL, "--history", os.path.join(d, "history.sqlite3"),
                                 "history", "backup", own], capture_output=True, text=True)
        if copied.returncode != 0:
            raise u.Failure(f"backup: {copied.stderr}")
        with sqlite3.connect(own) as db:
            db.execute("DELETE FROM events")
            t = int((resumed + 0.5) * 1000)
            db.executemany("INSERT INTO events VALUES(?, ?, ?, '')",
                           [(t, 2, "nothing heard"), (t + 2000, 1, "again")])

        # Ctrl+H on the main window opens it.
        press_on(tool, tool.main, "ctrl+h")
        window = u.wait_until("the History window", lambda: tool.window("History"), 5)
        summary = tool.find("label", "Summary", root=window)
        # The retune moved the receive channel: one channel change, counted and listed.
        told = (r"^Last hour: link down 2 times for 1\d s in all; 1 retune; 1 channel change; "
                r".*receive rate")
        try:
            u.wait_until("the summary", lambda: re.search(told, tool.description(summary)), 5)
        except u.Failure:
            raise u.Failure(f"the summary reads {tool.description(summary)!r}")
        rows = {}
        events = tool.find(None, "Events", root=window)
        cells = [c.name for c in tool.find_all(events, "table cell")]
        for i in range(0, len(cells) - 3, 4):
            rows.setdefault(cells[i + 1], []).append((cells[i], cells[i + 2], cells[i + 3]))
        down, up = rows.get("Link down"), rows.get("Link up")
        if not down or not up:
            raise u.Failure(f"the event list holds {rows}")
        # Down from the last frame heard before the silence, found 10 s later.
        if not stopped - 4 <= local_seconds(down[0][0]) <= stopped + 1:
            raise u.Failure(f"link down at {down[0][0]}, the modem stopped at {stopped}")
        if not resumed - 2 <= local_seconds(up[0][0]) <= resumed + 3:
            raise u.Failure(f"link up at {up[0][0]}, the modem went on at {resumed}")
        if ("Tune to 555.2 MHz, rate code 3", "brixctl") not in [r[1:] for r in rows.get("Tune", [])]:
            raise u.Failure(f"no retune by brixctl in {rows}")
        print("  summary:", tool.description(summary))

        # The range buttons (checkable, so "check box" to a screen reader) redraw it.
        tool.click(tool.find("check box", "10 minutes", root=window))
        u.wait_until("the 10-minute summary", lambda: tool.description(summary).startswith(
            "Last 10 minutes: link down 2 times"), 5)
        u.picture(os.path.join(d, "history-window.png"))

        # A drag across the bit-rate chart zooms every chart; Back returns.
        chart = tool.find(None, "Bit rate chart", root=window)
        box = chart.queryComponent().getExtents(tool.atspi.DESKTOP_COORDS)
        y = box.y + box.height // 2
        u.xdotool("mousemove", "--sync", str(box.x + box.width // 3), str(y))
        u.xdotool("mousedown", "1")
        u.xdotool("mousemove", "--sync", str(box.x + box.width * 2 // 3), str(y))
        u.xdotool("mousemove", "--sync", str(box.x + box.width * 2 // 3 + 5), str(y))
        u.xdotool("mouseup", "1")
        u.wait_until("the zoomed summary",
                     lambda: tool.description(summary).startswith("From "), 5)
        tool.click(tool.find("push button", "Back", root=window))
        u.wait_until("the summary back at 10 minutes",
                     lambda: tool.description(summary).startswith("Last 10 minutes:"), 5)

        # Export CSV through the file dialog: the kind switched to Events by the keyboard (the
        # name offered follows it), a name typed, Return; the events of the range.
        exported = os.path.join(d, "exported")
        tool.click(tool.find("push button", "Export CSV...", root=window))
        dialog = u.wait_until("the file dialog",
                              lambda: tool.window("Export the shown range as CSV"), 5)

        def offered():
            return [tool.text(t) for t in tool.find_all(dialog, "text")
                    if tool.text(t).endswith(".csv")]

        u.wait_until("the samples' name", lambda: offered() == ["brix-samples.csv"], 5)
        kinds = [c for c in tool.find_all(dialog, "combo box") if "Samples" in c.name]
        if not kinds:
            raise u.Failure("no kind to choose in the file dialog")
        tool.click(kinds[0])
        time.sleep(0.5)
        for key in ("Down", "Down", "Return"):
            tool.key(key)
        try:
            u.wait_until("the events' name", lambda: offered() == ["brix-events.csv"], 5)
        except u.Failure:
            raise u.Failure(f"the dialog offers {offered()}")
        tool.click([t for t in tool.find_all(dialog, "text") if tool.text(t).endswith(".csv")][0])
        press_on(tool, dialog, "ctrl+a")
        tool.type_text(exported)
        tool.key("Return")
        u.wait_until("the exported file", lambda: os.path.exists(exported + ".csv"), 5)
        with open(exported + ".csv") as f:
            header = f.readline().strip()
        if header != "time,kind,text,program":
            raise u.Failure(f"the export begins {header!r}")

        # The report of the shown range for the provider, by its button and a typed name: the
        # two drops of the summary are its outages.
        tool.click(tool.find("push button", "Report...", root=window))
        dialog = u.wait_until("the report's file dialog",
                              lambda: tool.window("Report of the shown range"), 5)
        names = [t for t in tool.find_all(dialog, "text") if tool.text(t).endswith(".pdf")]
        if not names:
            raise u.Failure("the report's dialog offers no PDF name")
        tool.click(names[0])
        press_on(tool, dialog, "ctrl+a")
        tool.type_text(os.path.join(d, "for-the-provider.pdf"))
        tool.key("Return")
        report = os.path.join(d, "for-the-provider.pdf")
        u.wait_until("the report", lambda: os.path.exists(report), 10)
        text = subprocess.run(["pdftotext", report, "-"], capture_output=True, text=True).stdout
        if "Cable modem report" not in text or "The link was down 2 times" not in text:
            raise u.Failure(f"the report reads: {text[:400]!r}")

        # Put away with Escape, and back with a real click on the main window's History.
        press_on(tool, window, "Escape")
        u.wait_until("the History window to close", lambda: tool.window("History") is None, 5)
        tool.click(tool.find("push button", "History"))
        u.wait_until("the History window again", lambda: tool.window("History"), 5)
    finally:
        tool.close()
        modem.close()


@suite.case
def a_history_that_cannot_be_written_is_one_console_error_and_the_tool_goes_on():
    d = fresh_dir("history-refused")
    blocker = os.path.join(d, "not-a-folder")
    with open(blocker, "w") as f:
        f.write("x")
    modem = u.Modem(SIM, d)
    tool = u.Tool(TOOL, d, extra_env={"BRIX_HISTORY": os.path.join(blocker, "h.sqlite3")})
    try:
        first_report(tool)
        select_tab(tool, "Console")
        u.wait_until("the history's Error line",
                     lambda: console_rows(tool, "history not recorded"), 5)
        time.sleep(2)  # the reports go on; the failure is not told again
        rows = console_rows(tool, "history not recorded")
        if len(rows) != 1 or "not-a-folder" not in rows[0]:
            raise u.Failure(f"the Console holds {rows}")
        select_tab(tool, "Tuner")
        tool.click(tool.find("push button", "History"))
        window = u.wait_until("the History window", lambda: tool.window("History"), 5)
        summary = tool.find("label", "Summary", root=window)
        u.wait_until("the summary to say why",
                     lambda: "no history to show" in tool.description(summary), 5)
    finally:
        tool.close()
        modem.close()


@suite.case
def an_attached_window_shows_the_services_history_and_records_none_itself():
    d = fresh_dir("history-attached")
    modem = u.Modem(SIM, d)
    service_store = os.path.join(d, "service.sqlite3")
    own_store = os.path.join(d, "own.sqlite3")
    serve = subprocess.Popen([BRIXCTL, "--history", service_store, "serve", "--metrics",
                              "127.0.0.1:9451"], stderr=subprocess.PIPE, text=True)
    tool = None
    try:
        if "serving" not in serve.stderr.readline():
            raise u.Failure("brixctl serve did not start")
        brixctl_tune("555.2", "6.82")
        tool = u.Tool(TOOL, d, extra_env={"BRIX_HISTORY": own_store})
        rx = tool.find("label", "Receive frequency")
        u.wait_until("the retuned channel on the Tuner", lambda: rx.description == "555.2 MHz")
        time.sleep(1.5)  # the service writes a batch a second
        press_on(tool, tool.main, "ctrl+h")
        window = u.wait_until("the History window", lambda: tool.window("History"), 5)
        summary = tool.find("label", "Summary", root=window)
        u.wait_until("the service's retune in the summary",
                     lambda: "; 1 retune; " in tool.description(summary), 5)
        events = tool.find(None, "Events", root=window)
        cells = [c.name for c in tool.find_all(events, "table cell")]
        if "Tune to 555.2 MHz, rate code 3" not in cells or "brixctl" not in cells:
            raise u.Failure(f"the list holds {cells}")
        if os.path.exists(own_store):
            raise u.Failure("the attached window made a store of its own")
        print("  summary:", tool.description(summary))
    finally:
        if tool is not None:
            tool.close()
        serve.terminate()
        serve.wait(5)
        serve.stderr.close()
        modem.close()


SERVICE_UID, BRIX_GID, MEMBER_UID = 65532, 65531, 65534


def as_user(uid, gid, *groups):
    """setpriv's prefix that runs a program as `uid`:`gid` with only `groups` beside."""
    extra = [f"--groups={','.join(map(str, groups))}"] if groups else ["--clear-groups"]
    return ["setpriv", f"--reuid={uid}", f"--regid={gid}", *extra, "--"]


@suite.case
def the_service_as_its_unit_runs_it_takes_its_link_back_from_a_users_window():
    """The service as its own user in the group brix (as the unit runs it) beside the user's
    window and watch: restarted, and killed for a while, it has its link back within 2 s each
    time, and the window's History shows the service's drops and the one the window recorded
    in between as one record."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        print("  skipped: needs root to run the service as a user of its own (CI runs as root)")
        return
    d = fresh_dir("service-user")
    os.chmod(d, 0o755)
    state = os.path.join(d, "state")  # the unit's StateDirectory
    os.makedirs("/run/brix", mode=0o755, exist_ok=True)
    folder = f"/run/brix/ui-{os.getpid()}"  # its RuntimeDirectory
    shutil.rmtree(folder, ignore_errors=True)
    for path in (state, folder):
        os.mkdir(path, 0o750)
        os.chown(path, SERVICE_UID, BRIX_GID)
    store = os.path.join(state, "history.sqlite3")
    modem = u.Modem(SIM, d)
    services = []

    def start_service():
        started = time.monotonic()
        p = subprocess.Popen([*as_user(SERVICE_UID, BRIX_GID), BRIXCTL, "--history", store,
                              "serve", "--metrics", "127.0.0.1:9461"], cwd=state,
                             env=dict(os.environ, RUNTIME_DIRECTORY=folder),
                             preexec_fn=lambda: os.umask(0o027), stderr=subprocess.PIPE,
                             text=True)
        services.append(p)
        if "serving" not in p.stderr.readline():
            raise u.Failure("the service did not start")
        return p, started

    def owner_within(p, started, seconds):
        def owned():
            link = json.loads(brixctl(d, "--json", "status").stdout)["link"]
            return link["owner"] == f"brixctl (pid {p.pid})"
        u.wait_until("the service to own the link", owned, seconds + 2)
        took = time.monotonic() - started
        if took > seconds:
            raise u.Failure(f"the service had its link {took:.2f} s after it started")
        return took

    def silence(seconds):
        modem.proc.send_signal(signal.SIGSTOP)
        time.sleep(seconds)
        modem.proc.send_signal(signal.SIGCONT)

    tool = watch = None
    try:
        serve, _ = start_service()
        tool = u.Tool(TOOL, d, extra_env={"XDG_STATE_HOME": os.path.join(d, "own"),
                                          "TZ": "Asia/Kolkata"})
        watch = subprocess.Popen([BRIXCTL, "--timeout", "60", "watch", "--interval", "0.5"], cwd=d,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        first_report(tool)
        time.sleep(3)  # the start's Get answered: left pending through a silence, it would ask
        silence(13)  # the night's drop, in the service's store
        time.sleep(3)

        # Restarted: the window holds the link meanwhile and hands it back within 2 s.
        serve.terminate()
        if serve.wait(5) != 0:
            raise u.Failure(f"the service ended with {serve.returncode}")
        select_tab(tool, "Console")
        try:
            u.wait_until("the window's takeover",
                         lambda: console_lines(tool, "this program owns the link now"), 4)
        except u.Failure:
            raise u.Failure(f"no takeover; the Console holds {[c for c in console_lines(tool, '') if 'link' in c]}")
        serve, started = start_service()
        print(f"  restarted: its link after {owner_within(serve, started, 2.0):.2f} s")
        u.wait_until("the window's line on the handover",
                     lambda: console_lines(tool, "The modem link is the service's now"), 3)

        # Killed: the window records the gap, a drop in it too, until the service is back.
        serve.kill()
        serve.wait()
        u.wait_until("the window's second takeover",
                     lambda: len(console_lines(tool, "this program owns the link now")) == 2, 4)
        time.sleep(2)
        silence(12)
        time.sleep(4)
        serve, started = start_service()
        print(f"  back after a kill: its link after {owner_within(serve, started, 2.0):.2f} s")
        u.wait_until("the window's line on the second handover", lambda: len(
            console_lines(tool, "The modem link is the service's now")) == 2, 3)
        if watch.poll() is not None or serve.poll() is not None:
            raise u.Failure(f"watch ended {watch.poll()}, the service {serve.poll()}")

        # One record in the History window: the service's drop and the window's.
        press_on(tool, tool.main, "ctrl+h")
        window = u.wait_until("the History window", lambda: tool.window("History"), 5)
        summary = tool.find("label", "Summary", root=window)
        try:
            u.wait_until("both drops", lambda: tool.description(summary).startswith(
                "Last hour: link down 2 times"), 8)
        except u.Failure:
            raise u.Failure(f"the summary reads {tool.description(summary)!r}")
        events = tool.find(None, "Events", root=window)
        headers = [h.name for h in tool.find_all(events, "table column header", showing=False)]
        if "Time (UTC+05:30)" not in headers:
            raise u.Failure(f"the event list's headers are {headers}")
        print("  summary:", tool.description(summary))

        # A member of brix reads the same record with no option, the service's store first.
        read = subprocess.run([*as_user(MEMBER_UID, MEMBER_UID, BRIX_GID), BRIXCTL, "history",
                               "events"], cwd="/", capture_output=True, text=True, timeout=30,
                              env={"PATH": os.environ["PATH"], "HOME": "/nonexistent"})
        first = read.stdout.splitlines()[:1]
        if read.returncode != 0 or first != [f"History in {store}"]:
            raise u.Failure(f"a member's history: exit {read.returncode}: {first} {read.stderr}")
    finally:
        for p in services:
            if p.poll() is None:
                p.terminate()
                p.wait(5)
            p.stderr.close()
        if watch is not None:
            watch.kill()
            watch.wait()
        if tool is not None:
            tool.close()
        modem.close()
        shutil.rmtree(folder, ignore_errors=True)


@suite.case
def the_display_going_away_ends_the_tool_with_its_logs_labels_and_history_kept():
    """The X server dies under the window (a remote session cut, a crashed desktop): the tool
    ends with 1, as Qt ends it, and keeps what its Exit would have kept."""
    d = fresh_dir("display-gone")
    modem = u.Modem(SIM, d)
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp"],
                            pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as r:
        number = r.readline().strip()
    store = os.path.join(d, "history.sqlite3")
    env = dict(os.environ, DISPLAY=":" + number, QT_QPA_PLATFORM="xcb", BRIX_HISTORY=store)
    with open(os.path.join(d, "tool.log"), "w") as log:
        tool = subprocess.Popen([TOOL, "-LogFile"], cwd=d, env=env, stdout=log,
                                stderr=subprocess.STDOUT)
    try:
        time.sleep(5)  # the window up, reports logged and recorded
        xvfb.kill()
        rc = tool.wait(5)
        if rc != 1:
            raise u.Failure(f"the tool ended with {rc}")
        with open(os.path.join(d, "radio.log"), encoding="latin-1") as f:
            if "RF REPORT" not in f.read():
                raise u.Failure("the message log lost its lines")
        if not os.path.exists(os.path.join(d, "Brix Tool .lb")):
            raise u.Failure("the channel file was not saved")
        # Closed as at an Exit: the write-ahead log merged and gone, the samples in the store.
        if os.path.exists(store + "-wal"):
            raise u.Failure("the history was left open")
        if not sqlite3.connect(store).execute("SELECT count(*) FROM rf").fetchone()[0]:
            raise u.Failure("the history holds no sample")
    finally:
        if tool.poll() is None:
            tool.kill()
            tool.wait()
        if xvfb.poll() is None:
            xvfb.kill()
        xvfb.wait()
        modem.close()


# The desktop's notification service, as a test double on the suite's session bus that keeps
# each call as a JSON line in the file it is given.
NOTIFICATIONS = r"""
import json, sys
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
owned = dbus.service.BusName("org.freedesktop.Notifications", bus)
class Notifications(dbus.service.Object):
    count = 0
    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        Notifications.count += 1
        with open(sys.argv[1], "a") as f:
            f.write(json.dumps({"app": str(app), "replaces": int(replaces), "summary": str(summary),
                                "body": str(body), "urgency": int(hints.get("urgency", -1)),
                                "id": Notifications.count}) + "\n")
        return Notifications.count
Notifications(bus, "/org/freedesktop/Notifications")
print("ready", flush=True)
GLib.MainLoop().run()
"""


def retry_if_asked(tool):
    """The give-up question a long silence may have raised, answered Retry by its user."""
    time.sleep(1)
    asked = tool.window(QUESTION)
    if asked:
        press_on(tool, asked, "Return")
        question_gone(tool)


@suite.case
def a_drop_while_the_window_is_minimised_is_a_desktop_notification_and_so_is_its_end():
    d, modem, tool = start("desktop-notice")
    calls = os.path.join(d, "notifications.jsonl")
    double = subprocess.Popen(["/usr/bin/python3", "-c", NOTIFICATIONS, calls],
                              stdout=subprocess.PIPE, text=True)

    def shown():
        if not os.path.exists(calls):
            return []
        with open(calls) as f:
            return [json.loads(line) for line in f]

    try:
        if double.stdout.readline().strip() != "ready":
            raise u.Failure("the notification service double did not start")
        first_report(tool)
        # In front, the window shows the drop itself: no notification.
        modem.proc.send_signal(signal.SIGSTOP)
        time.sleep(12)
        modem.proc.send_signal(signal.SIGCONT)
        retry_if_asked(tool)
        time.sleep(4)  # heard again, by the link and by the window
        if shown():
            raise u.Failure(f"a drop seen in the window was notified: {shown()}")
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                str(tool.proc.pid)], capture_output=True, text=True, timeout=10)
        for window in found.stdout.split():
            subprocess.run(["xdotool", "windowminimize", window], check=True, timeout=10)
        modem.proc.send_signal(signal.SIGSTOP)
        u.wait_until("the drop notified", lambda: len(shown()) == 1, timeout=20)
        modem.proc.send_signal(signal.SIGCONT)
        retry_if_asked(tool)
        u.wait_until("the end of the drop notified", lambda: len(shown()) == 2, timeout=15)
        down, back = shown()
        if (down["app"], down["summary"], down["urgency"]) != ("Brix Tool", "Modem link down", 2):
            raise u.Failure(f"the drop was shown as {down}")
        if not re.fullmatch(r"Nothing heard from the modem since \d\d:\d\d:\d\d\.",
                            down["body"]):
            raise u.Failure(f"the drop's text: {down['body']}")
        # The end takes the drop's place rather than piling up beside it.
        if (back["summary"], back["replaces"]) != ("Modem link back", down["id"]):
            raise u.Failure(f"the end of the drop was shown as {back}")
    finally:
        modem.proc.send_signal(signal.SIGCONT)
        double.terminate()
        double.wait()
        tool.close()
        modem.close()


if __name__ == "__main__":
    try:
        rc = suite.run(selected)
    finally:
        display.close()
    sys.exit(rc)
