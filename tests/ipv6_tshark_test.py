#!/usr/bin/env python3
"""IPv6 conversations of captures written here, held against tshark's
conversation tables, and IPv4 reports that stay the same bytes with
CaptureIPv6 on and off.

tshark counts frames and frame bytes, one frame per fragmented datagram
(with reassembly off, the first fragment); Pakrill counts every fragment and
the IP length (link header left out), and a TCP conversation opens with its
first data packet. The captures say which frames tshark's counts lack and
which ours lack, and the rest must agree: protocol, ports, addresses,
packets and bytes."""
import ipaddress
import os
import shutil
import struct
import subprocess
import sys
import tempfile

PAKRILL = sys.argv[1]
A, B, C = (bytes.fromhex("20010db8000000000000000000000000")[:15] + bytes([n]) for n in (1, 2, 3))
LO = bytes(15) + b"\1"


def ip6(src, dst, nxt, body, plen=None):
    return struct.pack(">IHBB", 0x60000000, len(body) if plen is None else plen, nxt, 64) + src + dst + body


def ext(nxt):  # hop-by-hop or destination options holding a PadN
    return bytes([nxt, 0, 1, 4, 0, 0, 0, 0])


def route(nxt):  # type 0, no segments left: the destination stays the header's
    return bytes([nxt, 0, 0, 0, 0, 0, 0, 0])


def shim6(nxt):  # a Shim6 payload extension header
    return bytes([nxt, 0, 0x80, 0, 0, 0, 0, 1])


def frag(nxt, offset, more, ident):
    return struct.pack(">BBHI", nxt, 0, offset << 3 | more, ident)


def udp(sport, dport, data):
    return struct.pack(">HHHH", sport, dport, 8 + len(data), 0) + data


def tcp(sport, dport, seq, flags, data=b""):
    return struct.pack(">HHIIBBHHH", sport, dport, seq, 1, 0x50, flags, 65535, 0, 0) + data


def icmp6(kind, data):
    return bytes([kind, 0, 0, 0, 0, 1, 0, 1]) + data


def ip4(src, dst, proto, body):
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(body), 0, 0, 64, proto, 0, bytes(src), bytes(dst)) + body


def eth(p):
    return b"\2\0\0\0\0\2\2\0\0\0\0\1" + (b"\x86\xdd" if p[0] >> 4 == 6 else b"\x08\x00") + p


def sll(p):
    return struct.pack(">HHH8sH", 4, 1, 6, b"\2\0\0\0\0\1", 0x86DD if p[0] >> 4 == 6 else 0x0800) + p


def pcap(frames, link):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link)
    for i, f in enumerate(frames):
        out += struct.pack("<IIII", 1700000000, 1000 * i, len(f), len(f)) + f
    return out


def pcapng(frames):  # (interface, frame, milliseconds): 0 Ethernet, 1 Linux cooked
    def block(kind, body):
        body += b"\0" * (-len(body) % 4)
        return struct.pack("<II", kind, 12 + len(body)) + body + struct.pack("<I", 12 + len(body))
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    for link in (1, 113):
        out += block(1, struct.pack("<HHI", link, 0, 65535))
    for ifc, f, ms in frames:
        t = 1700000000 * 1000000 + 1000 * ms
        out += block(6, struct.pack("<IIIII", ifc, t >> 32, t & 0xFFFFFFFF, len(f), len(f)) + f)
    return out


def captures():
    """(name, bytes, link header length (None: by interface), {key: (packets, bytes) tshark lacks},
    the address pair of the ICMPv6 conversation)"""
    dg = udp(4000, 9000, b"q" * 100)
    echo = icmp6(128, b"p" * 60)
    # Destination options in the fragmentable part: later fragments name them, not UDP.
    later = [ip6(A, B, 44, frag(60, 6, 1, 7) + dg[40:88]), ip6(A, B, 44, frag(60, 12, 0, 7) + dg[88:])]
    frag_pcap = [ip6(A, B, 44, frag(60, 0, 1, 7) + ext(17) + dg[:40])] + later + [
        ip6(B, A, 17, udp(9000, 4000, b"ok")),
        ip6(A, C, 44, frag(58, 0, 1, 8) + echo[:40]),
        ip6(A, C, 44, frag(58, 5, 0, 8) + echo[40:]),
        ip6(C, A, 58, icmp6(129, b"p" * 60)),
        ip6(A, B, 44, frag(17, 6, 0, 99) + b"z" * 16)]  # no first: neither table has it
    chain = [ip6(A, B, 0, ext(60) + ext(43) + route(17) + udp(5000, 53, b"hello")),
             ip6(B, A, 60, ext(17) + udp(53, 5000, b"answer")),
             ip6(A, B, 140, shim6(17) + udp(5001, 54, b"shim")),
             ip6(A, C, 58, icmp6(128, b"ping")), ip6(C, A, 58, icmp6(129, b"ping"))]
    hs = [ip6(LO, LO, 6, tcp(40000, 8080, 1, 0x02)), ip6(LO, LO, 6, tcp(8080, 40000, 1, 0x12)),
          ip6(LO, LO, 6, tcp(40000, 8080, 2, 0x10))]
    lo = hs + [ip6(LO, LO, 6, tcp(40000, 8080, 2, 0x18, b"GET / HTTP/1.0\r\n\r\n")),
               ip6(LO, LO, 6, tcp(8080, 40000, 2, 0x18, b"HTTP/1.0 200 OK\r\n\r\n")),
               ip6(LO, LO, 6, tcp(40000, 8080, 21, 0x11)), ip6(LO, LO, 6, tcp(8080, 40000, 21, 0x11))]
    v4 = [(0, eth(ip4([10, 0, 0, 1], [10, 0, 0, 2], 17, udp(6000, 6001, b"four"))), 0),
          (1, sll(ip4([10, 0, 0, 1], [10, 0, 0, 3], 6, tcp(6002, 80, 1, 0x18, b"GET"))), 2),
          (0, eth(ip4([10, 0, 0, 2], [10, 0, 0, 1], 17, udp(6001, 6000, b"back"))), 4)]
    mixed = sorted(v4 + [(0, eth(ip6(A, B, 17, udp(7000, 7001, b"six"))), 1),
                         (1, sll(ip6(B, A, 6, tcp(7002, 443, 1, 0x18, b"hello"))), 3),
                         (0, eth(ip6(B, A, 17, udp(7001, 7000, b"six back"))), 5)], key=lambda f: f[2])
    handshake = sum(len(p) for p in hs)
    return [
        ("chain.pcap", pcap([eth(p) for p in chain], 1), 14, {}, {A, C}),
        ("fragments.pcap", pcap(frag_pcap, 229), 0,
         {("udp", 4000, 9000): (-2, -sum(map(len, later))), ("icmp",): (-1, -len(frag_pcap[5]))}, {A, C}),
        ("loopback.pcap", pcap([struct.pack("<I", 30) + p for p in lo[:4]] +
                               [struct.pack(">I", 24) + p for p in lo[4:]], 0), 4,
         {("tcp", 8080, 40000): (3, handshake)}, None),
        ("mixed.pcapng", pcapng(mixed), None, {}, None),
        ("ipv4.pcapng", pcapng(v4), None, {}, None),
    ]


def tshark(path, table):
    p = subprocess.run(["tshark", "-n", "-r", path, "-o", "ipv6.defragment:FALSE", "-q", "-z", table],
                       capture_output=True, text=True, timeout=60)
    if p.returncode != 0:
        sys.exit(f"FAIL: tshark -z {table} {path}: {p.stderr}")
    rows = []
    for line in p.stdout.splitlines():
        t = line.split()
        if len(t) > 10 and t[1] == "<->":
            rows.append((t[0], t[2], int(t[9]), int(t[10].replace(",", ""))))  # total frames, bytes
    return rows


def report(d, path, ipv6=1):
    cfg = os.path.join(d, "ipv6.cfg")
    with open(cfg, "w") as f:
        f.write(f"[General]\r\nCaptureIPv6={ipv6}\r\n")
    out = os.path.join(d, "out.txt")
    p = subprocess.run([PAKRILL, "/stab", out, path, "/noloadsettings", "/LoadConfig", cfg],
                       capture_output=True, text=True, timeout=60)
    if p.returncode != 0:
        sys.exit(f"FAIL: pakrill /stab {path}: {p.returncode} {p.stderr}")
    report.stderr = p.stderr
    with open(out, "rb") as f:
        return f.read()


def split_endpoint(e):
    addr, port = e.rsplit(":", 1)
    return addr, int(port)


def main():
    if not shutil.which("tshark"):
        print("SKIP: tshark is not installed (apt-get install tshark)")
        return 77
    d = tempfile.mkdtemp()
    failures = checks = 0
    try:
        for name, data, link, lacks, icmp_pair in captures():
            path = os.path.join(d, name)
            with open(path, "wb") as f:
                f.write(data)
            ours = {}
            for line in report(d, path).decode("latin-1").split("\r\n"):
                c = line.split("\t")
                if len(c) < 8:
                    continue
                proto = c[1].lower()
                key = (proto,) if proto == "icmp" else (proto, *sorted((int(c[4]), int(c[5]))))
                ours[key] = ({c[2], c[3]}, int(c[6]), int(c[7].split()[0].replace(",", "")))
            theirs = {}
            for proto in ("tcp", "udp"):
                for a, b, frames, size in tshark(path, f"conv,{proto}"):
                    (aa, ap), (ba, bp) = split_endpoint(a), split_endpoint(b)
                    theirs[(proto, *sorted((ap, bp)))] = ({aa, ba}, frames, size)
            for a, b, frames, size in tshark(path, "conv,ipv6"):
                if icmp_pair and {a, b} == {str(ipaddress.IPv6Address(x)) for x in icmp_pair}:
                    theirs[("icmp",)] = ({a, b}, frames, size)
            # Link header bytes: by file, or in the pcapng by interface (Ethernet for UDP, cooked for TCP).
            for key, (addrs, frames, size) in theirs.items():
                over = link if link is not None else (16 if key[0] == "tcp" else 14)
                lack = lacks.get(key, (0, 0))
                want = (frames - lack[0], size - over * frames - lack[1])
                got = ours.get(key)
                same_addrs = got and got[0] == addrs
                checks += 1
                if not got or got[1:] != want or not same_addrs:
                    print(f"FAIL: {name} {key}: tshark {addrs} {frames} frames {size} bytes, "
                          f"expected {want}, pakrill {got}")
                    failures += 1
            # The fragment whose first never came is named, not lost silently.
            checks += 1
            if ("fragment_without_first" in report.stderr) != (name == "fragments.pcap"):
                print(f"FAIL: {name}: skipped fragments reported as {report.stderr!r}")
                failures += 1
            checks += 1
            if set(ours) != set(theirs):
                print(f"FAIL: {name}: pakrill rows {sorted(ours)} but tshark {sorted(theirs)}")
                failures += 1

        # IPv4 reports: the same bytes with CaptureIPv6 on and off, and the
        # mixed capture without IPv6 is the IPv4 one.
        v4 = os.path.join(d, "ipv4.pcapng")
        on, off = report(d, v4, 1), report(d, v4, 0)
        mixed_off = report(d, os.path.join(d, "mixed.pcapng"), 0)
        checks += 2
        if on != off or on.count(b"\r\n") != 2:
            print(f"FAIL: IPv4 report differs with CaptureIPv6 off: {on!r} {off!r}")
            failures += 1
        if mixed_off != on:
            print(f"FAIL: mixed capture with CaptureIPv6 off: {mixed_off!r} vs {on!r}")
            failures += 1
    finally:
        shutil.rmtree(d, ignore_errors=True)
    print(f"{checks - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
