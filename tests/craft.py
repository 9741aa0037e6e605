#!/usr/bin/env python3
"""Writes hostile and odd captures for the tests and the benchmarks.

    craft.py backward N FILE   N one-byte TCP segments, each 32 000 bytes
                               before the block's start (prepends)
    craft.py reverse N FILE    N 1000-byte segments of one stream sent last
                               first (prepends that fill every byte)
    craft.py forward N FILE    N one-byte segments, each 65 535 bytes past
                               the block's end (zero-filled gaps)
    craft.py httpgaps N FILE   an HTTP response whose body is N such segments
    craft.py http FILE NAME... one response per name ("/NAME" requested),
                               chunked with extensions when NAME ends in ";ext"
"""
import struct
import sys

CLIENT, SERVER = "10.0.0.1", "10.0.0.2"


def ip(a):
    return bytes(int(x) for x in a.split("."))


def tcp(src, dst, sport, dport, seq, payload, flags=0x18):
    th = struct.pack(">HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, 0, 5 << 4, flags, 65535, 0, 0)
    total = 20 + len(th) + len(payload)
    ih = struct.pack(">BBHHHBBH4s4s", 0x45, 0, total, 0, 0x4000, 64, 6, 0, ip(src), ip(dst))
    return ih + th + payload


def pcap(packets, link=101, start=1700000000):
    """Classic pcap, microseconds, one packet per millisecond."""
    out = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link))
    for i, p in enumerate(packets):
        t = start * 1000000 + i * 1000
        out += struct.pack("<IIII", t // 1000000, t % 1000000, len(p), len(p)) + p
    return bytes(out)


def backward(n, step=32000):
    base = 0x40000000
    return [tcp(CLIENT, SERVER, 40000, 80, base - k * step, b"x") for k in range(n)]


def reverse(n, size=1000):
    base = 0x10000000
    return [tcp(CLIENT, SERVER, 40000, 80, base + (n - 1 - k) * size, bytes([65 + k % 26]) * size)
            for k in range(n)]


def forward(n, jump=65535, first=b"x"):
    base = 0x20000000
    pk, seq = [], base
    for k in range(n):
        pk.append(tcp(CLIENT, SERVER, 40000, 80, seq, first if k == 0 else b"y"))
        seq += 1 + jump
    return pk


def httpgaps(n):
    req = b"GET /gaps HTTP/1.1\r\nHost: h\r\n\r\n"
    head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"
    pk = [tcp(CLIENT, SERVER, 40001, 80, 1, req)]
    seq = 1000
    pk.append(tcp(SERVER, CLIENT, 80, 40001, seq, head))
    seq += len(head)
    for _ in range(n):
        seq += 65535
        pk.append(tcp(SERVER, CLIENT, 80, 40001, seq, b"z"))
        seq += 1
    return pk


def http(names, body=b"hello world, a body of some bytes\n"):
    """One conversation per name; NAME;ext is sent chunked with chunk extensions."""
    pk = []
    for i, name in enumerate(names):
        port = 41000 + i
        chunked = name.endswith(";ext")
        if chunked:
            name = name[:-4]
        req = b"GET /" + name.encode("latin-1") + b" HTTP/1.1\r\nHost: h\r\n\r\n"
        if chunked:
            resp = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n" +
                    b"%x;ext=1\r\n" % 5 + body[:5] + b"\r\n" + b"%x  \r\n" % (len(body) - 5) + body[5:] +
                    b"\r\n0\r\n\r\n")
        else:
            resp = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body
        pk.append(tcp(CLIENT, SERVER, port, 80, 1, req))
        pk.append(tcp(SERVER, CLIENT, 80, port, 1, resp))
    return pk


def main(argv):
    kind = argv[1]
    if kind == "http":
        data = pcap(http([a.encode("utf-8", "surrogateescape").decode("latin-1") for a in argv[3:]]))
        path = argv[2]
    else:
        n, path = int(argv[2]), argv[3]
        data = pcap({"backward": backward, "reverse": reverse, "forward": forward, "httpgaps": httpgaps}[kind](n))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv)
