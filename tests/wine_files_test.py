#!/usr/bin/env python3
"""The window's file commands under Wine, as a user drives them with the
keyboard: Load Packets Data From File on a pcap, the rows it shows (read
through the clipboard) against the native report of the same file, then Save
Packets Data To File as pcapng, read back by tcpdump."""
import os
import shutil
import subprocess
import sys
import socket
import struct
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from convert_test import eth, ip_packet, pcap  # noqa: E402
from wine_support import SKIP, WINE, cleanup, copied, key, need_tools, start, start_display, wait_window, xdo  # noqa: E402

exe, native = sys.argv[1], sys.argv[2]
need_tools(WINE, "Xvfb", "xdotool", "xclip", "tcpdump")
if not os.path.exists(native):
    print("skipped: no native build to compare with")
    sys.exit(SKIP)

work = tempfile.mkdtemp(prefix="pakrill-files-")
xvfb, _ = start_display(190, 40)


def window(name, seconds=60):
    ids = wait_window(name, seconds)
    if not ids:
        raise SystemExit("FAIL: no window %r" % name)
    return ids[0]


def keys(win, *ks):
    key(win, *ks, pause=0.4)


def file_command(main, downs, title, path):
    """File menu, the item `downs` below the first, then the dialog's name box."""
    keys(main, "alt+f", *(["Down"] * downs), "Return")
    dlg = window(title, 20)
    time.sleep(1)
    xdo("windowactivate", "--sync", dlg)
    xdo("key", "ctrl+a")
    xdo("type", "--delay", "20", path)
    time.sleep(0.3)
    xdo("key", "Return")
    time.sleep(0.5)


def rows(main):
    out = copied(main, "ctrl+a", "ctrl+c", activate=True, pause=0.4, settle=0.5)
    # Wine hands CF_TEXT to X with LF line ends.
    return [r.rstrip() for r in out.split("\n") if r.strip()]


def city_database(networks):
    """A legacy city database: a bit tree over 3-byte records, then the
    city records, then the node count."""
    nodes, records = [[None, None]], b"\0"  # offset 0 would read as "not found"
    for net, (country, region, city, postal) in networks.items():
        a = struct.unpack("!I", socket.inet_aton(net))[0]
        node = 0
        for i in range(24):
            bit = (a >> (31 - i)) & 1
            if i == 23:
                nodes[node][bit] = ("leaf", len(records))
                break
            if nodes[node][bit] is None:
                nodes.append([None, None])
                nodes[node][bit] = len(nodes) - 1
            node = nodes[node][bit]
        records += bytes([country]) + b"\0".join(x.encode() for x in (region, city, postal)) + b"\0" + b"\x11" * 6
    segments = len(nodes)
    def value(c):
        return segments if c is None else segments + c[1] if isinstance(c, tuple) else c
    out = b"".join(struct.pack("<I", value(c))[:3] for n in nodes for c in n)
    return out + records + struct.pack("<I", segments)[:3]


proc = None
try:
    shutil.copy(exe, work)
    open(os.path.join(work, "pakrill.cfg"), "w").write("[General]\r\nResolveIPAddr=0\r\n")
    frames = [eth(ip_packet(6, "10.0.0.1", "10.0.0.2", 47123, 47124, b"GET / HTTP/1.0\r\n\r\n")),
              eth(ip_packet(6, "10.0.0.2", "10.0.0.1", 47124, 47123, b"HTTP/1.0 200 OK\r\n\r\n")),
              eth(ip_packet(17, "10.0.0.1", "10.0.0.3", 47125, 47126, b"x" * 33)),
              eth(ip_packet(17, "8.8.8.8", "1.2.3.4", 53, 47127, b"y" * 20))]
    # A city database next to the program; the native one is told where it is.
    db = os.path.join(work, "GeoLiteCity.dat")
    open(db, "wb").write(city_database({"8.8.8.0": (225, "CA", "Mountain View", "94043"),
                                        "1.2.3.0": (16, "02", "Sydney", "")}))
    cap = os.path.join(work, "in.pcap")
    open(cap, "wb").write(pcap(frames))
    subprocess.run([native, "/countrydb", db, "/stab", os.path.join(work, "native.txt"), cap, "/noloadsettings"],
                   check=True)
    expected = [r.rstrip() for r in open(os.path.join(work, "native.txt"), encoding="latin-1", newline="").read().split("\r\n")
                if r]

    proc = start(work, ["/nocapdriver"])
    main = window("^Pakrill$")
    time.sleep(3)
    # File: Start, Stop, Restart, Capture is Active, Save Configuration,
    # Load Configuration, Save Packets, Load Packets.
    file_command(main, 7, "Select a filename to load packets data", "Z:" + cap.replace("/", "\\"))
    time.sleep(3)
    got = rows(main)
    if got != expected:
        raise SystemExit("FAIL: the loaded pcap shows\n%r\ninstead of\n%r" % (got, expected))
    if not any("United States, Mountain View, California, 94043" in r and "Australia, Sydney" in r for r in got):
        raise SystemExit("FAIL: no countries and cities from GeoLiteCity.dat in\n%r" % got)

    saved = os.path.join(work, "saved.pcapng")
    file_command(main, 6, "Select filename to save the current packets data", "Z:" + saved.replace("/", "\\"))
    time.sleep(2)
    if not os.path.exists(saved):
        raise SystemExit("FAIL: Save Packets Data To File wrote no pcapng")
    a = subprocess.run(["tcpdump", "-nn", "-tt", "-r", cap], capture_output=True, text=True).stdout
    b = subprocess.run(["tcpdump", "-nn", "-tt", "-r", saved], capture_output=True, text=True).stdout
    if a != b:
        raise SystemExit("FAIL: tcpdump reads the saved pcapng differently:\n%s\n%s" % (b, a))
    print("ok")
finally:
    if proc:
        proc.kill()
        proc.wait(10)
    cleanup(xvfb, work, kill_wine=False)
