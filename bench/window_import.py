#!/usr/bin/env python3
"""Watches pakrill.exe import a capture of about a gigabyte under Wine, as its
user would: the file is chosen in Load Packets Data From File, a screenshot
is taken every second, and a watcher in another Wine process asks the window
four times a second for its status bar text and row count (timing how long
the window takes to answer). A second import of the same file is stopped with
Escape: the list must keep fewer rows than the whole file gave, but some.

Usage: bench/window_import.py [CAPTURE]
Without CAPTURE, bench/out/window.pcap is generated once (about 1 GB of
classic pcap). Screenshots and the watcher's log go to
build/<win32|win64>/artefacts/window_import/. Not a test: run by hand."""
import glob
import os
import re
import signal
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

# The Windows build and Wine this machine runs, as the scripts choose them.
chosen = subprocess.run(["bash", "-c", 'source scripts/common.sh && choose_windows && '
                         'echo "$PAKRILL_WINDOWS_BUILD $PAKRILL_WINE $WINEPREFIX $WINEARCH" || '
                         '{ echo "$WINDOWS_WHY" >&2; exit 1; }'],
                        cwd=ROOT, capture_output=True, text=True)
if chosen.returncode:
    raise SystemExit("no Wine runs here: " + chosen.stderr.strip())
BUILD, WINE, PREFIX, ARCH = chosen.stdout.split()
os.environ.update(PAKRILL_WINE=WINE, WINEPREFIX=PREFIX, WINEARCH=ARCH)
import wine_support as ws  # noqa: E402  (reads PAKRILL_WINE)

ws.need_tools("Xvfb", "xdotool", "import", "compare")
BUILD_DIR = os.path.join(ROOT, "build", BUILD)
ART = os.path.join(BUILD_DIR, "artefacts", "window_import")
GEN = os.path.join(ROOT, "build", "bench", "bench", "bench_gen")
CXX = "x86_64-w64-mingw32-g++-posix" if BUILD == "win64" else "i686-w64-mingw32-g++-posix"


def run(*cmd, **kw):
    subprocess.run(cmd, check=True, cwd=ROOT, **kw)


def capture_file():
    if len(sys.argv) > 1:
        return os.path.abspath(sys.argv[1])
    out = os.path.join(ROOT, "bench", "out")
    pcap = os.path.join(out, "window.pcap")
    if not os.path.exists(pcap):
        os.makedirs(out, exist_ok=True)
        if not os.path.exists(GEN):
            run("cmake", "--preset", "bench", stdout=subprocess.DEVNULL)
            run("cmake", "--build", "--preset", "bench", "--target", "bench_gen", stdout=subprocess.DEVNULL)
        # 1.8 million packets in 180 000 conversations beside a 700 MB download.
        run(GEN, "1800000", "180000", os.path.join(out, "window.pkp"), pcap, "700", stdout=subprocess.DEVNULL)
        for extra in glob.glob(os.path.join(out, "window.pkp*")):
            os.remove(extra)
    return pcap


class Watcher:
    """window_watch.exe's lines: ms, answer ms (-1 none), rows, status, message box."""

    def __init__(self, exe, log):
        self.lines, self.log = [], open(log, "w")
        self.proc = subprocess.Popen([WINE, exe, "250"], env=ws.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            parts = line.rstrip("\n").split("\t")
            if len(parts) == 5:
                entry = (time.time(), int(parts[1]), int(parts[2]), parts[3], parts[4])
                self.lines.append(entry)
                self.log.write(line)
                self.log.flush()

    def last(self):
        return self.lines[-1] if self.lines else (time.time(), 0, 0, "", "")

    def since(self, t):
        return [e for e in self.lines if e[0] >= t]

    def wait(self, cond, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if self.lines and cond(self.last()):
                return self.last()
            time.sleep(0.2)
        return None


def memory_kb(field="VmHWM", reset=False):
    """The Wine process of pakrill.exe's peak (or, VmRSS, present) resident
    memory; `reset` starts its peak again from the present."""
    for pid in subprocess.run(["pgrep", "-f", "pakrill.exe"], capture_output=True, text=True).stdout.split():
        try:
            status = open("/proc/%s/status" % pid).read()
        except OSError:
            continue
        m = re.search(field + r":\s+(\d+)", status)
        if m and int(m.group(1)) > 50000:
            if reset:
                with open("/proc/%s/clear_refs" % pid, "w") as f:
                    f.write("5")
            return int(m.group(1))
    return 0


def status_bar(shot, geometry):
    """The bottom 24 pixels of the main window in a screenshot."""
    x, y, w, h = geometry
    crop = shot.replace(".png", "_status.png")
    subprocess.run(["convert", shot, "-crop", "%dx24+%d+%d" % (w, x, y + h - 24), "+repage", crop], check=True)
    return crop


def differs(a, b):
    r = subprocess.run(["compare", "-metric", "AE", a, b, "null:"], capture_output=True, text=True)
    try:
        return float(r.stderr.split()[0]) > 0
    except (ValueError, IndexError):
        return True


def geometry(win):
    g = dict(re.findall(r"(\w+)=(\d+)", ws.xdo("getwindowgeometry", "--shell", win)))
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def load(main, path, shot, watcher):
    """File > Load Packets Data From File (the eighth item), the path typed in;
    once more when the window has not begun to load (under Xvfb without a
    window manager a key now and then goes astray)."""
    for attempt in range(3):
        t = open_dialog(main, path, shot)
        if watcher.wait(lambda e: e[0] > t and not idle(e), 10):
            return t
        print("  (the load did not begin; again)")
    raise SystemExit("FAIL: the window does not load %s" % path)


def open_dialog(main, path, shot):
    ws.key(main, "alt+f", *(["Down"] * 7), "Return", pause=0.4)
    title = "Select a filename to load packets data"
    deadline = time.time() + 30
    while time.time() < deadline and not ws.xdo("search", "--onlyvisible", "--name", title).split():
        time.sleep(0.3)
    dialog = ws.xdo("search", "--onlyvisible", "--name", title).split()
    if not dialog:
        ws.screenshot(shot)
        raise SystemExit("FAIL: no load dialog (%s)" % shot)
    time.sleep(1)
    ws.xdo("windowactivate", "--sync", dialog[0])
    ws.xdo("key", "ctrl+a")
    ws.xdo("type", "--delay", "10", "Z:" + path.replace("/", "\\"))
    time.sleep(0.5)
    ws.screenshot(shot)
    ws.xdo("key", "Return")
    t = time.time()
    while ws.xdo("search", "--onlyvisible", "--name", title).split():
        if time.time() - t > 10:
            ws.screenshot(shot.replace(".png", "_stuck.png"))
            raise SystemExit("FAIL: the load dialog stays open (%s)" % shot)
        time.sleep(0.1)
    return t


def importing(e):
    return e[3].startswith("Importing")


def idle(e):
    return re.match(r"\d+ TCP/IP conversations", e[3]) is not None


def main():
    # A stop from outside still ends Wine and the display.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))
    signal.signal(signal.SIGINT, signal.default_int_handler)
    cap = capture_file()
    size = os.path.getsize(cap)
    exe = os.path.join(BUILD_DIR, "pakrill.exe")
    if not os.path.exists(exe):
        run("cmake", "--build", BUILD_DIR, "--target", "pakrill", stdout=subprocess.DEVNULL)
    shutil.rmtree(ART, ignore_errors=True)
    os.makedirs(ART)
    watch_exe = os.path.join(ART, "window_watch.exe")
    run(CXX, "-O2", "-static", os.path.join(ROOT, "bench", "window_watch_win32.cpp"), "-o", watch_exe, "-lcomctl32")
    work = tempfile.mkdtemp(prefix="pakrill-window-import-")
    shutil.copy(exe, work)
    # No reverse lookups of the capture's invented addresses.
    open(os.path.join(work, "pakrill.cfg"), "w").write("[General]\r\nResolveIPAddr=0\r\n")
    xvfb, _ = ws.start_display(230, 40)
    proc = watcher = None
    results = {}
    try:
        proc = ws.start(work, [])
        main_win = ws.main_window()
        time.sleep(3)
        ws.xdo("windowsize", main_win, "1000", "700")
        time.sleep(1)
        geo = geometry(main_win)
        watcher = Watcher(watch_exe, os.path.join(ART, "watch.log"))
        if not watcher.wait(lambda e: True, 30):
            raise SystemExit("FAIL: the watcher hears nothing from the window")

        print("== import of %s (%.2f GB)" % (cap, size / 1e9))
        t0 = load(main_win, cap, os.path.join(ART, "dialog1.png"), watcher)
        shots, n = [], 0
        while time.time() - t0 < 1800:
            time.sleep(1)
            n += 1
            shot = os.path.join(ART, "import1_%03d.png" % n)
            ws.screenshot(shot)
            shots.append(status_bar(shot, geo))
            e = watcher.last()
            print("  %6.1f s  answered in %5d ms  rows %7d  %s%s" % (time.time() - t0, e[1], e[2], e[3],
                                                                      ("  [box: %s]" % e[4]) if e[4] else ""))
            if e[0] > t0 + 0.5 and (idle(e) and e[2] > 0 or e[4]):
                break
        seen = watcher.since(t0)
        read_end = next((e[0] for e in seen if e[3].startswith("Rebuilding")), None)
        done = next((e for e in seen if idle(e) and e[2] > 0), None)
        box = next((e[4] for e in seen if e[4]), "")
        ws.check(done is not None and not box, "the import ends with the rows listed and no message (%s)" % box)
        ws.check(any(importing(e) and re.search(r"\d+%", e[3]) for e in seen), "the status bar shows the share read")
        during = [e for e in seen if importing(e) or e[3].startswith("Rebuilding")]
        slowest = max((e[1] for e in during), default=-1)
        ws.check(during and all(e[1] >= 0 for e in during) and slowest < 2000,
                 "the window answers within 2 s throughout (slowest %d ms)" % slowest)
        changed = sum(differs(a, b) for a, b in zip(shots, shots[1:]))
        ws.check(changed >= 1, "the status bar is repainted during the import (%d of %d screenshots differ "
                 "from the one before)" % (changed, len(shots) - 1))
        rows_all = done[2] if done else 0
        if done:
            results["whole"] = (done[0] - t0, (read_end or done[0]) - t0, rows_all)

        if done:
            # Header clicks on Total Size: ascending, then descending (the
            # middle of its header at the default widths).
            print("== clicks on the Total Size header sort the rows")
            for way in ("ascending", "descending"):
                ws.xdo("windowactivate", "--sync", main_win)
                ws.xdo("mousemove", "--window", main_win, "590", "57")
                time.sleep(0.3)
                t2 = time.time()
                ws.xdo("click", "1")
                time.sleep(8)
                after = watcher.since(t2)
                slowest_sort = max((e[1] for e in after), default=-1)
                shot = os.path.join(ART, "sorted_%s.png" % way)
                ws.screenshot(shot)
                ws.check(after and all(e[1] >= 0 for e in after) and slowest_sort < 2000,
                         "sorting %d rows %s, the window answers within 2 s (slowest %d ms; %s)" %
                         (rows_all, way, slowest_sort, shot))

        if done:
            # Every row to the clipboard, as a user copying them to a
            # spreadsheet would; the process's memory before, and its peak.
            print("== Select All and Copy of every row")
            before = memory_kb("VmRSS", reset=True)
            ta = time.time()
            ws.key(main_win, "ctrl+a", pause=0.2)
            watcher.wait(lambda e: e[0] > ta + 1 and e[1] >= 0, 60)
            subprocess.run(["xclip", "-selection", "clipboard", "-i", "/dev/null"], env=ws.env)
            t3 = time.time()
            ws.xdo("key", "--window", main_win, "ctrl+c")
            time.sleep(0.5)
            e = watcher.wait(lambda e: e[0] > t3 + 0.5 and e[1] >= 0, 300)
            copy_s = (e[0] if e else time.time()) - t3
            got = subprocess.run([WINE, watch_exe, "clipboard"], env=ws.env, capture_output=True, text=True,
                                 timeout=600).stdout.split()
            lines = int(got[1]) if len(got) == 2 else 0
            ws.check(lines == rows_all, "the clipboard holds every row (%d of %d lines, %.0f MB; the window answered "
                     "%.1f s after Ctrl+C; %d MB resident before, %d MB at the peak)" %
                     (lines, rows_all, int(got[0]) / 1e6 if got else 0, copy_s, before // 1024, memory_kb() // 1024))

        print("== the same import, stopped with Escape")
        t1 = load(main_win, cap, os.path.join(ART, "dialog2.png"), watcher)
        e = watcher.wait(lambda e: e[0] > t1 and importing(e) and
                         int((re.search(r"(\d+)%", e[3]) or [0, 0])[1]) >= 20, 300)
        ws.check(e is not None, "the second import shows its progress")
        pct = e[3] if e else ""
        ws.key(main_win, "Escape", pause=0.2)
        t_esc = time.time()
        e = watcher.wait(lambda e: e[0] > t_esc and e[4], 300)
        ws.screenshot(os.path.join(ART, "stopped.png"))
        ws.check(e is not None and "stopped" in e[4], "Escape stops the import with a message (%s)" %
                 (e[4] if e else "none"))
        ws.xdo("key", "Return")
        e = watcher.wait(lambda e: not e[4] and idle(e), 60)
        rows_kept = e[2] if e else 0
        ws.screenshot(os.path.join(ART, "stopped_rows.png"))
        ws.check(0 < rows_kept < rows_all, "the stopped import keeps %d of %d rows (stopped at '%s', %.1f s after "
                 "Escape)" % (rows_kept, rows_all, pct, (e[0] if e else time.time()) - t_esc))
    finally:
        if proc:
            proc.kill()
        if watcher:
            watcher.proc.kill()
        ws.cleanup(xvfb, work)
    if "whole" in results:
        total, read, rows = results["whole"]
        print("== figures: %.2f GB read in %.1f s (%.0f MB/s), list rebuilt after %.1f s more, %.1f s in all, "
              "%d rows" % (size / 1e9, read, size / 1e6 / read, total - read, total, rows))
    print("screenshots and the watcher's log: %s" % ART)
    sys.exit(1 if ws.failures else 0)


main()
