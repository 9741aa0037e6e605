#!/usr/bin/env python3
"""How many packets per second pakrill.exe stores without loss on loopback,
under Wine: bursts of UDP datagrams at rising rates, each on its own port,
then the Packets column of each port's row (read through the clipboard)
against the count sent. Run as root: bench/wine_capture.py [BURST [RATE,RATE,...]]"""
import os, shutil, socket, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The Windows build this machine runs, chosen as the scripts choose it.
choice = subprocess.run([os.path.join(root, "scripts/windows_env")], capture_output=True, text=True)
chosen = dict(l.split("=", 1) for l in choice.stdout.splitlines() if "=" in l)
if choice.returncode:
    sys.exit("cannot run pakrill.exe: " + chosen.get("WINDOWS_WHY", "?"))
os.environ.update({k: chosen[k] for k in ("WINEARCH", "WINEPREFIX")})
build, wine = chosen["PAKRILL_WINDOWS_BUILD"], chosen["PAKRILL_WINE"]
exe = os.path.join(root, "build", build, "pakrill.exe")
if not os.path.exists(exe):
    sys.exit("%s is missing: build it first (cmake --preset %s && cmake --build --preset %s)" % (exe, build, build))
burst = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
rates = [int(r) for r in sys.argv[2].split(",")] if len(sys.argv) > 2 else [2000, 5000, 10000, 20000, 50000, 0]  # 0: as fast as the sender can
work = tempfile.mkdtemp(prefix="pakrill-bench-")
shutil.copy(exe, work)
ifindex = int(open("/sys/class/net/lo/ifindex").read())
with open(os.path.join(work, "pakrill.cfg"), "w") as f:
    f.write("[General]\r\nCaptureMethod=2\r\nPCapAdapterName=\\Device\\NPF_{%08X-0000-0000-0000-4E6574446576}\r\n"
            "ResolveIPAddr=0\r\nUseDnsQueriesForHostNames=0\r\n" % ifindex)
display = ":%d" % (150 + os.getpid() % 50)
xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x800x24"], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
env = dict(os.environ, DISPLAY=display, WINEDEBUG="-all")
time.sleep(1)
xdo = lambda *a: subprocess.run(["xdotool"] + list(a), env=env, capture_output=True, text=True).stdout
proc = subprocess.Popen([wine, os.path.join(work, "pakrill.exe"), "/StartCapture"], cwd=work, env=env,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    win = None
    for _ in range(120):
        ids = xdo("search", "--name", "^Pakrill$").split()
        if ids:
            win = ids[0]
            break
        time.sleep(0.5)
    time.sleep(4)
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    results = []
    base = 45000
    for k, rate in enumerate(rates):
        port = base + k
        r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        r.bind(("127.0.0.1", port))
        payload = b"b" * 64
        start = time.perf_counter()
        for i in range(burst):
            tx.sendto(payload, ("127.0.0.1", port))
            if rate:
                while time.perf_counter() - start < (i + 1) / rate:
                    pass
        elapsed = time.perf_counter() - start
        results.append((port, rate, burst / elapsed))
        r.close()
        time.sleep(3)  # let the capture drain
    xdo("windowactivate", "--sync", win)
    for k in ("F6", "ctrl+a", "ctrl+c"):
        xdo("key", "--window", win, k)
        time.sleep(1)
    out = subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=env, capture_output=True).stdout.decode()
    rows = [l.rstrip("\r").split("\t") for l in out.split("\n") if l.strip()]
    print("pakrill.exe of build %s under %s (%s)" % (build, chosen["WINE_NAME"], chosen["WINDOWS_WHY"]))
    print("burst of %d UDP datagrams (64 bytes) per rate; captured = Packets column of the port's row" % burst)
    print("%10s %12s %10s %8s" % ("target/s", "sent/s", "captured", "lost"))
    for port, rate, sent_rate in results:
        got = [int(r[6].replace(",", "")) for r in rows if len(r) > 6 and str(port) in (r[4], r[5])]
        n = got[0] if got else 0
        print("%10s %12.0f %10d %7.1f%%" % (rate or "max", sent_rate, n, 100.0 * (burst - n) / burst))
finally:
    xdo("windowclose", win or "")
    time.sleep(2)
    proc.kill()
    subprocess.run(["wineserver", "-k"], env=env)
    xvfb.terminate()
    shutil.rmtree(work, ignore_errors=True)
