"""What the Wine GUI tests share: the skip checks, a virtual display, xdotool,
the clipboard, screenshots, starting and ending pakrill.exe."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
# One way to start Wine for every run: the build names it (32- or 64-bit).
WINE = os.environ.get("PAKRILL_WINE") or "wine"
env = None  # set by start_display
failures = []


def need_root():
    if os.geteuid() != 0:
        print("skipped: needs root")
        sys.exit(SKIP)


def need_tools(*tools):
    for tool in tools:
        if not shutil.which(tool):
            print("skipped: %s missing" % tool)
            sys.exit(SKIP)


def live_test(prefix, artefacts, *files):
    """The start of a test that captures live: root, the tools, the folder
    for screenshots, and a work folder holding `files`."""
    need_root()
    need_tools(WINE, "Xvfb", "xdotool", "xclip", "import")
    os.makedirs(artefacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix=prefix)
    for f in files:
        shutil.copy(f, work)
    return work


def adapter_name(interface="lo"):
    """The capture library's name under Wine for a Linux interface."""
    index = int(open("/sys/class/net/%s/ifindex" % interface).read())
    return "\\Device\\NPF_{%08X-0000-0000-0000-4E6574446576}" % index


def xvfb_on(display, screen="1280x800x24"):
    return subprocess.Popen(["Xvfb", display, "-screen", "0", screen, "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_display(first, spread):
    """Xvfb on a display picked by pid, so parallel tests do not meet."""
    global env
    display = ":%d" % (first + os.getpid() % spread)
    xvfb = xvfb_on(display)
    env = dict(os.environ, DISPLAY=display, WINEDEBUG="-all")
    time.sleep(1)
    return xvfb, env


def xdo(*args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=20).stdout


def wait_window(name, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        ids = xdo("search", "--name", name).split()
        if ids:
            return ids
        time.sleep(0.3)
    return []


def main_window(seconds=60):
    ids = wait_window("^Pakrill$", seconds)
    if not ids:
        raise SystemExit("FAIL: no main window")
    return ids[0]


def key(win, *keys, pause=0.6):
    xdo("windowactivate", "--sync", win)
    for k in keys:
        xdo("key", "--window", win, k)
        time.sleep(pause)


def copied(win, *keys, activate=False, pause=0.6, settle=0.4):
    """What the keys (ending in Ctrl+C) put on the emptied clipboard."""
    subprocess.run(["xclip", "-selection", "clipboard", "-i", "/dev/null"], env=env)
    if activate:
        xdo("windowactivate", "--sync", win)
    for k in keys:
        xdo("key", "--window", win, k)
        time.sleep(pause)
    time.sleep(settle)
    # Wine takes the X selection some time after the program's copy, later
    # on a busy machine: an empty clipboard is read again for a while.
    deadline = time.time() + 4
    while True:
        text = subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=env, capture_output=True,
                              timeout=10).stdout.decode("latin-1")
        if text or time.time() > deadline:
            return text
        time.sleep(0.2)


def rows_of(text):
    # Wine hands CF_TEXT to X with LF line ends.
    return [r.rstrip("\r").split("\t") for r in text.split("\n") if r.strip()]


def screenshot(path, crop="1280x800+0+0"):
    subprocess.run(["import", "-window", "root", "-crop", crop, path], env=env, timeout=30)


def wine_temp_files():
    """The program's temporary packet files in the Wine prefix's own folder."""
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    return set(glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp", "pkr*.tmp")))


_temp_before = set()


def start(work, args, extra_env=None):
    global _temp_before
    if not _temp_before:
        _temp_before = wine_temp_files() or {""}
    return subprocess.Popen([WINE, os.path.join(work, "pakrill.exe")] + args, cwd=work,
                            env=dict(env, **(extra_env or {})),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def quit_program(proc, win, *keys, close_window=False):
    """Ends the program as its user would (File > Exit with close_window:
    destroying the X window would not reach it); it must leave no
    temporary file behind."""
    key(win, *keys)
    if close_window:
        key(win, "alt+f", "x")
    try:
        proc.wait(20)
    except subprocess.TimeoutExpired:
        proc.kill()
        check(False, "the program ends when asked")
        return
    left = wine_temp_files() - _temp_before
    check(not left, "the program removes its temporary files (%s)" % sorted(left))


def check(cond, what):
    print(("ok: " if cond else "FAIL: ") + what)
    if not cond:
        failures.append(what)


def cleanup(xvfb, work, kill_wine=True):
    if kill_wine:
        subprocess.run(["wineserver", "-k"], env=env)
    # A program killed on the way leaves its packet file.
    for f in wine_temp_files() - _temp_before:
        os.remove(f)
    xvfb.terminate()
    shutil.rmtree(work, ignore_errors=True)
