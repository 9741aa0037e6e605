#!/usr/bin/env python3
"""The Network Monitor methods as a user meets them: pakrill.exe under Wine
with a stand-in driver DLL beside it, the method chosen in the settings, a
capture started, and the rows read back through the clipboard. Also the
first start without a configuration file, which must choose a method that
captures on this system."""
import os, shutil, socket, struct, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_support import (WINE, check, cleanup, copied, failures, key, main_window as window,  # noqa: E402
                          need_tools, rows_of as table, screenshot, start, start_display, xdo)

exe, standins = sys.argv[1], sys.argv[2]
need_tools(WINE, "Xvfb", "xdotool", "xclip")

xvfb, env = start_display(140, 50)

def close(win):
    # Alt+F4 closes through the window (the settings are written then);
    # destroying the X window would not.
    key(win, "alt+F4")

def rows(win):
    return table(copied(win, "ctrl+a", "ctrl+c", activate=True))

def ipv4(proto, src, dst, l4):
    total = 20 + len(l4)
    head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, 1, 0, 64, proto, 0,
                       bytes(map(int, src.split("."))), bytes(map(int, dst.split("."))))
    return head + l4

def tcp(src, dst, sport, dport, seq, payload):
    return ipv4(6, src, dst, struct.pack("!HHIIBBHHH", sport, dport, seq, 1, 0x50, 0x18, 65535, 0, 0) + payload)

def udp(src, dst, sport, dport, payload):
    return ipv4(17, src, dst, struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload)

def tcp6(src, dst, sport, dport, seq, payload):
    l4 = struct.pack("!HHIIBBHHH", sport, dport, seq, 1, 0x50, 0x18, 65535, 0, 0) + payload
    return (struct.pack("!IHBB", 0x60000000, len(l4), 6, 64) + socket.inet_pton(socket.AF_INET6, src) +
            socket.inet_pton(socket.AF_INET6, dst) + l4)

def ethernet(ip):
    return bytes.fromhex("d0d1d2d3d4d5" "505152535455") + (b"\x86\xdd" if ip[:1] == b"\x60" else b"\x08\x00") + ip

def monitor(ip):
    f = bytearray(64)
    f[0], f[1], f[32] = 0x02, 0x20, 0x08
    f[56:64] = bytes.fromhex("aaaa030000000800")
    return bytes(f) + ip

def script(path, frames):
    with open(path, "wb") as f:
        for fr in frames:
            f.write(struct.pack("<I", len(fr)) + fr)

def capture(work, config, frames_env, frames, expect, dialog=False):
    with open(os.path.join(work, "pakrill.cfg"), "w", newline="") as f:
        f.write("[General]\r\nResolveIPAddr=0\r\n" + config)
    path = os.path.join(work, "frames.bin")
    script(path, frames)
    proc = start(work, ["/StartCapture"], {frames_env: path})
    try:
        win = window()
        if dialog:
            # No stored adapter: Capture Options opens on the method, listing the
            # stand-in's adapters with one selected; OK starts the capture.
            deadline = time.time() + 30
            found = []
            while not found and time.time() < deadline:
                found = xdo("search", "--name", "^Capture Options$").split()
                time.sleep(0.3)
            check(bool(found), "%s: Capture Options opens" % config.split()[0])
            if not found:
                screenshot("/tmp/i13_nodialog.png", "900x600+0+0")
            if found:
                time.sleep(1)
                screenshot(os.path.join(standins, "capture_options_netmon3.png"), "900x600+0+0")
                key(found[0], "Return")
        time.sleep(4)
        key(win, "F6")
        time.sleep(1)
        got = rows(win)
        for proto, port, packets in expect:
            hit = [r for r in got if len(r) > 7 and r[1] == proto and str(port) in (r[4], r[5])]
            check(len(hit) == 1 and hit[0][6] == str(packets),
                  "%s: %s port %d with %d packets (rows %s)" % (config.split()[0], proto, port, packets,
                                                             [r[:7] for r in got]))
        check(len(got) == len(expect), "%s: %d rows" % (config.split()[0], len(expect)))
        close(win)
        check(proc.wait(20) == 0, "%s: the program ends" % config.split()[0])
    finally:
        if proc.poll() is None:
            proc.kill()

work = tempfile.mkdtemp(prefix="pakrill-methods-")
try:
    shutil.copy(exe, work)
    a, b, c = "10.9.0.1", "10.9.0.2", "10.9.0.3"
    web = [tcp(a, b, 1234, 80, 1, b"GET / HTTP/1.0\r\n\r\n"), tcp(b, a, 80, 1234, 1, b"x" * 3000),
           tcp(b, a, 80, 1234, 3001, b"y" * 9000)]
    dns = [udp(a, c, 5353, 53, b"q" * 30)]
    web6 = [tcp6("2001:db8::1", "2001:db8::2", 1235, 8080, 1, b"GET / HTTP/1.0\r\n\r\n"),
            tcp6("2001:db8::2", "2001:db8::1", 8080, 1235, 1, b"z" * 500)]

    # Network Monitor 3: Ethernet (IPv4 and IPv6) and monitor-mode 802.11
    # frames, runts and ARP besides.
    shutil.copy(os.path.join(standins, "NmApi.dll"), work)
    frames = ([ethernet(p) for p in web + web6] + [monitor(p) for p in dns] +
              [b"\0" * 9, ethernet(b"")[:12] + b"\x08\x06" + b"\0" * 28])
    expect = [("TCP", 80, 3), ("UDP", 53, 1), ("TCP", 8080, 2)]
    capture(work, "CaptureMethod=4\r\nNetMon3AdapterName={5A4E0000-0000-0000-0000-000000000000}\r\n",
            "PAKRILL_NMAPI_FRAMES", frames, expect)
    # The same chosen by a new user in Capture Options; without Capture IPv6
    # packets the IPv6 frames are not taken.
    capture(work, "CaptureMethod=4\r\nCaptureIPv6=0\r\n", "PAKRILL_NMAPI_FRAMES", frames, expect[:2], dialog=True)
    os.remove(os.path.join(work, "NmApi.dll"))

    # Network Monitor driver: Ethernet frames only.
    shutil.copy(os.path.join(standins, "npptools.dll"), work)
    capture(work, "CaptureMethod=3\r\nNetMonAdapterName=02-00-5E-10-00-01\r\n",
            "PAKRILL_NPP_FRAMES", [ethernet(p) for p in web + dns + web6], expect)
    os.remove(os.path.join(work, "npptools.dll"))

    # A first start: no configuration file. Raw sockets (the default) cannot
    # capture under Wine, so the packet capture driver is taken when present,
    # and the choice is what the settings keep.
    os.remove(os.path.join(work, "pakrill.cfg"))
    proc = start(work, [])
    try:
        win = window()
        time.sleep(2)
        close(win)
        proc.wait(20)
    finally:
        if proc.poll() is None:
            proc.kill()
    cfg = open(os.path.join(work, "pakrill.cfg"), encoding="latin-1").read()
    check("CaptureMethod=2" in cfg, "the first start took the packet capture driver")

    # A Network Monitor capture file in a report: through NmApi when it lies
    # beside the program, through our own reader when it does not; same rows.
    frames = [ethernet(p) for p in web + dns]
    cap = bytearray(128)
    cap[0:6] = b"GMBU\x00\x02"
    cap[6:8] = struct.pack("<H", 1)
    cap[8:24] = struct.pack("<8H", 2024, 5, 3, 15, 10, 30, 0, 0)
    table = []
    for i, fr in enumerate(frames):
        table.append(len(cap))
        cap += struct.pack("<QII", i * 1000, len(fr), len(fr)) + fr
    cap[24:32] = struct.pack("<II", len(cap), 4 * len(table))
    cap += struct.pack("<%dI" % len(table), *table)
    with open(os.path.join(work, "t.cap"), "wb") as f:
        f.write(cap)
    reports = []
    for with_nmapi in (True, False):
        if with_nmapi:
            shutil.copy(os.path.join(standins, "NmApi.dll"), work)
        elif os.path.exists(os.path.join(work, "NmApi.dll")):
            os.remove(os.path.join(work, "NmApi.dll"))
        out = os.path.join(work, "out.txt")
        subprocess.run([WINE, os.path.join(work, "pakrill.exe"), "/stab", "out.txt", "t.cap"], cwd=work, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        reports.append(open(out, encoding="latin-1").read() if os.path.exists(out) else "")
    rows_of = lambda text: [l.split("\t")[1:8] for l in text.splitlines() if l.strip()]
    check(len(rows_of(reports[1])) == 2, "report of a .cap file without NmApi: %s" % rows_of(reports[1]))
    check(rows_of(reports[0]) == rows_of(reports[1]), "the same rows through NmApi: %s" % rows_of(reports[0]))
finally:
    cleanup(xvfb, work, kill_wine=False)

if failures:
    print("%d failed" % len(failures))
    sys.exit(1)
print("all passed")
