#!/usr/bin/env python3
"""What a data file can make the readers spend: peak memory of reading a
configuration file, a language file and a CSV country list, and the time of
one country lookup in an mmdb file whose record is a map of 1 000 000
entries and in a legacy city file whose record is never ended.

Usage: bench/data_files.py PAKRILL [PAKRILL ...]   (e.g. before and after)

Measured with the release build (peak RSS above a run without the file;
ms per lookup from 198 lookups over 100 conversations):

                                            before      after
    4 MiB configuration of blank lines      547 MB       5 MB
    4 MiB language file of blank lines      547 MB       5 MB
    50 MB CSV list, 25 M repeated rows      999 MB      45 MB
    50 MB CSV list, 2.4 M distinct rows     219 MB     274 MB
    mmdb record of 10^6 map entries      47 ms/lookup  0.03 ms/lookup
    legacy city record unended (50 MB)    5 ms/lookup  under 0.01 ms/lookup

A CSV list now keeps only the rows some address can reach; a distinct row
costs its row, the stretch it owns and a span of the covered set (about
five times the text).
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import craft  # noqa: E402


def pkp(path, conversations):
    """A packet file of one TCP data packet per conversation, each to its own address."""
    out = b"PKRLF200" + struct.pack("<H", 4) + bytes(4)
    for i in range(conversations):
        ip = craft.tcp("10.0.0.1", f"20.{i // 250}.{i % 250}.1", 1000 + i, 80, 1, b"abcd")
        out += struct.pack("<HIQ", 24, len(ip), 133500000000000000 + i) + bytes(12) + ip
    with open(path, "wb") as f:
        f.write(out)


def mmdb_value(kind, payload, size=None):
    size = len(payload) if size is None else size
    if size < 29:
        head = bytes([kind << 5 | size])
    elif size < 285:
        head = bytes([kind << 5 | 29, size - 29])
    elif size < 65821:
        head = bytes([kind << 5 | 30]) + (size - 285).to_bytes(2, "big")
    else:
        head = bytes([kind << 5 | 31]) + (size - 65821).to_bytes(3, "big")
    return head + payload


def mmdb(path, entries):
    """One node, both halves leading to one record: a map of `entries`
    numbers, then the country code."""
    def s(t):
        return mmdb_value(2, t.encode())
    body = b"".join(s(f"k{i}") + mmdb_value(5, b"\1") for i in range(entries))
    record = mmdb_value(7, body + s("country_code") + s("US"), entries + 1)
    tree = (1 + 16).to_bytes(3, "big") * 2
    meta = mmdb_value(7, s("node_count") + mmdb_value(6, b"\1") + s("record_size") + mmdb_value(5, b"\x18") +
                      s("ip_version") + mmdb_value(5, b"\4"), 3)
    with open(path, "wb") as f:
        f.write(tree + bytes(16) + record + b"\xab\xcd\xefMaxMind.com" + meta)


def legacy_city(path, megabytes):
    """One node whose halves lead to one record whose region never ends."""
    with open(path, "wb") as f:
        f.write(b"\2\0\0" * 2 + b"\0" + b"\x38" + b"x" * (megabytes << 20) + b"\xff\xff\xff\2\1\0\0")


def run(cmd):
    """Seconds and peak RSS (MB) of one run, by GNU time: the rusage of a
    child of Python also counts the interpreter it was forked from."""
    t0 = time.monotonic()
    with tempfile.NamedTemporaryFile("r") as rss:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name] + cmd,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.monotonic() - t0, int(rss.read().split()[-1]) / 1024


def measure(pakrill, d):
    out = f"{d}/out.txt"
    one, many = [out, f"{d}/one.pkp"], [out, f"{d}/many.pkp"]
    _, base = run([pakrill, "/stext", *one, "/noloadsettings"])
    shutil.copy(pakrill, f"{d}/bin/pakrill")
    rows = [
        ("4 MiB configuration of blank lines", run([pakrill, "/stext", *one, "/LoadConfig", f"{d}/blank.cfg"])[1] - base, "MB"),
        ("4 MiB language file of blank lines", run([f"{d}/bin/pakrill", "/stext", *one, "/noloadsettings"])[1] - base, "MB"),
        ("50 MB CSV list, repeated rows", run([pakrill, "/countrydb", f"{d}/same.csv", "/stext", *one])[1] - base, "MB"),
        ("50 MB CSV list, distinct rows", run([pakrill, "/countrydb", f"{d}/list.csv", "/stext", *one])[1] - base, "MB"),
    ]
    for what, db in (("mmdb record of 10^6 map entries", "map.mmdb"), ("legacy city record unended (50 MB)", "GeoLiteCity.dat")):
        t1, _ = run([pakrill, "/countrydb", f"{d}/{db}", "/stext", *one])
        t200, _ = run([pakrill, "/countrydb", f"{d}/{db}", "/stext", *many])
        rows.append((what, (t200 - t1) * 1000 / 198, "ms/lookup"))
    return rows


def main():
    d = tempfile.mkdtemp(prefix="pakrill-bench-")
    try:
        os.makedirs(f"{d}/bin")
        pkp(f"{d}/one.pkp", 1)
        pkp(f"{d}/many.pkp", 100)
        with open(f"{d}/blank.cfg", "wb") as f:
            f.write(b"\n" * ((4 << 20) - 1))
        shutil.copy(f"{d}/blank.cfg", f"{d}/bin/pakrill_lng.ini")
        with open(f"{d}/list.csv", "wb") as f:
            data, i = bytearray(), 0
            while len(data) < 50_000_000:
                data += b"%d,%d,,,AU\n" % (i * 7, i * 7 + 3)
                i += 1
            f.write(data)
        with open(f"{d}/same.csv", "wb") as f:
            f.write(b"0\n" * 25_000_000)
        mmdb(f"{d}/map.mmdb", 1_000_000)
        legacy_city(f"{d}/GeoLiteCity.dat", 50)
        results = [measure(p, d) for p in sys.argv[1:]]
        for i, (what, _, unit) in enumerate(results[0]):
            print(f"{what:40s}" + "".join(f"{r[i][1]:12.2f}" for r in results) + f"  {unit}")
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
