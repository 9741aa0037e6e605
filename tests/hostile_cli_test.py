#!/usr/bin/env python3
"""The native pakrill against hostile captures and full disks (issue 14).

Usage: hostile_cli_test.py PAKRILL

Each capture is made here (tests/craft.py). Time and peak memory of each
run are bounded; the full-disk cases mount a small tmpfs when run as root
and are skipped with a message otherwise. Every case runs under several
time zones.
"""
import os
import resource
import csv
import html.parser
import io
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import craft  # noqa: E402

PAKRILL = os.path.abspath(sys.argv[1])
ZONES = ["UTC", "Asia/Tokyo", "America/New_York", "Pacific/Chatham", "Australia/Lord_Howe"]
SANITIZED = "asan" in PAKRILL  # slower: looser time bounds
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(args, tz="UTC", env=None, seconds=10.0):
    """Runs pakrill; returns (exit code, stderr, seconds, the largest peak RSS
    of any run so far in MB)."""
    e = dict(os.environ, TZ=tz)
    e.update(env or {})
    t0 = time.monotonic()
    p = subprocess.Popen([PAKRILL] + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=e)
    try:
        _, err = p.communicate(timeout=seconds * (5 if SANITIZED else 1) + 30)
    except subprocess.TimeoutExpired:
        p.kill()
        _, err = p.communicate()
    took = time.monotonic() - t0
    rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024  # the largest child so far
    return p.returncode, err.decode("utf-8", "replace"), took, rss


def write(path, packets):
    with open(path, "wb") as f:
        f.write(craft.pcap(packets))


def pcapng_far_time(path):
    """pcapng, whole-second time stamps, one near 9.2e11 s."""
    import struct
    shb = struct.pack("<IIIHHq", 0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0, -1) + struct.pack("<I", 28)
    opts = struct.pack("<HHB3x", 9, 1, 0) + struct.pack("<HH", 0, 0)
    idb_body = struct.pack("<HHI", 101, 0, 65535) + opts
    idb = struct.pack("<II", 1, 12 + len(idb_body)) + idb_body + struct.pack("<I", 12 + len(idb_body))
    ip = craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 1, b"abcd")
    out = shb + idb
    for ts in (920000000000, 1700000000, (1 << 64) - 1):
        body = struct.pack("<IIIII", 0, ts >> 32, ts & 0xFFFFFFFF, len(ip), len(ip)) + ip
        body += b"\0" * (-len(body) % 4)
        out += struct.pack("<II", 6, 12 + len(body)) + body + struct.pack("<I", 12 + len(body))
    with open(path, "wb") as f:
        f.write(out)


def pkp(path, times, cut=None, packets=None):
    """A Pakrill packet file of one TCP packet (or the next of `packets`) per time stamp (local FILETIMEs)."""
    out = b"PKRLF200" + struct.pack("<H", 4) + bytes(4)
    for i, t in enumerate(times):
        ip = packets[i] if packets else craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 1, b"abcd")
        out += struct.pack("<HIQ", 24, len(ip), t) + b"\2" * 6 + b"\4" * 6 + ip
    with open(path, "wb") as f:
        f.write(out[:cut])


def netmon(path, year):
    """A Network Monitor 2.0 file of one frame, its capture started in `year`."""
    frame = b"\4" * 6 + b"\2" * 6 + b"\x08\x00" + craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 1, b"abcd")
    head = b"GMBU" + bytes([0, 2]) + struct.pack("<H8H", 1, year, 12, 0, 31, 23, 0, 0, 0)
    records = struct.pack("<QII", 1000, len(frame), len(frame)) + frame
    table = 128 + len(records)
    with open(path, "wb") as f:
        f.write(head + struct.pack("<II", table, 4) + bytes(128 - 32) + records + struct.pack("<I", 128))


def peak_mb(args):
    """Exit code and peak RSS in MB of one run (another program when args start with a path)."""
    cmd = args if args[0].startswith("/") and os.path.isfile(args[0]) else [PAKRILL] + args
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, usage.ru_maxrss / 1024


def hostile_cases(d, tz):
    # Point 1: 4 000 segments each 32 000 bytes before the block's start.
    write(f"{d}/back.pcap", craft.backward(4000))
    rc, err, took, _ = run(["/sstreams", f"{d}/back.raw", "raw", f"{d}/back.pcap"], tz, seconds=2)
    check(rc == 0 and took < (10 if SANITIZED else 2), f"[{tz}] 4000 backward segments: rc {rc}, {took:.1f} s {err}")
    # The same bytes out as in: a stream sent last segment first.
    write(f"{d}/rev.pcap", craft.reverse(3000))
    rc, err, took, _ = run(["/sstreams", f"{d}/rev.raw", "raw", f"{d}/rev.pcap"], tz)
    want = b"".join(bytes([65 + k % 26]) * 1000 for k in reversed(range(3000)))
    with open(f"{d}/rev.raw", "rb") as f:
        check(rc == 0 and f.read() == want, f"[{tz}] a reversed stream is rebuilt byte for byte")

    # Point 2: 2 000 segments each 65 535 bytes past the end, every format.
    write(f"{d}/fwd.pcap", craft.forward(2000))
    for fmt in ("txt", "html", "raw"):
        rc, err, took, rss = run(["/sstreams", f"{d}/fwd.{fmt}", fmt, f"{d}/fwd.pcap"], tz)
        size = os.path.getsize(f"{d}/fwd.{fmt}")
        check(rc == 0 and size < 40 << 20, f"[{tz}] forward gaps {fmt}: rc {rc}, {size} bytes written {err}")
        os.unlink(f"{d}/fwd.{fmt}")
    write(f"{d}/gaps.pcap", craft.httpgaps(8000))
    shutil.rmtree(f"{d}/ex", ignore_errors=True)
    rc, err, took, rss = run(["/sextracthttp", f"{d}/ex", f"{d}/gaps.pcap"], tz)
    check(rc == 0 and os.path.getsize(f"{d}/ex/gaps.txt") <= (4 << 20) + 8000,
          f"[{tz}] an HTTP body of gaps is bounded: rc {rc} {err}")
    if not SANITIZED:  # ASan's shadow memory would dominate the figure
        check(rss < 200, f"[{tz}] peak memory {rss:.0f} MB with 2000 forward gaps")

    # Point 4: chunk extensions, spaces after a size; point 5: COM¹.
    write(f"{d}/names.pcap", craft.http(["chunked.txt;ext", "COM\xb9", "plain"]))
    shutil.rmtree(f"{d}/names", ignore_errors=True)
    rc, err, _, _ = run(["/sextracthttp", f"{d}/names", f"{d}/names.pcap"], tz)
    got = sorted(os.listdir(f"{d}/names".encode()))
    check(rc == 0 and b"chunked.txt" in got and b"_COM\xb9.txt" in got and b"plain.txt" in got,
          f"[{tz}] extraction names {got} rc {rc} {err}")
    if b"chunked.txt" in got:
        with open(f"{d}/names/chunked.txt", "rb") as f:
            check(f.read() == b"hello world, a body of some bytes\n", f"[{tz}] a chunked body with extensions")

    # Point 6: time stamps far beyond 9999 in every zone: a defined result.
    pcapng_far_time(f"{d}/far.pcapng")
    rc, err, _, _ = run(["/stab", f"{d}/far.txt", f"{d}/far.pcapng"], tz)
    with open(f"{d}/far.txt", "rb") as f:
        rows = f.read().decode("latin-1")
    check(rc == 0 and "/9999 " in rows and "10000" not in rows and "runtime error" not in err,
          f"[{tz}] far time stamps: rc {rc} {rows!r} {err}")
    # ... and so in the own packet files and Network Monitor files.
    pkp(f"{d}/far.pkp", [(1 << 64) - 1])
    netmon(f"{d}/far.cap", 30000)
    for name in ("far.pkp", "far.cap"):
        rc, err, _, _ = run(["/stab", f"{d}/far.txt", f"{d}/{name}"], tz)
        with open(f"{d}/far.txt", "rb") as f:
            rows = f.read().decode("latin-1")
        check(rc == 0 and "/9999 " in rows and "30827" not in rows, f"[{tz}] {name}: rc {rc} {rows!r} {err}")

    # Point 7: frames of a supported link type that are not IPv4.
    with open(f"{d}/arp.pcap", "wb") as f:
        f.write(craft.pcap([b"\xff" * 6 + b"\x02" * 6 + b"\x08\x06" + b"\0" * 28] * 3, link=1))
    rc, err, _, _ = run(["/stab", f"{d}/arp.txt", f"{d}/arp.pcap"], tz)
    check(rc == 0 and "3 frames skipped (3 neither IPv4 nor IPv6)" in err, f"[{tz}] non-IPv4 frames explained: {err}")


def dns_answer(answers):
    """A UDP packet from port 53 answering each (name bytes, address)."""
    m = struct.pack(">6H", 1, 0x8180, 0, len(answers), 0, 0)
    for name, addr in answers:
        m += b"".join(bytes([len(label)]) + label for label in name.split(b".")) + b"\0"
        m += struct.pack(">HHIH", 1, 1, 60, 4) + craft.ip(addr)
    u = struct.pack(">HHHH", 53, 5000, 8 + len(m), 0) + m
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(u), 0, 0, 64, 17, 0,
                       craft.ip("10.0.0.53"), craft.ip(craft.CLIENT)) + u


def mmdb(fields):
    """An mmdb file whose one record, for every IPv4 address, is `fields`."""
    def s(b):
        return bytes([0x40 | len(b)]) + b
    record = bytes([0xE0 | len(fields)]) + b"".join(s(k) + s(v) for k, v in fields)
    meta = bytes([0xE3]) + s(b"node_count") + b"\xc1\x01" + s(b"record_size") + b"\xa1\x18" + \
        s(b"ip_version") + b"\xa1\x04"
    return struct.pack(">I", 17)[1:] * 2 + b"\0" * 16 + record + b"\xab\xcd\xefMaxMind.com" + meta


class Tags(html.parser.HTMLParser):
    def __init__(self, text):
        super().__init__()
        self.tags, self.texts, self.open = [], {}, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.open = tag

    def handle_endtag(self, tag):
        self.open = None

    def handle_data(self, data):
        self.texts.setdefault(self.open, "")
        self.texts[self.open] += data


def export_cases(d):
    """Names from DNS answers and texts of a UTF-8 data file and of a
    translation reach every export without breaking it."""
    write(f"{d}/names.pcap", [
        dns_answer([(b"ab\0cd.example", "93.184.216.34"), (b'q"<&>\xb0\x01gar\xc3\xb0.x', "93.184.216.35")]),
        craft.tcp(craft.CLIENT, "93.184.216.34", 1025, 80, 1, b"a"),
        craft.tcp(craft.CLIENT, "93.184.216.35", 1026, 80, 1, b"b")])
    city = "Garðabær\t\r\n,\"<&>€"
    with open(f"{d}/geo.mmdb", "wb") as f:
        f.write(mmdb([(b"country_code", b"IS"), (b"city", city.encode())]))
    # The language file is found beside the program.
    exe = f"{d}/bin/pakrill"
    os.makedirs(f"{d}/bin", exist_ok=True)
    shutil.copy(PAKRILL, exe)
    title = "<script>x</script>" + "T" * 150
    with open(f"{d}/bin/pakrill_lng.ini", "w") as f:
        f.write(f"[general]\ncharset=x'><script>\n[strings]\n8={title}\n22={title}\n1013=Re<i>mote\n")
    cp = "latin-1"
    want = {"ab?cd.example", 'q?<&>°?garÃ°.x', "Iceland, " + city}

    def export(switch, *rest):
        out = f"{d}/out{switch[1:]}"
        # Options may stand between the files.
        p = subprocess.run([exe, "/countrydb", f"{d}/geo.mmdb", switch, out, "/nocapdriver", *rest,
                            f"{d}/names.pcap"], stderr=subprocess.PIPE)
        check(p.returncode == 0, f"{switch}: rc {p.returncode} {p.stderr}")
        with open(out, "rb") as f:
            return f.read()

    items = ET.fromstring(export("/sxml")).findall("item")
    got = {e.text for item in items for e in item if e.text}
    check(len(items) == 3 and want <= got, f"XML: {len(items)} items, {want - got} missing")
    for switch, delimiter in (("/stab", "\t"),):
        rows = list(csv.reader(io.StringIO(export(switch).decode(cp), newline=""), delimiter=delimiter))
        check(len(rows) == 3 and {len(r) for r in rows} == {21}, f"{switch}: rows {rows}")
    text = export("/stext").decode(cp).split("\r\n")
    check(len(text) == 3 * 23 + 1, f"/stext: {len(text)} lines")
    tabular = export("/stabular").decode(cp).split("\r\n")
    check(len(tabular) == 4, f"/stabular: {len(tabular)} lines")
    for switch in ("/shtml", "/sverhtml"):
        page = export(switch)
        tags = Tags(page.decode(cp))
        check("script" not in tags.tags and "meta" not in tags.tags and "i" not in tags.tags and
              tags.texts.get("title") == title and tags.texts.get("h3") == title,
              f"{switch}: tags {set(tags.tags)}, title {tags.texts.get('title')!r}")
        check(b"gar\xc3\xb0" in page and b"&lt;&amp;&gt;&deg;" in page, f"{switch}: UTF-8 bytes and the degree sign")
    page = Tags(export("/sstreams", "html").decode(cp))
    check("script" not in page.tags and page.texts.get("h3") == title, f"stream report: title {page.texts.get('h3')!r}")


def ipv6_cases(d):
    """IPv6 rows in every report format and in the stream report; the
    fixed-width columns grow to the longest address."""
    far = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe"

    def tcp6(src, dst, sport, dport, payload):
        th = struct.pack(">HHIIBBHHH", sport, dport, 1, 0, 5 << 4, 0x18, 65535, 0, 0)
        return struct.pack(">IHBB", 6 << 28, len(th) + len(payload), 6, 64) + \
            socket.inet_pton(socket.AF_INET6, src) + socket.inet_pton(socket.AF_INET6, dst) + th + payload
    packets = [tcp6("2001:db8::1", far, 1025, 80, b"GET /six HTTP/1.0\r\n\r\n"), tcp6("::1", "::1", 5000, 6000, b"x"),
               craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 1, b"abcd")]
    out = b"PKRLF200" + struct.pack("<H", 4) + bytes(4)
    for p in packets:
        out += struct.pack("<HIQ", 24, len(p), 133500000000000000) + b"\2" * 6 + b"\4" * 6 + p
    with open(f"{d}/six.pkp", "wb") as f:
        f.write(out)
    want = [("2001:db8::1", far), ("::1", "::1"), (craft.CLIENT, craft.SERVER)]

    def export(switch, *rest):
        rc, err, _, _ = run([switch, f"{d}/six.out", *rest, f"{d}/six.pkp"])
        check(rc == 0, f"IPv6 {switch}: rc {rc} {err}")
        with open(f"{d}/six.out", "rb") as f:
            return f.read().decode("latin-1")
    items = ET.fromstring(export("/sxml")).findall("item")
    got = [(i.findtext("local_address"), i.findtext("remote_address")) for i in items]
    check(got == want, f"IPv6 XML: {got}")
    got = [(r[2], r[3]) for r in csv.reader(io.StringIO(export("/stab"), newline=""), delimiter="\t")]
    check(got == want, f"IPv6 /stab: {got}")
    # Index and Protocol take 11 and 16 characters, each address 40.
    got = [(line[27:67].rstrip(), line[67:107].rstrip()) for line in export("/stabular").split("\r\n")[:-1]]
    check(got == want, f"IPv6 /stabular: {got}")
    text = export("/stext")
    check(all(f"Local Address     : {a}\r\nRemote Address    : {b}\r\n" in text for a, b in want), "IPv6 /stext")
    for switch in ("/shtml", "/sverhtml"):
        cells = Tags(export(switch)).texts.get("td", "")
        check(all(a in cells and b in cells for a, b in want), f"IPv6 {switch}: {cells!r}")
    page = export("/sstreams", "html")
    check("GET /six HTTP/1.0" in page and far in page, "IPv6 stream report")


def file_cases(d):
    """Conversions that would lose data, cut files, and readers' memory."""
    # Segments an adapter joined past 64 KiB (IP length 0), and a capture's
    # snapshot length: counted whole, where they were left out silently.
    joined = bytearray(craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 1, b"")) + b"j" * 100000
    joined[2:4] = b"\0\0"
    cut = craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 100001, b"c" * 1000)
    with open(f"{d}/joined.pcap", "wb") as f:
        f.write(craft.pcap([craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 0, b"x" * 60000), bytes(joined)])
                + struct.pack("<IIII", 1700000001, 0, 100, len(cut)) + cut[:100])
    rc, err, _, _ = run(["/stab", f"{d}/joined.txt", f"{d}/joined.pcap"])
    with open(f"{d}/joined.txt") as f:
        row = f.read().split("\t")
    check(rc == 0 and row[6] == "3" and row[7] == "126,616 Bytes", f"big and cut frames: rc {rc} {row[6:8]} {err}")
    # A packet file converted onto itself, by another spelling: refused, untouched.
    pkp(f"{d}/self.pkp", [133500000000000000 + i * 10000000 for i in range(50)])
    with open(f"{d}/self.pkp", "rb") as f:
        before = f.read()
    write(f"{d}/self.pcap", [craft.tcp(craft.CLIENT, craft.SERVER, 1, 2, 1, b"abcd")])
    for sw, out in (("/sconvert", f"{d}/self.pkp"), ("/sconvert", f"{d}/./self.pkp"), ("/sstreams", f"{d}/self.pkp"),
                    ("/stab", f"{d}/self.pcap"), ("/sextracthttp", d)):
        inp = out if out.endswith(".pcap") else f"{d}/self.pkp"
        with open(inp, "rb") as f:
            was = f.read()
        if sw == "/sextracthttp":  # a body named as the packet file
            http = [craft.tcp(craft.CLIENT, craft.SERVER, 41000, 80, 1, b"GET /self.pkp HTTP/1.0\r\n\r\n"),
                    craft.tcp(craft.SERVER, craft.CLIENT, 80, 41000, 1, b"HTTP/1.0 200 OK\r\n\r\nnot a packet file")]
            pkp(inp, [133500000000000000 + i * 10000000 for i in range(len(http))], packets=http)
            with open(inp, "rb") as f:
                was = f.read()
        rc, err, _, _ = run([sw, out] + (["raw"] if sw == "/sstreams" else []) + [inp])
        with open(inp, "rb") as f:
            kept = f.read() == was
        check(kept and (sw == "/sextracthttp" or (rc != 0 and "being read" in err)), f"{sw} onto its input: rc {rc} {err}")
    # 2200-01-01 does not fit a classic pcap file: said so; pcapng holds it.
    pkp(f"{d}/late.pkp", [166238784000000000])
    rc, err, _, _ = run(["/sconvert", f"{d}/late.pcap", f"{d}/late.pkp"])
    check(rc == 4 and "2106" in err and not os.path.exists(f"{d}/late.pcap"), f"late pcap: rc {rc} {err}")
    rc, err, _, _ = run(["/sconvert", f"{d}/late.pcapng", f"{d}/late.pkp"])
    check(rc == 0, f"late pcapng: rc {rc} {err}")
    # A packet file cut inside its 14-byte header is damaged.
    for cut in (9, 10, 13):
        pkp(f"{d}/cut.pkp", [], cut)
        rc, err, _, _ = run(["/stext", f"{d}/cut.txt", f"{d}/cut.pkp"])
        check(rc == 3 and "damaged" in err, f"packet file cut at {cut}: rc {rc} {err}")
    # Configuration, language and country files cost a small multiple of
    # their size (4 MiB of blank lines took 566 MB, 50 MB of CSV 1 GB).
    pkp(f"{d}/one.pkp", [133500000000000000])
    with open(f"{d}/blank.cfg", "wb") as f:
        f.write(b"\n" * ((4 << 20) - 1))
    os.makedirs(f"{d}/bin", exist_ok=True)
    shutil.copy(PAKRILL, f"{d}/bin/pakrill")
    shutil.copy(f"{d}/blank.cfg", f"{d}/bin/pakrill_lng.ini")
    with open(f"{d}/list.csv", "wb") as f:
        f.write(b"1,2,,,AU\n0\n" * 2000000)
    one = ["/stext", f"{d}/o.txt", f"{d}/one.pkp"]
    _, base = peak_mb(one + ["/noloadsettings"])
    for what, args, size in (("configuration", one + ["/LoadConfig", f"{d}/blank.cfg"], 4 << 20),
                             ("language", [f"{d}/bin/pakrill"] + one + ["/noloadsettings"], 4 << 20),
                             ("country list", ["/countrydb", f"{d}/list.csv"] + one, os.path.getsize(f"{d}/list.csv"))):
        rc, mb = peak_mb(args)
        times = 15 if SANITIZED else 5  # the sanitizers' own bookkeeping
        check(rc == 0 and mb - base < times * size / (1 << 20), f"{what} of {size >> 20} MiB: rc {rc}, {mb - base:.0f} MB")


def full_disk_cases(d):
    """A 1 MiB tmpfs as the temporary folder and as the output folder."""
    if os.geteuid() != 0:
        print("SKIP full-disk cases: mounting a tmpfs needs root")
        return
    small = f"{d}/small"
    os.mkdir(small)
    if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", small]) != 0:
        print("SKIP full-disk cases: cannot mount a tmpfs here")
        return
    try:
        big = [craft.tcp(craft.CLIENT, craft.SERVER, 40000 + k, 80, 1, b"GET /f%d HTTP/1.1\r\nHost: h\r\n\r\n" % k)
               for k in range(40)]
        for k in range(40):
            big.append(craft.tcp(craft.SERVER, craft.CLIENT, 80, 40000 + k, 1,
                                 b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"b" * 60000))
        write(f"{d}/big.pcap", big)
        # The temporary packet file on the full disk: import fails, exit 4.
        for args in (["/sextracthttp", f"{d}/out"], ["/sstreams", f"{d}/s.raw", "raw"]):
            rc, err, _, _ = run(args + [f"{d}/big.pcap"], env={"TMPDIR": small})
            check(rc == 4 and small in err and "No space left on device" in err,
                  f"temporary file on a full disk ({args[0]}): rc {rc} {err}")
        # Bodies into the full folder: the others still come, each failure named.
        shutil.rmtree(f"{small}/x", ignore_errors=True)
        rc, err, _, _ = run(["/sextracthttp", f"{small}/x", f"{d}/big.pcap"])
        written = len(os.listdir(f"{small}/x"))
        check(rc == 4 and "No space left on device" in err and f"{40 - written} of 40 bodies" in err and
              all(os.path.getsize(f"{small}/x/{n}") == 60000 for n in os.listdir(f"{small}/x")),
              f"bodies into a full folder: rc {rc}, {written} written, {err}")
        shutil.rmtree(f"{small}/x", ignore_errors=True)
        # A stream file and a report on the full disk.
        rc, err, _, _ = run(["/sstreams", f"{small}/s.txt", "txt", f"{d}/big.pcap"])
        check(rc == 4 and f"{small}/s.txt" in err and "No space left on device" in err and
              not os.path.exists(f"{small}/s.txt"), f"stream file on a full disk (no part left): rc {rc} {err}")
        with open(f"{small}/filler", "wb") as f:
            try:
                f.write(b"\0" * (2 << 20))
            except OSError:
                pass
        rc, err, _, _ = run(["/stab", f"{small}/r.txt", f"{d}/big.pcap"])
        check(rc == 4 and f"{small}/r.txt" in err and not os.path.exists(f"{small}/r.txt"),
              f"report on a full disk: rc {rc} {err}")
        # A file written over stays, though its old content is gone.
        with open(f"{small}/old.pcap", "wb"):
            pass
        rc, err, _, _ = run(["/sconvert", f"{small}/old.pcap", f"{d}/big.pcap"])
        check(rc == 4 and os.path.exists(f"{small}/old.pcap"), f"conversion over a file on a full disk: rc {rc} {err}")
    finally:
        subprocess.call(["umount", small])


def main():
    d = tempfile.mkdtemp(prefix="pakrill-hostile-")
    try:
        for tz in ZONES:
            hostile_cases(d, tz)
        export_cases(d)
        ipv6_cases(d)
        file_cases(d)
        full_disk_cases(d)
    finally:
        shutil.rmtree(d, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
