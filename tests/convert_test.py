#!/usr/bin/env python3
"""Reports and conversion as a user runs them: every report switch, the
configuration file, and /sconvert read back by tcpdump."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

PAKRILL = sys.argv[1]


def ip_packet(proto, src, dst, sport, dport, payload):
    l4 = struct.pack("!HH", sport, dport)
    if proto == 6:
        l4 += struct.pack("!IIBBHHH", 1000, 0, 0x50, 0x18, 65535, 0, 0)
    else:
        l4 += struct.pack("!HH", 8 + len(payload), 0)
    total = 20 + len(l4) + len(payload)
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, 1, 0, 64, proto, 0,
                      bytes(map(int, src.split("."))), bytes(map(int, dst.split("."))))
    return hdr + l4 + payload


def pcap(frames, link=1):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link)
    for i, f in enumerate(frames):
        f, wire = f if isinstance(f, tuple) else (f, len(f))  # (bytes, length on the wire): a cut frame
        out += struct.pack("<IIII", 1700000000 + i, 123456, len(f), wire) + f
    return out


def ip6_udp(sport, dport, payload):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    return (struct.pack("!IHBB", 0x60000000, len(udp), 17, 64) + bytes(15) + b"\x01" + bytes(15) + b"\x02"
            + udp)


def eth(ip):
    kind = b"\x86\xdd" if ip[0] >> 4 == 6 else b"\x08\x00"
    return b"\x02\x00\x00\x00\x00\x02" + b"\x02\x00\x00\x00\x00\x01" + kind + ip


def run(*args, ok=(0,)):
    p = subprocess.run([PAKRILL, *args], capture_output=True, text=True, timeout=60)
    if p.returncode not in ok:
        sys.exit(f"FAIL: pakrill {' '.join(args)} -> {p.returncode}: {p.stderr}")
    return p


def tcpdump(path):
    p = subprocess.run(["tcpdump", "-nn", "-tt", "-r", path], capture_output=True, text=True, timeout=60)
    if p.returncode != 0:
        sys.exit(f"FAIL: tcpdump -r {path}: {p.stderr}")
    return [l.split(" ", 1)[1] if " " in l else l for l in p.stdout.splitlines()], p.stdout


def main():
    d = tempfile.mkdtemp()
    try:
        frames = [eth(ip_packet(6, "10.0.0.1", "10.0.0.2", 40000, 80, b"GET / HTTP/1.0\r\n\r\n")),
                  eth(ip_packet(6, "10.0.0.2", "10.0.0.1", 80, 40000, b"HTTP/1.0 200 OK\r\n\r\n")),
                  (eth(ip_packet(17, "10.0.0.1", "10.0.0.3", 5000, 5001, b"x" * 33))[:-20], 75),
                  eth(ip6_udp(5002, 5003, b"y" * 9))]
        cap = os.path.join(d, "in.pcap")
        open(cap, "wb").write(pcap(frames))

        # Every report switch writes its own format.
        expect = {"/stext": b"==========", "/stab": b"\tTCP\t", "/stabular": b"TCP            ",
                  "/shtml": b"<th>Index\r\n", "/sverhtml": b"<b>Index</b>", "/sxml": b"<packets_summary>"}
        for sw, mark in expect.items():
            out = os.path.join(d, "r" + sw[1:])
            run(sw, out, cap, "/noloadsettings")
            data = open(out, "rb").read()
            if mark not in data:
                sys.exit(f"FAIL: {sw} lacks {mark!r}: {data[:200]!r}")

        # The configuration: a header line and a narrower column set.
        cfg = os.path.join(d, "my.cfg")
        open(cfg, "w").write("[General]\r\nAddExportHeaderLine=1\r\n")
        out = os.path.join(d, "h.txt")
        run("/stab", out, cap, "/LoadConfig", cfg)
        lines = open(out, "rb").read().split(b"\r\n")
        if not lines[0].startswith(b"Index\tProtocol\t") or len(lines) != 5:
            sys.exit(f"FAIL: /LoadConfig header line: {lines[:2]!r}")
        run("/stab", out, cap, "/noloadsettings")
        if open(out, "rb").read().startswith(b"Index"):
            sys.exit("FAIL: /noloadsettings still read a configuration")
        # The stream exports read it too; a file named that cannot be read
        # is an error, not a report with other settings.
        # Its column layout here moves Local Address first, hides Protocol.
        hexcfg = os.path.join(d, "hex.cfg")
        open(hexcfg, "w").write("[General]\r\nDisplayMode=3\r\n"
                                "Columns=3C 00 02 00 00 00 01 00 64 00 00 00 64 00 03 00 50 00 04 00 "
                                "50 00 05 00 3C 00 06 00 64 00 07 00 78 00 08 00 78 00 09 00 78 00 0A 00 64 00 0B 00 64 00 0C 00 5A 00 0D 00 78 00 0E 00 78 00 0F 00 00 00 10 00 00 00 11 00 00 00 12 00 78 00 13 00 78 00 14 00 78 00 15 00 78 00 16 00\r\n")
        s1, s2 = os.path.join(d, "s1.txt"), os.path.join(d, "s2.txt")
        run("/sstreams", s1, "txt", cap, "/noloadsettings")
        run("/sstreams", s2, "txt", cap, "/noloadsettings", "/LoadConfig", hexcfg)
        if open(s1, "rb").read() == open(s2, "rb").read():
            sys.exit("FAIL: /sstreams ignored /LoadConfig")
        if not open(s2, "rb").read().split(b"\r\n")[1].startswith(b"Local Address"):
            sys.exit("FAIL: /sstreams ignored the column layout")
        p = run("/stab", out, cap, "/LoadConfig", os.path.join(d, "missing.cfg"), ok=(1,))
        if "missing.cfg" not in p.stderr:
            sys.exit(f"FAIL: missing configuration not named: {p.stderr}")

        # Conversion: the same packets, times and bytes for tcpdump, from
        # Ethernet frames and from raw IPv4 (no MACs).
        rawcap = os.path.join(d, "raw.pcap")
        open(rawcap, "wb").write(pcap([(f[0][14:], f[1] - 14) if isinstance(f, tuple) else f[14:] for f in frames],
                                      link=101))
        for src, ext in ((cap, "pcap"), (cap, "pcapng"), (rawcap, "pcap"), (rawcap, "pcapng")):
            orig, _ = tcpdump(src)
            conv = os.path.join(d, "out." + ext)
            run("/sconvert", conv, src)
            got, raw = tcpdump(conv)
            if got != orig:
                sys.exit(f"FAIL: tcpdump reads {ext} differently:\n{got}\n{orig}")
            if not raw.startswith("1700000000.123456"):
                sys.exit(f"FAIL: {ext} times: {raw[:40]}")
            # And the program reads its own output back to the same report.
            a, b = os.path.join(d, "a.txt"), os.path.join(d, "b.txt")
            run("/stab", a, src, "/noloadsettings")
            run("/stab", b, conv, "/noloadsettings")
            if open(a, "rb").read() != open(b, "rb").read():
                sys.exit(f"FAIL: report of the {ext} copy differs")

        # Damage: earlier packets kept, exit code 3.
        bad = os.path.join(d, "bad.pcap")
        open(bad, "wb").write(pcap(frames)[:-7])
        p = run("/sconvert", os.path.join(d, "bad_out.pcap"), bad, ok=(3,))
        if "damaged" not in p.stderr:
            sys.exit(f"FAIL: damage not reported: {p.stderr}")
        if len(tcpdump(os.path.join(d, "bad_out.pcap"))[0]) != 3:
            sys.exit("FAIL: packets before the damage were not kept")
        run("/sconvert", os.path.join(d, "nodir", "x.pcap"), cap, ok=(4,))
        print("ok")
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    if not shutil.which("tcpdump"):
        print("tcpdump missing")
        sys.exit(77)
    main()
