#!/usr/bin/env python3
"""Drives pakrill.exe under Wine on a virtual display through the list tools:
header clicks sort the rows (Shift adds a key), Move Next/Previous, the
Properties and Column Settings dialogs (a hidden and a moved column stay so
after a restart), the lower pane's right-click menu and Tab, and the hand-off
of addresses to the IP-information tool's stand-in.
Arguments: pakrill.exe, the stand-in Quorvex.exe, a folder for screenshots.
Needs root (the capture library opens the loopback device)."""
import os, shutil, socket, sys, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_support import (adapter_name, check, cleanup, copied, failures, key, live_test,  # noqa: E402
                          main_window, quit_program, rows_of, screenshot, start, start_display,
                          wait_window, xdo)

exe, standin, artefacts = sys.argv[1], sys.argv[2], sys.argv[3]
work = live_test("pakrill-tools-", artefacts, exe)
lo = adapter_name()
BASE = 47000 + (os.getpid() % 400) * 10

xvfb, _ = start_display(140, 50)

def geometry(win):
    return dict(l.split("=") for l in xdo("getwindowgeometry", "--shell", win).split() if "=" in l)

def shot(name):
    screenshot(os.path.join(artefacts, name))

def click(win, x, y, button="1", shift=False):
    xdo("windowactivate", "--sync", win)
    xdo("mousemove", "--window", win, str(x), str(y))
    time.sleep(0.3)
    if shift:
        xdo("keydown", "shift")
    xdo("click", button)
    if shift:
        xdo("keyup", "shift")
    time.sleep(1)

def udp(src, dst, port, count, sport=0):
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind((dst, port))
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.bind((src, sport))
    for _ in range(count):
        tx.sendto(b"u" * 40, (dst, port))
        time.sleep(0.01)
    tx.close()
    rx.close()

def write_config(extra=""):
    with open(os.path.join(work, "pakrill.cfg"), "w", newline="") as f:
        f.write("[General]\r\nCaptureMethod=2\r\nPCapAdapterName=%s\r\nResolveIPAddr=0\r\n"
                "AddExportHeaderLine=1\r\n%s" % (lo, extra))

def quit(proc, win):
    quit_program(proc, win, "alt+f", "x")  # File > Exit: the settings are written

# The list's header, in window coordinates: below the menu and the toolbar
# (without a window manager the window has no caption).
HEADER_Y = 57
def column_x(index):  # the middle of the column at this display position, default widths
    widths = [60, 60, 100, 100, 80, 80, 60, 100]
    return 4 + sum(widths[:index]) + widths[index] // 2

def wait_file(name, seconds):
    path = os.path.join(work, name)
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(path):
            time.sleep(0.5)
            return open(path, "rb").read().decode("latin-1")
        time.sleep(0.3)
    return None

try:
    A = BASE
    write_config()
    shutil.copy(standin, os.path.join(work, "Quorvex.exe"))  # looked for when the window is made
    proc = start(work, ["/StartCapture"])
    win = main_window()
    time.sleep(4)
    # Four conversations with 3, 1, 2 and 4 packets, each its own addresses.
    plan = [("127.0.0.11", "127.0.0.21", 3), ("127.0.0.12", "127.0.0.22", 1),
            ("127.0.0.13", "127.0.0.23", 2), ("127.0.0.14", "127.0.0.24", 4)]
    for i, (src, dst, n) in enumerate(plan):
        udp(src, dst, A + i, n)
    time.sleep(2)
    key(win, "F6")
    time.sleep(1.5)
    xdo("windowactivate", "--sync", win)
    listed = rows_of(copied(win, "ctrl+a", "ctrl+c"))
    title, rows = listed[0], listed[1:]
    check(title[:3] == ["Index", "Protocol", "Local Address"], "title line in default order")
    # Only this test's rows count (other loopback traffic may be listed too).
    ours = lambda rs: [r for r in rs if r[3].startswith("127.0.0.2")]
    check(len(ours(rows)) == 4, "four conversations captured (%d)" % len(ours(rows)))
    packets = lambda rs: [int(r[6]) for r in ours(rs)]

    # Sorting by header clicks.
    click(win, column_x(6), HEADER_Y)  # Packets
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c"))[1:]
    check(packets(rows) == [1, 2, 3, 4], "a click on Packets sorts ascending: %s" % packets(rows))
    click(win, column_x(6), HEADER_Y)
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c"))[1:]
    check(packets(rows) == [4, 3, 2, 1], "a second click sorts descending: %s" % packets(rows))
    shot("sorted_descending.png")
    click(win, column_x(3), HEADER_Y)  # Remote Address: as text
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c"))[1:]
    check([r[3] for r in rows] == sorted(r[3] for r in rows), "Remote Address sorts as text")
    # Protocol first (all UDP: ties), then Shift+click Packets twice: descending.
    click(win, column_x(1), HEADER_Y)
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c"))[1:]
    check(packets(rows) == [3, 1, 2, 4], "equal Protocol keeps the order: %s" % packets(rows))
    click(win, column_x(6), HEADER_Y, shift=True)
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c"))[1:]
    check(packets(rows) == [1, 2, 3, 4], "Shift+click adds Packets as a second key: %s" % packets(rows))
    click(win, column_x(6), HEADER_Y, shift=True)
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c"))[1:]
    check(packets(rows) == [4, 3, 2, 1], "Shift+click on it again flips it: %s" % packets(rows))
    shot("sorted_two_keys.png")
    # With every row selected, a sort keeps them all selected, in its order.
    for want in ([1, 2, 3, 4], [4, 3, 2, 1]):
        click(win, column_x(6), HEADER_Y, shift=True)
        again = rows_of(copied(win, "ctrl+c"))[1:]
        check(packets(again) == want, "a sort keeps every row selected: %s" % packets(again))

    # Move Next / Previous.
    key(win, "ctrl+d", "F7")
    one = rows_of(copied(win, "ctrl+c"))[1:]
    check(len(one) == 1 and one[0] == rows[-1], "Previous without a selection selects the last row")
    key(win, "F8")
    one = rows_of(copied(win, "ctrl+c"))[1:]
    check(len(one) == 1 and one[0] == rows[-1], "Next on the last row stays on it (%s)" % one)
    key(win, "F7")
    one = rows_of(copied(win, "ctrl+c"))[1:]
    check(len(one) == 1 and one[0] == rows[-2], "Previous moves one row up")

    # The lower pane: Tab reaches it (Ctrl+C then copies its text), and a
    # right click opens its menu (F: Find).
    click(win, column_x(2), HEADER_Y + 40)  # a row of the list
    xdo("key", "--window", win, "Tab")
    time.sleep(0.6)
    shot("pane_tab.png")
    pane = copied(win, "ctrl+c")
    check("uuuu" in pane and "\t" not in pane, "Tab moves to the lower pane (got %r)" % pane[:40])
    g = geometry(win)
    click(win, 300, int(int(g["HEIGHT"]) * 0.8), button="3")
    shot("pane_menu.png")
    xdo("key", "f")
    found = wait_window("^Find$", 10)
    check(bool(found), "right click on the lower pane opens its menu")
    if found:
        key(found[0], "Escape")
        time.sleep(1)

    # Hand-off: the first time starts the tool (whose window is not there
    # within 100 ms), the second sends the selected rows' addresses.
    # Back to the list (the Find dialog left the focus in the pane; a first
    # click may only activate the window).
    click(win, column_x(1), HEADER_Y + 12)
    click(win, column_x(1), HEADER_Y + 12)
    key(win, "ctrl+a", "ctrl+i")
    started = wait_file("started.txt", 20)
    check(started is not None and "/nodlgstart" in started, "the tool is started with /nodlgstart")
    check(bool(wait_window("^Quorvex stand-in$", 20)), "the tool's window appears")
    time.sleep(1)
    click(win, 400, 34)  # back to Pakrill: the empty part of the toolbar
    key(win, "ctrl+i")
    got = wait_file("received.txt", 15)
    want = "".join("%s\r\n%s\r\n" % (r[3], r[2]) for r in reversed(rows))
    check(got == want, "the tool received remote and local addresses, last row first: %r" % got)
    key(win, "ctrl+d", "F8")

    # Properties of the selected row.
    key(win, "alt+Return")
    props = wait_window("^Properties$", 15)
    check(bool(props), "Alt+Enter opens Properties")
    if props:
        time.sleep(1)
        g = geometry(props[0])
        check(int(g["HEIGHT"]) > 400, "Properties grows to fit 23 fields (%s px)" % g["HEIGHT"])
        shot("properties.png")
        key(props[0], "Escape")
        time.sleep(1)

    # Column Settings: hide Local Address, move Remote Address above it.
    click(win, column_x(2), HEADER_Y + 40)
    key(win, "alt+v", "n")
    dialog = wait_window("^Column Settings$", 15)
    check(bool(dialog), "View > Choose Columns opens Column Settings")
    if dialog:
        time.sleep(1)
        d = dialog[0]
        row = lambda r: click(d, 80, 21 + 17 * r)  # the rows of its list, 17 pixels apart
        row(3)  # Remote Address
        xdo("key", "--window", d, "alt+u")
        time.sleep(0.5)
        row(3)  # now Local Address
        xdo("key", "--window", d, "alt+h")
        time.sleep(0.5)
        shot("column_settings.png")
        g = geometry(d)
        click(d, int(g["WIDTH"]) - 162, int(g["HEIGHT"]) - 23)  # OK
        time.sleep(1)
        check(not xdo("search", "--name", "^Column Settings$").strip(), "OK closes Column Settings")
    click(win, column_x(1), HEADER_Y + 40)
    title = rows_of(copied(win, "ctrl+a", "ctrl+c"))[0]
    check(title[:4] == ["Index", "Protocol", "Remote Address", "Local Port"],
          "the title line follows the new layout: %s" % title[:4])

    # The layout and the sort column stay after a restart.
    quit(proc, win)
    cfg = open(os.path.join(work, "pakrill.cfg"), "rb").read().decode("latin-1")
    check("\nSort=1\r" in cfg, "the primary sort column (Protocol) is stored: %r" % cfg[-300:])
    with open(os.path.join(work, "pakrill.cfg"), "w", newline="") as f:
        f.write(cfg.replace("AutoLiveModeScroll=0", "AutoLiveModeScroll=1"))
    proc = start(work, ["/StartCapture"])
    win = main_window()
    time.sleep(4)
    # More rows than the list shows; then, scrolled to the top, packets of
    # the last conversation alone scroll it down again.
    for i in range(16):
        udp("127.0.0.15", "127.0.0.25", A + 5, 1, sport=A + 5 + i)
    time.sleep(2)
    click(win, column_x(1), HEADER_Y + 12)
    key(win, "Home")
    time.sleep(1)
    crop = lambda name: screenshot(os.path.join(artefacts, name), "620x150+8+90")
    crop("scroll_top.ppm")
    udp("127.0.0.15", "127.0.0.25", A + 5, 2, sport=A + 5 + 15)
    time.sleep(2)
    crop("scroll_after.ppm")
    same = open(os.path.join(artefacts, "scroll_top.ppm"), "rb").read() == \
        open(os.path.join(artefacts, "scroll_after.ppm"), "rb").read()
    check(not same, "packets without a new row scroll to the last row in live mode")
    key(win, "F6")
    time.sleep(1.5)
    shot("after_restart.png")
    click(win, column_x(1), HEADER_Y + 12)
    title2 = rows_of(copied(win, "ctrl+a", "ctrl+c"))
    check(bool(title2) and title2[0][:4] == title[:4], "the column layout stays after a restart")
    quit(proc, win)
finally:
    cleanup(xvfb, work)

print("screenshots in", artefacts)
sys.exit(1 if failures else 0)
