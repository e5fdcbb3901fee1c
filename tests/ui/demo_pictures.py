#!/usr/bin/python3
"""The headless half of tools/demo: the tool on a virtual X server, as a user would try it.

    demo_pictures.py TOOL WORK_DIR [tool arguments]

Waits (through the accessibility tree) until the modem's versions are shown, leaves a picture of
each tab and of the History window in WORK_DIR (demo.png: the Tuner), and closes the tool with its Exit button. The
simulated modem must already be running.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import uidriver as u  # noqa: E402

tool_path, work = sys.argv[1], os.path.abspath(sys.argv[2])
os.makedirs(work, exist_ok=True)
display = u.Display(work)
tool = None
try:
    tool = u.Tool(tool_path, work, *sys.argv[3:])

    def versions():
        shown = [n.name for n in tool.find_all(tool.main, "label", showing=False)]
        return "Unavailable" not in shown

    # The version poll goes out after 20 s; by then the channel table and RF reports are in too.
    u.wait_until("the modem's versions", versions, 40, 0.5)
    rows = len(tool.find_all(tool.main, "table cell", showing=False)) // 2
    print(f"versions shown; Console rows: {rows}")
    for name in ("Console", "Advanced", "Scanner", "Tuner"):
        tool.click(tool.find("page tab", name))
        time.sleep(1)  # the Tuner's 500 ms timer repaints its displays after its tab comes back
        u.picture(os.path.join(work, f"demo-{name.lower()}.png"))
    os.replace(os.path.join(work, "demo-tuner.png"), os.path.join(work, "demo.png"))
    # The History window beside it, over the minutes the demo has run.
    tool.click(tool.find("push button", "History"))
    history = u.wait_until("the History window", lambda: tool.window("History"), 5)
    tool.click(tool.find("check box", "10 minutes", root=history))
    summary = tool.find("label", "Summary", root=history)
    u.wait_until("the history's summary", lambda: "receive rate" in tool.description(summary), 10)
    time.sleep(1)
    u.picture(os.path.join(work, "demo-history.png"))
    print("history:", tool.description(summary))
    tool.key("Escape")
    print(f"pictures: {work}/demo.png (Tuner) and demo-console.png, demo-advanced.png, "
          "demo-scanner.png, demo-history.png")
    tool.click(tool.find("push button", "Exit"))
    tool.wait_exit(5)
    print("the tool closed; the simulated modem stops with it")
except u.Failure as e:
    print(f"demo: {e}; see {work}/tool.log", file=sys.stderr)
    sys.exit(1)
finally:
    if tool is not None:
        tool.close()
    display.close()
