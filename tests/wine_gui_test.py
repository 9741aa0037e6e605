#!/usr/bin/env python3
"""Drives the real pakrill.exe under Wine on a virtual display: captures
loopback traffic this test makes, then reads the rows back through the
clipboard (Ctrl+A, Ctrl+C) and checks them against what was sent.
Needs root (the capture library opens the loopback device)."""
import os, socket, struct, subprocess, sys, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_support import (adapter_name, check, cleanup, copied, failures, key, live_test,  # noqa: E402
                          main_window as window, quit_program, rows_of, screenshot, start,
                          start_display, wait_window, wine_temp_files, xdo)

exe, artefacts = sys.argv[1], sys.argv[2]
work = live_test("pakrill-gui-", artefacts, exe)
lo = adapter_name()
BASE = 46000 + (os.getpid() % 400) * 11

def write_config(extra="", adapter=lo):
    with open(os.path.join(work, "pakrill.cfg"), "w", newline="") as f:
        f.write("[General]\r\nCaptureMethod=2\r\nPCapAdapterName=%s\r\nResolveIPAddr=0\r\n%s" % (adapter, extra))

def hexify(text):
    return " ".join("%02X" % b for b in text.encode() + b"\0")

xvfb, env = start_display(90, 50)

def wait_gone(name, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if not xdo("search", "--name", name).strip():
            return True
        time.sleep(0.3)
    return False

def clipboard_rows(win):
    xdo("windowactivate", "--sync", win)
    return rows_of(copied(win, "ctrl+a", "ctrl+c"))

def status_shot(name):
    screenshot(os.path.join(artefacts, name), "1000x600+0+0")

def udp(port, count, size):
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", port))
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for _ in range(count):
        tx.sendto(b"u" * size, ("127.0.0.1", port))
        time.sleep(0.01)
    rx.close()

def client_hello(name):
    sni = name.encode()
    ext = struct.pack(">HHHBH", 0, len(sni) + 5, len(sni) + 3, 0, len(sni)) + sni
    body = b"\x03\x03" + bytes(32) + b"\x00" + b"\x00\x02\x13\x01" + b"\x01\x00" + struct.pack(">H", len(ext)) + ext
    hs = b"\x01" + struct.pack(">I", len(body))[1:] + body
    return b"\x16\x03\x01" + struct.pack(">H", len(hs)) + hs

def tcp(port, up, down, host="127.0.0.1", first=b""):
    srv = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((host, port))
    srv.listen(1)
    def serve():
        c, _ = srv.accept()
        got = 0
        while got < up:
            got += len(c.recv(65536))
        c.sendall(b"r" * down)
        c.close()
    t = threading.Thread(target=serve)
    t.start()
    cl = socket.create_connection((host, port), timeout=5)
    cl.sendall(first + b"q" * (up - len(first)))
    got = 0
    while got < down:
        d = cl.recv(65536)
        if not d:
            break
        got += len(d)
    cl.close()
    t.join(5)
    srv.close()

def icmp_echo(count):
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    for seq in range(count):
        payload = b"p" * 32
        hdr = struct.pack("!BBHHH", 8, 0, 0, 0x4242, seq)
        csum = 0
        data = hdr + payload
        for i in range(0, len(data), 2):
            csum += (data[i] << 8) + data[i + 1]
        csum = (csum >> 16) + (csum & 0xFFFF)
        csum = ~(csum + (csum >> 16)) & 0xFFFF
        s.sendto(struct.pack("!BBHHH", 8, 0, csum, 0x4242, seq) + payload, ("127.0.0.1", 0))
        time.sleep(0.01)
    s.close()

def file_header():
    """The header payload of the running program's packet file."""
    files = sorted(wine_temp_files(), key=os.path.getmtime)
    head = open(files[-1], "rb").read(10 + 255) if files else b""
    return head[8:10 + struct.unpack("<H", head[8:10])[0]] if len(head) >= 10 else b""

def find(rows, proto, port=None):
    hits = [r for r in rows if r[1] == proto and (port is None or str(port) in (r[4], r[5]))]
    return hits

def run(args, extra_config=""):
    write_config(extra_config)
    return start(work, args)

def quit(proc, win):
    quit_program(proc, win, "F6", close_window=True)

try:
    A = BASE
    # 0. The lower pane shows the selected conversation in each display mode.
    proc = run(["/StartCapture"])
    win = window()
    time.sleep(4)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", A + 8))
    srv.listen(1)
    def web():
        c, _ = srv.accept()
        c.recv(1000)
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")
        c.recv(1000)
        c.close()
    th = threading.Thread(target=web)
    th.start()
    cl = socket.create_connection(("127.0.0.1", A + 8), timeout=5)
    cl.sendall(b"GET /index.html HTTP/1.1\r\nHost: pakrill.test\r\n\r\n")
    cl.recv(1000)
    cl.sendall(b"{\\rtf1 not rich}")  # a block the pane must not read as rich text
    time.sleep(0.3)
    cl.close()
    th.join(5)
    srv.close()
    time.sleep(1.5)
    key(win, "F6", "F8")  # stop, select the first row
    time.sleep(1)
    geo = xdo("getwindowgeometry", "--shell", win)
    size = dict(l.split("=") for l in geo.split() if "=" in l)
    def pane_text(mode_key):
        key(win, mode_key)
        # A click in the lower pane gives it the focus; Ctrl+C copies all of it.
        xdo("mousemove", "--window", win, "100", str(int(int(size["HEIGHT"]) * 0.8)), "click", "1")
        time.sleep(0.5)
        text = copied(win, "ctrl+c")
        xdo("mousemove", "--window", win, "100", "60", "click", "1")  # back to the list
        return text
    ascii_text = pane_text("F3")
    status_shot("pane_ascii.png")
    check("GET /index.html HTTP/1.1" in ascii_text and "hello" in ascii_text, "Ascii mode shows request and response")
    check("{\\rtf1 not rich}" in ascii_text, "Ascii mode shows a block that looks like rich text as it is")
    hex_text = pane_text("F4")
    status_shot("pane_hex.png")
    check("00000000  47 45 54 20 2F 69 6E 64" in hex_text, "Hex Dump mode")
    url_text = pane_text("ctrl+F4")
    check("http://pakrill.test/index.html" in url_text and "GET" not in url_text, "URL List mode")
    auto_text = pane_text("F2")
    check("GET /index.html" in auto_text, "Automatic mode picks Ascii for text")

    # Find in the lower pane, ignoring case: the hit is selected, and after
    # the dialog closes the pane has the focus, so Ctrl+C copies the hit.
    key(win, "F3")
    xdo("mousemove", "--window", win, "100", str(int(int(size["HEIGHT"]) * 0.8)), "click", "1")
    time.sleep(0.5)
    xdo("key", "--window", win, "ctrl+f")
    found = wait_window("^Find$", 15)
    check(bool(found), "Ctrl+F opens the Find dialog")
    if found:
        # Wine takes keys sent to its window; typed capitals arrive as small letters.
        time.sleep(1)  # until the dialog has its focus
        xdo("type", "--window", found[0], "--delay", "50", "content-length")
        time.sleep(0.5)
        # Keys typed there are the dialog's, not the list's shortcuts (Copy).
        typed = copied(found[0], "shift+Home", "ctrl+c")
        check(typed == "content-length", "Ctrl+C in the Find dialog copies its text (got %r)" % typed[:40])
        # Find Next is the default button. Cancel by mouse, at its centre
        # whatever the dialog's size; Wine may take a first click only to
        # activate the dialog, so click until it is gone (at most three times).
        xdo("key", "--window", found[0], "Return")
        time.sleep(1.5)
        g = dict(l.split("=") for l in xdo("getwindowgeometry", "--shell", found[0]).split() if "=" in l)
        # A second click must never land on the list behind a dialog that
        # was only slow to close, so each click waits for that first.
        for _ in range(3):
            xdo("mousemove", "--window", found[0], str(int(g["WIDTH"]) - 60), str(int(int(g["HEIGHT"]) * 0.48)))
            time.sleep(0.3)
            xdo("click", "1")
            if wait_gone("^Find$", 8):
                break
        check(not xdo("search", "--name", "^Find$").strip(), "Cancel closes the Find dialog")
        status_shot("pane_find.png")
        hit = copied(win, "ctrl+c")
        check(hit == "Content-Length", "Find selects the hit in the lower pane (got %r)" % hit[:40])
    quit(proc, win)

    # 1. A capture with the capture filter dropping one UDP port.
    proc = run(["/StartCapture"], "CaptureFilter=%s\r\n" % hexify("exclude:both:udp:%d" % (A + 9)))
    win = window()
    time.sleep(4)  # the capture starts after the window
    tcp(A, 500, 1200)
    tcp(A + 10, 300, 600, "::1", client_hello("six.example"))
    udp(A + 1, 3, 100)
    udp(A + 9, 2, 50)  # dropped by the capture filter
    icmp_echo(2)
    # Suspended: nothing is counted. Frames are judged when the program reads
    # them, so each phase waits until they have been read.
    time.sleep(1.5)
    key(win, "F11")
    udp(A + 2, 2, 70)
    time.sleep(1.5)
    key(win, "F11")
    udp(A + 3, 1, 30)
    time.sleep(1.5)
    status_shot("capture.png")
    key(win, "F6")
    time.sleep(1)
    rows = clipboard_rows(win)
    print("\n".join("\t".join(r[:12]) for r in rows))
    t = find(rows, "TCP", A)
    check(len(t) == 1 and t[0][11] == "1,700 Bytes", "TCP row with 1,700 data bytes")
    check(len(t) == 1 and t[0][2] == "127.0.0.1" and t[0][3] == "127.0.0.1", "TCP addresses")
    t = find(rows, "TCP", A + 10)
    check(len(t) == 1 and t[0][2] == "::1" and t[0][3] == "::1" and t[0][11] == "900 Bytes",
          "TCP row over [::1] with 900 data bytes")
    check(len(t) == 1 and t[0][15] == "six.example", "the [::1] server named by its TLS hello (%r)" % t[:1])
    u = find(rows, "UDP", A + 1)
    check(len(u) == 1 and u[0][6] == "3" and u[0][11] == "300 Bytes", "UDP row: 3 packets, 300 bytes")
    i = find(rows, "ICMP")
    check(len(i) == 1 and i[0][6] == "4" and i[0][4] == "" and i[0][11] == "128 Bytes",
          "ICMP row: 2 requests and 2 replies")
    check(not find(rows, "UDP", A + 9), "capture filter dropped its port")
    check(not find(rows, "UDP", A + 2), "nothing counted while suspended")
    check(len(find(rows, "UDP", A + 3)) == 1, "counting again after resume")
    check(all(len(r) == 21 and r[-1] == "" for r in rows), "20 tab-terminated columns per row")
    check(file_header() == struct.pack("<H", 20) + bytes([127, 0, 0, 1]) + bytes(15) + b"\1",
          "the packet file keeps the adapter's 127.0.0.1 and ::1 (%r)" % file_header())

    # 2. Start again, then restart while capturing: the table starts again.
    key(win, "F5")
    time.sleep(3)
    udp(A + 7, 2, 40)
    time.sleep(1.5)
    key(win, "ctrl+r")
    time.sleep(3)
    udp(A + 4, 2, 40)
    time.sleep(1.5)
    key(win, "F6")
    time.sleep(1)
    rows = clipboard_rows(win)
    check(len(rows) == 1 and find(rows, "UDP", A + 4), "restart cleared the table")
    quit(proc, win)

    # 3. The display filter hides rows, and a screenshot of live rows; IPv6
    # is not captured when the option is off.
    proc = run(["/StartCapture"], "DisplayFilter=%s\r\nCaptureIPv6=0\r\n" % hexify("exclude:both:icmp"))
    win = window()
    time.sleep(4)
    tcp(A + 5, 100, 200)
    tcp(A + 10, 100, 200, "::1")
    icmp_echo(1)
    udp(A + 6, 2, 10)
    time.sleep(1.5)
    status_shot("main_window.png")
    key(win, "F6")
    time.sleep(1)
    rows = clipboard_rows(win)
    check(not find(rows, "ICMP") and find(rows, "TCP", A + 5) and find(rows, "UDP", A + 6),
          "display filter hides ICMP rows only")
    check(not find(rows, "TCP", A + 10) and file_header() == struct.pack("<H", 4) + bytes([127, 0, 0, 1]),
          "without Capture IPv6 packets: no IPv6 row, the file header as before (%r)" % file_header())
    quit(proc, win)

    # 4. Without the capture library the stored adapter cannot be found:
    # Capture Options opens; Cancel starts nothing and nothing crashes.
    proc = run(["/nocapdriver", "/StartCapture"])
    win = window()
    dialog = wait_window("^Capture Options$", 30)
    check(bool(dialog), "Capture Options opens when the adapter is missing")
    if dialog:
        status_shot("capture_options.png")
        xdo("windowactivate", "--sync", dialog[0])
        xdo("key", "--window", dialog[0], "Escape")
        time.sleep(1.5)
    check(proc.poll() is None, "still running after Cancel")
    quit(proc, win)

    # 5. The adapter goes away during a capture: the capture ends by itself,
    # so Start is offered again (and finds no adapter: Capture Options).
    veth = "pkv%d" % (os.getpid() % 1000)
    if subprocess.call(["ip", "link", "add", veth, "type", "veth", "peer", "name", veth + "p"],
                       stderr=subprocess.DEVNULL) == 0:
        subprocess.call(["ip", "link", "set", veth, "up"])
        subprocess.call(["ip", "link", "set", veth + "p", "up"])
        write_config(adapter=adapter_name(veth))
        proc = start(work, ["/StartCapture"])
        win = window()
        time.sleep(4)
        time.sleep(2)
        subprocess.call(["ip", "link", "del", veth])
        time.sleep(5)
        status_shot("adapter_gone.png")
        key(win, "F5")
        deadline, dialog = time.time() + 20, []
        while time.time() < deadline and not dialog:
            dialog = xdo("search", "--name", "^Capture Options$").split()
            time.sleep(0.5)
        check(bool(dialog), "a vanished adapter ends the capture")
        if dialog:
            xdo("windowactivate", "--sync", dialog[0])
            xdo("key", "--window", dialog[0], "Escape")
            time.sleep(1)
        quit(proc, win)
    else:
        print("skipped: no veth pair here")
finally:
    cleanup(xvfb, work)

print("screenshots in", artefacts)
sys.exit(1 if failures else 0)
