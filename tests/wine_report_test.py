#!/usr/bin/env python3
"""pakrill.exe's report mode under Wine: every report switch and /sconvert
write the same bytes as the native pakrill; /savelangfile completes a partly
translated language file, and the translation reaches the HTML report."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from convert_test import eth, ip_packet, pcap  # noqa: E402
from wine_support import WINE, need_tools, xvfb_on  # noqa: E402

exe, native = sys.argv[1], sys.argv[2]
need_tools(WINE)


def win(path):
    return "Z:" + path.replace("/", "\\")


def run_exe(work, *args, ok=(0,), env=None):
    p = subprocess.run([WINE, os.path.join(work, "pakrill.exe"), *args], capture_output=True, timeout=120,
                       env=dict(os.environ, WINEDEBUG="-all", **(env or {})), cwd=work)
    if p.returncode not in ok:
        sys.exit(f"FAIL: pakrill.exe {' '.join(args)} -> {p.returncode}: {p.stderr[-500:]!r}")
    return p


def run_native(work, *args):
    p = subprocess.run([os.path.join(work, "pakrill"), *args], capture_output=True, timeout=60)
    if p.returncode != 0:
        sys.exit(f"FAIL: pakrill {' '.join(args)} -> {p.returncode}: {p.stderr!r}")


def ini(path):
    sections, cur = {}, None
    for line in open(path, encoding="latin-1", newline="").read().split("\r\n"):
        if line.startswith("["):
            cur = sections.setdefault(line.strip("[]"), [])
        elif "=" in line and cur is not None:
            cur.append(tuple(line.split("=", 1)))
    return sections


def main():
    work = tempfile.mkdtemp(prefix="pakrill-report-")
    try:
        shutil.copy(exe, os.path.join(work, "pakrill.exe"))
        have_native = os.path.exists(native)
        if have_native:
            shutil.copy(native, os.path.join(work, "pakrill"))
        frames = [eth(ip_packet(6, "10.0.0.1", "10.0.0.2", 47123, 47124, b"GET / HTTP/1.0\r\n\r\n")),
                  eth(ip_packet(6, "10.0.0.2", "10.0.0.1", 47124, 47123, b"HTTP/1.0 200 OK\r\n\r\n<&>")),
                  eth(ip_packet(17, "10.0.0.1", "10.0.0.3", 47125, 47126, b"x" * 33))]
        cap = os.path.join(work, "in.pcap")
        open(cap, "wb").write(pcap(frames))
        open(os.path.join(work, "pakrill.cfg"), "w").write("[General]\r\nAddExportHeaderLine=1\r\n")

        switches = ["/stext", "/stab", "/stabular", "/shtml", "/sverhtml", "/sxml"]
        for sw in switches + ["/sconvert"]:
            name = "w" + sw[1:] + (".pcapng" if sw == "/sconvert" else "")
            run_exe(work, sw, win(os.path.join(work, name)), win(cap))
            if not os.path.getsize(os.path.join(work, name)):
                sys.exit(f"FAIL: {sw} wrote nothing")
            if have_native:
                nname = "n" + name[1:]
                run_native(work, sw, os.path.join(work, nname), cap)
                a, b = open(os.path.join(work, name), "rb").read(), open(os.path.join(work, nname), "rb").read()
                if a != b:
                    sys.exit(f"FAIL: {sw} differs between pakrill.exe and pakrill:\n{a[:400]!r}\n{b[:400]!r}")
        if not open(os.path.join(work, "wstab"), "rb").read().startswith(b"Index\tProtocol\t"):
            sys.exit("FAIL: report mode did not read pakrill.cfg")
        run_exe(work, "/stab", win(os.path.join(work, "x")), win(os.path.join(work, "missing.pcap")), ok=(1,))

        # A translator's start: one string done; the template adds the rest.
        lng = os.path.join(work, "pakrill_lng.ini")
        open(lng, "w", newline="").write("[general]\r\nrtl=1\r\ncharset=windows-1255\r\n[strings]\r\n8=Bericht\r\n")
        display = ":%d" % (140 + os.getpid() % 50)
        xvfb = xvfb_on(display, "1024x768x24") if shutil.which("Xvfb") else None
        try:
            for _ in range(2):
                run_exe(work, "/savelangfile", env={"DISPLAY": display})
        finally:
            if xvfb:
                xvfb.terminate()
        s = ini(lng)
        strings = dict(s.get("strings", []))
        if strings.get("8") != "Bericht" or strings.get("1001") != "Index" or len(strings) != len(s["strings"]):
            sys.exit(f"FAIL: strings of the template: {s.get('strings')}")
        menu = dict(s.get("menu_102", []))
        if menu.get("70001") != "&File" or menu.get("40024") != "&Start Capture" or menu.get("71001") != "Lower Pane Mode":
            sys.exit(f"FAIL: menu of the template: {menu}")
        if not s.get("dialog_108") or not dict(s["dialog_108"]).get("caption"):
            sys.exit(f"FAIL: dialogs of the template: {list(s)}")
        if "dialog_107" in s:
            sys.exit("FAIL: the exception dialog belongs in no template")

        # The translation reaches the reports of both programs alike.
        for sw in ("/shtml", "/sxml"):
            run_exe(work, sw, win(os.path.join(work, "t.html")), win(cap))
            html = open(os.path.join(work, "t.html"), "rb").read()
            if sw == "/shtml" and (b"charset=windows-1255'><title>Bericht</title>" not in html
                                   or b"<table dir=\"rtl\">" not in html):
                sys.exit(f"FAIL: translated HTML report: {html[:300]!r}")
            if sw == "/sxml" and b"<packets_summary>" not in html:
                sys.exit("FAIL: XML names must stay English")
            if have_native:
                run_native(work, sw, os.path.join(work, "tn.html"), cap)
                if open(os.path.join(work, "tn.html"), "rb").read() != html:
                    sys.exit(f"FAIL: translated {sw} differs between the programs")
        print("ok" + ("" if have_native else " (no native build to compare with)"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
