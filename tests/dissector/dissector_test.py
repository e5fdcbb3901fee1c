#!/usr/bin/env python3
"""Runs the Brix dissector in tshark over the frames of dissector_frames and compares every field
with the value that went in; then feeds it random and cut datagrams, which must never make it fail,
and a real capture cut to a snap length, which must read as the whole one does, only shorter.

Each check is its own function; the first failing one ends the run with a message naming the
frame and the field.
"""

import argparse
import os
import random
import shutil
import struct
import subprocess
import sys

TOOL_PORT, MODEM_PORT = 30587, 30588
OTHER_PORTS = (40000, 40001)  # reached only through Decode As
PORTS = {"request": (TOOL_PORT, MODEM_PORT), "reply": (MODEM_PORT, TOOL_PORT), "other": OTHER_PORTS}
FAULT_MARKERS = ("Lua Error", "[Dissector bug", "Malformed Packet", "Error during loading")

REQUEST_TYPES = {0, 1, 3, 5, 6, 8, 9, 10, 15, 18}
REPLY_TYPES = {0, 1, 3, 4, 7, 10, 11, 15, 16, 17}
EXPERTS = {"bad_magic", "unknown_type", "short", "no_zero", "short_period", "length",
           "rate_code", "unknown_debug", "ignored", "oversize"}


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def write_pcap(path, datagrams):
    """Ethernet broadcast frames carrying (direction, payload) as UDP from the direction's ports."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    for n, (direction, payload) in enumerate(datagrams):
        src, dst = PORTS[direction]
        udp = struct.pack(">HHHH", src, dst, 8 + len(payload), 0) + payload
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), n & 0xFFFF, 0, 64, 17, 0,
                         bytes([192, 168, 100, 2 if src == MODEM_PORT else 1]), b"\xff" * 4)
        packet = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01\x08\x00" + ip + udp
        out.append(struct.pack("<IIII", n, 0, len(packet), len(packet)) + packet)
    with open(path, "wb") as f:
        f.write(b"".join(out))


class Tshark:
    def __init__(self, args):
        self.args = args
        # An empty configuration: no preferences, plugins or Decode As entries of the user's.
        self.home = os.path.join(args.work, "home")
        os.makedirs(self.home, exist_ok=True)

    def run(self, pcap, *extra):
        env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=self.home)
        cmd = [self.args.tshark, "-n", "-X", "lua_script:" + self.args.dissector, "-r", pcap,
               "-d", "udp.port==%d,brix" % OTHER_PORTS[0], *extra]
        try:
            p = subprocess.run(cmd, env=env, capture_output=True, text=True, errors="replace",
                               timeout=60)
        except FileNotFoundError:
            fail("%s not found (tools/install-deps installs tshark)" % self.args.tshark)
        if p.returncode != 0:
            fail("tshark exited with %d:\n%s" % (p.returncode, p.stderr))
        for marker in FAULT_MARKERS:
            if marker in p.stdout or marker in p.stderr:
                at = (p.stdout + p.stderr).find(marker)
                fail("tshark output holds %r:\n%s" % (marker, (p.stdout + p.stderr)[at - 400:at + 400]))
        return p.stdout


def read_frames(program):
    frames = []
    for line in subprocess.run([program], capture_output=True, text=True, check=True).stdout.splitlines():
        direction, payload, *fields = line.split("\t")
        expected = {}
        for f in fields:
            name, _, value = f.partition("=")
            expected[name] = value  # a later value for the same field wins
        frames.append((direction, bytes.fromhex(payload), expected))
    return frames


def check_coverage(frames):
    """The frames still hold every type of both directions and every expert info."""
    sent = {struct.unpack_from("<h", p, 8)[0] for d, p, _ in frames if d == "request"}
    received = {struct.unpack_from("<h", p, 8)[0] for d, p, _ in frames if d == "reply"}
    experts = {k.split(".")[2] for _, _, e in frames for k, v in e.items()
               if k.startswith("brix.expert.") and v}
    if not REQUEST_TYPES <= sent or not REPLY_TYPES <= received or not EXPERTS <= experts:
        fail("frames lack request types %s, reply types %s, expert infos %s" % (
            sorted(REQUEST_TYPES - sent), sorted(REPLY_TYPES - received), sorted(EXPERTS - experts)))


def check_fields(tshark, frames, pcap):
    names = sorted({k for _, _, e in frames for k in e} | {"brix.direction"})
    out = tshark.run(pcap, "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,",
                     *[a for n in names for a in ("-e", n)])
    rows = out.rstrip("\n").split("\n")
    if len(rows) != len(frames):
        fail("tshark printed %d rows for %d frames" % (len(rows), len(frames)))
    for n, ((direction, payload, expected), row) in enumerate(zip(frames, rows), 1):
        got = dict(zip(names, row.split("\t")))
        if direction != "other":
            expected = dict(expected, **{"brix.direction": "0" if direction == "request" else "1"})
        for name, value in expected.items():
            if got.get(name, "") != value:
                fail("frame %d (%s %s...): %s is %r, expected %r" % (
                    n, direction, payload[:16].hex(), name, got.get(name, ""), value))


def check_tree(tshark, frames, pcap):
    """The full tree of every frame is built and formatted without a fault."""
    out = tshark.run(pcap, "-V", "-O", "brix")
    count = sum(1 for line in out.splitlines() if line.startswith("Brix Tool modem link"))
    nonempty = sum(1 for frame in frames if frame[1])
    if count != nonempty:
        fail("%d of %d datagrams read as the modem link" % (count, nonempty))


def check_garbage(tshark, frames, work):
    """Random datagrams and every cut of the real ones."""
    rng = random.Random(20240610)
    datagrams = []
    for direction, payload, _ in frames:
        for n in range(min(len(payload), 64)):
            datagrams.append((direction, payload[:n]))
    header = bytes.fromhex("ffffffffffff7977")
    for _ in range(3000):
        size = rng.choice((rng.randrange(0, 24), rng.randrange(0, 64), rng.randrange(0, 1700)))
        body = bytes(rng.randrange(256) for _ in range(size))
        if rng.random() < 0.7 and size >= 10:
            # Mostly frames the tool would accept, so every body handler sees garbage.
            body = header + struct.pack("<h", rng.randrange(-2, 21)) + body[10:]
            if rng.random() < 0.3 and size > 14:
                body = body[:12] + struct.pack("<H", rng.choice((3, 6, 7, 9, 40))) + body[14:]
        datagrams.append((rng.choice(("request", "reply", "other")), body))
    pcap = os.path.join(work, "garbage.pcap")
    write_pcap(pcap, datagrams)
    check_tree(tshark, datagrams, pcap)


CAPTURE_SCRIPT = r"""
out=$1 modem=$2 brixctl=$3
dumpcap -q -i lo -f udp -w "$out" 2> "$out.log" & capture=$!
for i in $(seq 200); do [ -s "$out" ] && break; sleep 0.05; done
"$modem" --seed 7 > /dev/null & modem_pid=$!
sleep 0.3
"$brixctl" status > /dev/null && "$brixctl" table get > /dev/null &&
  "$brixctl" scanner get > /dev/null
rc=$?
sleep 0.3
kill $modem_pid; kill -INT $capture; wait $capture
exit $rc
"""
SNAP = 60  # Ethernet, IP and UDP take 42 of them: 18 bytes of each datagram are kept


def check_cut_capture(tshark, args):
    """A real capture (dumpcap on loopback while brixctl asks the simulated modem) and a copy of it
    cut to a snap length: the cut frames are marked as cut, and they show no warning and no value
    that the whole capture does not show too."""
    real = os.path.join(args.work, "real.pcapng")
    cut = os.path.join(args.work, "cut.pcapng")
    p = subprocess.run([args.netns_run, "bash", "-c", CAPTURE_SCRIPT, "capture", real,
                        args.modem_sim, args.brixctl], capture_output=True, text=True, timeout=60)
    if p.returncode != 0 or not os.path.exists(real):
        log = real + ".log"
        fail("no capture (exit %d): %s %s" % (p.returncode, p.stderr,
                                             open(log).read() if os.path.exists(log) else ""))
    subprocess.run([args.editcap, "-s", str(SNAP), real, cut], check=True, capture_output=True)

    listed = subprocess.run([args.tshark, "-G", "fields", "-X", "lua_script:" + args.dissector],
                            capture_output=True, text=True, env=dict(os.environ, HOME=tshark.home,
                                                                    XDG_CONFIG_HOME=tshark.home))
    types = {}
    for line in listed.stdout.splitlines():
        parts = line.split("\t")
        if len(parts) > 3 and parts[0] == "F" and parts[2].startswith("brix."):
            types[parts[2]] = parts[3]
    names = sorted(types)
    columns = ["frame.len", "brix.type", *names]

    def rows(pcap):
        out = tshark.run(pcap, "-Y", "brix", "-T", "fields", "-E", "occurrence=a",
                         "-E", "aggregator=,", *[a for n in columns for a in ("-e", n)])
        return [dict(zip(columns, row.split("\t"))) for row in out.rstrip("\n").split("\n")]

    whole, cut_rows = rows(real), rows(cut)
    if len(whole) != len(cut_rows) or len(whole) < 10:
        fail("%d frames in the capture, %d in its cut copy" % (len(whole), len(cut_rows)))
    cut_types = set()
    for n, (w, c) in enumerate(zip(whole, cut_rows), 1):
        was_cut = int(w["frame.len"]) > SNAP
        if bool(c["brix.cut"]) != was_cut or w["brix.cut"]:
            fail("frame %d of %s bytes: brix.cut is %r in the cut copy, %r in the whole capture" % (
                n, w["frame.len"], c["brix.cut"], w["brix.cut"]))
        if was_cut:
            cut_types.add(int(c["brix.type"]))
        for name in names:
            if name == "brix.cut" or not c[name]:
                continue
            # What is shown is what the whole frame shows: the same values, or the first of them
            # (the channels of a cut table); of a byte field, its captured start.
            same = c[name] == w[name] or w[name].startswith(c[name] + ",")
            if types[name] == "FT_BYTES":
                same = w[name].startswith(c[name])
            if not same:
                fail("frame %d cut to %d bytes shows %s = %r, the whole frame %r" % (
                    n, SNAP, name, c[name], w[name]))
    # Cut were: the RF report, the statistics report, the version texts and the channel table.
    if not {0, 3, 7, 15, 16} <= cut_types:
        fail("the cut frames are of the types %s only" % sorted(cut_types))


def check_install(tshark, args):
    """An install with the prefix /usr puts the file in Wireshark's global Lua plugin folder."""
    root = os.path.join(args.work, "root")
    subprocess.run([args.cmake, "--install", args.install_dir, "--prefix", root + "/usr"],
                   check=True, capture_output=True)
    folders = subprocess.run([args.tshark, "-G", "folders"], capture_output=True, text=True,
                             env=dict(os.environ, HOME=tshark.home, XDG_CONFIG_HOME=tshark.home))
    plugins = [line.split("\t")[-1] for line in folders.stdout.splitlines()
               if line.startswith("Global Lua Plugins")]
    if not plugins or not os.path.isfile(root + plugins[0] + "/brix.lua"):
        fail("no brix.lua in %s under the /usr install; it holds %s" % (
            plugins, [os.path.join(d, n) for d, _, names in os.walk(root) for n in names]))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--tshark", "--frames", "--dissector", "--work", "--cmake", "--install-dir",
                   "--editcap", "--netns-run", "--modem-sim", "--brixctl"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    tshark = Tshark(args)

    frames = read_frames(args.frames)
    check_coverage(frames)
    pcap = os.path.join(args.work, "frames.pcap")
    write_pcap(pcap, [(d, p) for d, p, _ in frames])
    check_fields(tshark, frames, pcap)
    check_tree(tshark, frames, pcap)
    check_garbage(tshark, frames, args.work)
    check_cut_capture(tshark, args)
    check_install(tshark, args)
    print("%d frames read as put in; random and cut datagrams read without a fault" % len(frames))


if __name__ == "__main__":
    main()
