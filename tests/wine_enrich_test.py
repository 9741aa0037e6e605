#!/usr/bin/env python3
"""A user's view of the enrichment under Wine: ticks "Retrieve process
information" in Advanced Options, captures the loopback conversation of a
Windows program talking to itself, and reads back its owner, the owner's
user and the resolved host names, and the owner of its UDP conversation. Needs root (live capture)."""
import os, subprocess, sys, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_support import (adapter_name, check, cleanup, copied, failures, key, live_test,  # noqa: E402
                          main_window, quit_program, rows_of, screenshot, start, start_display,
                          wait_window, WINE)

exe, peer, artefacts = sys.argv[1], sys.argv[2], sys.argv[3]
work = live_test("pakrill-enrich-", artefacts, exe, peer)
lo = adapter_name()
PORT = 47000 + os.getpid() % 900
# Host names are resolved as the options' default has it.
with open(os.path.join(work, "pakrill.cfg"), "w", newline="") as f:
    f.write("[General]\r\nCaptureMethod=2\r\nPCapAdapterName=%s\r\nAddExportHeaderLine=1\r\n" % lo)

xvfb, env = start_display(150, 40)
proc = None
try:
    proc = start(work, [])
    win = main_window()
    time.sleep(2)
    key(win, "ctrl+o")
    dlg = wait_window("^Advanced Options$", 20)
    check(bool(dlg), "Ctrl+O opens Advanced Options")
    if dlg:
        # Live Mode, its content box, then the process box.
        key(dlg[0], "Tab", "Tab", "space", pause=0.4)
        screenshot(os.path.join(artefacts, "enrich_advanced.png"))
        key(dlg[0], "Return")
    time.sleep(1)
    key(win, "F5")
    time.sleep(4)
    subprocess.run([WINE, os.path.join(work, os.path.basename(peer)), str(PORT), "3000"], cwd=work, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    time.sleep(1.5)  # the reverse lookups reach the rows on the window's timer
    screenshot(os.path.join(artefacts, "enrich_capture.png"))
    key(win, "F6")
    rows = rows_of(copied(win, "ctrl+a", "ctrl+c", activate=True))
    head, body = (rows[0], rows[1:]) if rows else ([], [])
    col = {name: i for i, name in enumerate(head)}
    print("\t".join(head))
    print("\n".join("\t".join(r) for r in body))
    check(all(n in col for n in ("ProcessID", "Process Filename", "Process User")),
          "ticking the option shows the three process columns")
    hit = [r for r in body if r[col.get("Protocol", 1)] == "TCP" and str(PORT) in r]
    check(len(hit) == 1, "one TCP row for the peer's port")
    pid_file = os.path.join(work, "peer.pid")
    pid = open(pid_file).read().strip() if os.path.exists(pid_file) else "?"
    if hit and len(head) == len(hit[0]):
        r = dict(zip(head, hit[0]))
        check(r.get("ProcessID") == pid, "ProcessID is the peer's (%r, want %r)" % (r.get("ProcessID"), pid))
        check(r.get("Process Filename", "").lower().endswith("\\" + os.path.basename(peer).lower()),
              "Process Filename names the peer (%r)" % r.get("Process Filename"))
        check(r.get("Process User", "").endswith("\\root"), "Process User is domain\\root (%r)" % r.get("Process User"))
        check(r.get("Local Host") == "localhost" and r.get("Remote Host") == "localhost",
              "both host names resolve to localhost (%r, %r)" % (r.get("Local Host"), r.get("Remote Host")))
    udp = [dict(zip(head, r)) for r in body if r[col.get("Protocol", 1)] == "UDP" and str(PORT + 1) in r]
    check(len(udp) == 1 and udp[0].get("ProcessID") == pid,
          "the UDP row on the next port is the peer's too (%r)" % [u.get("ProcessID") for u in udp])
    quit_program(proc, win, "F6", close_window=True)
    proc = None
finally:
    if proc:
        proc.kill()
    cleanup(xvfb, work)
sys.exit(1 if failures else 0)
