#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (run once; the seeds are committed)."""
import os, struct

here = os.path.dirname(os.path.abspath(__file__))

def ip(proto, src, dst, sport, dport, payload):
    th = 20 if proto == 6 else 8
    hdr = bytearray(20 + th)
    hdr[0] = 0x45
    struct.pack_into(">H", hdr, 2, 20 + th + len(payload))
    hdr[8] = 64
    hdr[9] = proto
    hdr[12:16] = bytes(map(int, src.split(".")))
    hdr[16:20] = bytes(map(int, dst.split(".")))
    if proto in (6, 17):
        struct.pack_into(">HH", hdr, 20, sport, dport)
    if proto == 6:
        hdr[32] = 0x50
    return bytes(hdr) + payload

def dns(name, addrs):
    m = struct.pack(">HHHHHH", 0x1234, 0x8180, 1, len(addrs), 0, 0)
    for label in name.split("."):
        m += bytes([len(label)]) + label.encode()
    m += b"\0\0\1\0\1"
    for a in addrs:
        m += b"\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4" + bytes(map(int, a.split(".")))
    return m

eth = lambda p, t=0x0800: b"\0\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb" + struct.pack(">H", t) + p
pkts = [ip(17, "10.0.0.1", "10.0.0.5", 53, 4000, dns("web.example", ["10.0.0.9"])),
        ip(6, "10.0.0.5", "10.0.0.9", 1025, 80, b"GET / HTTP/1.0\r\n\r\n"),
        ip(6, "10.0.0.9", "10.0.0.5", 80, 1025, b"HTTP/1.0 200 OK\r\n\r\nhi"),
        ip(1, "10.0.0.7", "10.0.0.5", 0, 0, b"\x08\0" + b"p" * 30)]

def pcap(frames, big=False, nano=False, link=1):
    e = ">" if big else "<"
    out = struct.pack(e + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, 262144, link)
    for i, f in enumerate(frames):
        out += struct.pack(e + "IIII", 1700000000 + i, 1000 * i, len(f), len(f)) + f
    return out

def block(e, t, body):
    body += b"\0" * (-len(body) % 4)
    n = 12 + len(body)
    return struct.pack(e + "II", t, n) + body + struct.pack(e + "I", n)

def pcapng(frames, big=False):
    e = ">" if big else "<"
    out = block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(e, 1, struct.pack(e + "HHI", 1, 0, 262144) + struct.pack(e + "HH", 9, 1) + b"\x09\0\0\0" + b"\0" * 4)
    out += block(e, 1, struct.pack(e + "HHI", 101, 0, 262144))
    out += block(e, 0xBAD, b"xyz")
    for i, f in enumerate(frames):
        ts = (1700000000 + i) * 10**9
        out += block(e, 6, struct.pack(e + "IIIII", 0, ts >> 32, ts & 0xFFFFFFFF, len(f), len(f)) + f)
    out += block(e, 3, struct.pack(e + "I", len(frames[0])) + frames[0])
    return out

def pkp(packets, v6=()):
    # The adapter's IPv6 addresses follow its IPv4 address in the header.
    out = b"PKRLF200" + struct.pack("<H", 4 + 16 * len(v6)) + bytes([10, 0, 0, 5]) + b"".join(v6)
    for i, p in enumerate(packets):
        out += struct.pack("<HIQ", 24, len(p), 133000000000000000 + i) + b"\1" * 6 + b"\2" * 6 + p
    return out

def write(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

frames = [eth(p) for p in pkts]
write("capture_reader", "le.pcap", pcap(frames))
write("capture_reader", "be_nano.pcap", pcap(frames, True, True))
write("capture_reader", "raw.pcap", pcap(pkts, link=101))
write("capture_reader", "le.pcapng", pcapng(frames))
write("capture_reader", "be.pcapng", pcapng(frames, True))
write("packet_file", "two.pkp", pkp(pkts))
write("packet_file", "old.pkp", b"PKRLF100" + pkp(pkts)[8:])
local6, peer6 = bytes.fromhex("20010db8" + "00" * 11 + "05"), bytes.fromhex("20010db8" + "00" * 11 + "09")
tcp6 = struct.pack(">HHIIBBHHH", 80, 1025, 1, 0, 0x50, 0x18, 8192, 0, 0) + b"HTTP/1.0 200 OK\r\n\r\n"
v6pkt = struct.pack(">IHBB", 0x60000000, len(tcp6), 6, 64) + peer6 + local6 + tcp6
write("packet_file", "v6.pkp", pkp([v6pkt] + pkts, [local6, bytes(15) + b"\1"]))
for i, f in enumerate(frames):
    write("frame", "eth%d" % i, b"\1" + f)
write("frame", "vlan", b"\1" + eth(b"\0\x64\x08\0" + pkts[1], 0x8100))
write("frame", "sll", b"\7" + b"\0\4\0\1\0\6" + b"\1" * 8 + b"\x08\0" + pkts[1])
write("frame", "wifi", b"\5" + b"\x08" + b"\0" * 29 + b"\x08\0" + pkts[2])
write("frame", "netmon_wifi", b"\x0b" + b"\x02\x20" + b"\0" * 30 + b"\x08" + b"\0" * 23 + bytes.fromhex("aaaa030000000800") + pkts[2])
for i, p in enumerate(pkts):
    write("decode", "p%d" % i, p)
write("decode", "dns_tcp", ip(6, "10.0.0.1", "10.0.0.5", 53, 4000, struct.pack(">H", len(dns("a.b", ["1.2.3.4"]))) + dns("a.b", ["1.2.3.4"])))
# IPv6: an extension chain, fragments of one datagram behind two-byte
# lengths (the decode target also reads its input so), a jumbogram, ICMPv6.
def ip6(nxt, body, src=1, dst=2, plen=None):
    return (struct.pack(">IHBB", 0x60000000, len(body) if plen is None else plen, nxt, 64) +
            bytes(15) + bytes([src]) + bytes(15) + bytes([dst]) + body)
def ext6(nxt):
    return bytes([nxt, 0, 1, 4, 0, 0, 0, 0])
udp6 = struct.pack(">HHHH", 4000, 53, 108, 0) + b"q" * 100
frags6 = [ip6(44, struct.pack(">BBHI", 60, 0, 1, 7) + ext6(17) + udp6[:40]),
          ip6(44, struct.pack(">BBHI", 60, 0, 6 << 3 | 1, 7) + udp6[40:80]),
          ip6(44, struct.pack(">BBHI", 60, 0, 1, 7) + ext6(17) + udp6[:40]),
          ip6(44, struct.pack(">BBHI", 17, 0, 11 << 3, 7) + udp6[80:])]
write("decode", "v6_chain", ip6(0, ext6(60) + ext6(43) + ext6(17) + udp6))
write("decode", "v6_fragments", b"".join(struct.pack(">H", len(f)) + f for f in frags6))
write("decode", "v6_jumbo", ip6(0, bytes([17, 0, 0xC2, 4, 0, 1, 0x11, 0x70]) + udp6, plen=0))
write("decode", "v6_icmp", ip6(58, bytes([128, 0, 0, 0, 0, 1, 0, 1]) + b"ping", 1, 1))

# Streams: packets behind two-byte lengths. A UDP datagram in IPv4
# fragments sent 2, 3, 1, a reply, then 2 again; a TCP exchange with a
# segment out of order and one sent twice; the IPv6 fragments above.
def frag4(datagram, ident, start, end, more):
    h = bytearray(datagram[:20])
    struct.pack_into(">HHH", h, 2, 20 + end - start, ident, (start // 8) | (0x2000 if more else 0))
    return bytes(h) + datagram[20 + start:20 + end]
def pieces(ps):
    return b"".join(struct.pack(">H", len(p)) + p for p in ps)
dg = ip(17, "10.0.0.5", "10.0.0.9", 4000, 53, b"a" * 24 + b"b" * 16 + b"c" * 12)
write("stream", "v4_fragments", pieces([frag4(dg, 9, 16, 32, True), frag4(dg, 9, 32, 60, False),
                                        frag4(dg, 9, 0, 16, True),
                                        ip(17, "10.0.0.9", "10.0.0.5", 53, 4000, b"reply"),
                                        frag4(dg, 9, 16, 32, True)]))
def tcp(src, dst, sport, dport, seq, payload):
    p = bytearray(ip(6, src, dst, sport, dport, payload))
    struct.pack_into(">I", p, 24, seq)
    return bytes(p)
write("stream", "tcp", pieces([tcp("10.0.0.5", "10.0.0.9", 1025, 80, 100, b"GET / HTTP/1.0\r\n\r\n"),
                               tcp("10.0.0.9", "10.0.0.5", 80, 1025, 520, b"hi"),
                               tcp("10.0.0.9", "10.0.0.5", 80, 1025, 500, b"HTTP/1.0 200 OK\r\n\r\n"),
                               tcp("10.0.0.5", "10.0.0.9", 1025, 80, 100, b"GET / HTTP/1.0\r\n\r\n")]))
write("stream", "v6_fragments", pieces(frags6))
write("frame", "eth_v6", b"\1" + eth(frags6[0], 0x86DD))
write("frame", "null_v6", b"\0" + struct.pack("<I", 30) + frags6[1])
write("frame", "sll_v6", b"\7" + b"\0\4\0\1\0\6" + b"\1" * 8 + b"\x86\xdd" + ip6(58, b"\x81" + bytes(11)))
write("dns", "answer", dns("www.example.org", ["93.184.216.34", "93.184.216.35"]))
write("dns", "loop", bytes([0, 0, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4]))
write("filter", "examples", b"include:remote:tcp:80\r\ninclude:both:udp:53-139\r\nexclude:both:tcpudp:192.168.0.1-192.168.0.100")
write("filter", "odd", b"TCP:Include:Both:8080 a:b:c include::tcp:80 include:remote:all:1.2-0x0a.0.0.9 exclude:local:icmp:70000")
write("filter", "ipv6", b"include:both:tcp:[2001:db8::1]-[2001:db8::ff] exclude:remote:all:[::1] include:local:udp:[::ffff:10.0.0.1]")
write("filter", "brackets", b"include:both:all:[ include:both:all:[[ exclude:local:all:]-[ include:[both:tcp:80 include:remote:all:[::1]x-[1.2.3.4]")
write("config", "sample.cfg", b"[General]\r\nDisplayMode=3\r\nCaptureFilter=41 42 00\r\nWinPos=2C 00 00 00\r\n"
      b"Columns=3C 00 00 00 3C 00 01 00\r\nPCapAdapterName=\\Device\\NPF_{1}\r\n[Other]\r\nx=y\r\n")
write("placement", "segments", struct.pack(">IB", 1000, 5) + b"hello" + struct.pack(">IB", 990, 10) + b"0123456789"
      + struct.pack(">IB", 0xFFFFFF00, 4) + b"wrap" + struct.pack(">IB", 1100, 3) + b"gap")
import zlib
gz = zlib.compressobj(6, zlib.DEFLATED, 31)
body = gz.compress(b"hello " * 50) + gz.flush()
write("http", "request", b"GET /dir/page.php?id=7 HTTP/1.1\r\nHost: h\r\n\r\nPOST /f HTTP/1.1\r\nHost: h\r\n\r\n")
write("http", "gzip_chunked", b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"
      + b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n")

# Issue 14's reproducer shapes, small enough for -max_len.
def tcp(src, dst, sport, dport, seq, payload):
    p = bytearray(ip(6, src, dst, sport, dport, payload))
    struct.pack_into(">I", p, 24, seq & 0xFFFFFFFF)
    return bytes(p)

def pcapng_resol(ts_list, resol):
    e = "<"
    out = block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(e, 1, struct.pack(e + "HHI", 101, 0, 262144) + struct.pack(e + "HH", 9, 1) + bytes([resol, 0, 0, 0]) + b"\0" * 4)
    for ts in ts_list:
        f = pkts[1]
        out += block(e, 6, struct.pack(e + "IIIII", 0, ts >> 32, ts & 0xFFFFFFFF, len(f), len(f)) + f)
    return out

back = [tcp("10.0.0.1", "10.0.0.2", 4000, 80, 0x40000000 - k * 32000, b"x") for k in range(1000)]
fwd = [tcp("10.0.0.1", "10.0.0.2", 4000, 80, 0x20000000 + k * 65536, b"y") for k in range(1000)]
write("capture_reader", "backward.pcap", pcap(back, link=101))
write("capture_reader", "forward.pcap", pcap(fwd, link=101))
write("capture_reader", "far_time.pcapng", pcapng_resol([920000000000, (1 << 64) - 1, 1700000000], 0))
write("capture_reader", "radiotap.pcap", pcap([b"\0\0\x0c\0" + b"\0" * 8 + b"\x08" + b"\0" * 29 + b"\x08\0" + pkts[2]], link=127))
write("capture_reader", "padded.pcap", pcap([eth(tcp("10.0.0.1", "10.0.0.2", 4000, 80, 7, b"x")).ljust(60, b"\xee")]))
seg = lambda seq, data: struct.pack(">IB", seq & 0xFFFFFFFF, len(data)) + data
write("placement", "backward", b"".join(seg(0x40000000 - k * 32000, b"x") for k in range(2000)))
write("placement", "forward", b"".join(seg(0x20000000 + k * 65536, b"y") for k in range(2000)))
write("placement", "reverse", b"".join(seg(0x1000 + k * 200, bytes([65 + k % 26]) * 200) for k in reversed(range(300))))
write("placement", "http_gaps", seg(1, b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")
      + b"".join(seg(46 + k * 65536, b"z") for k in range(1, 1000)))
write("http", "chunk_ext", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n6  \r\n world\r\n0\r\n\r\n")
write("http", "reserved", b"GET /COM\xb9 HTTP/1.1\r\nHost: h\r\n\r\n")
write("http", "long_name", b"GET /" + b"n" * 300 + b".txt HTTP/1.1\r\nHost: h\r\n\r\n")
write("config", "out_of_range.cfg", b"[General]\r\nHexDumpMaxSize=-5\r\nHexDumpCharsPerLine=99999\r\nDisplayMode=-1\r\n"
      b"MaxDataSizeDisplay=4294967295\r\nForeColorLocal=-1\r\n")
# Country databases: a two-network legacy city tree, an mmdb of each record layout, a CSV.
def legacy_city():
    # node 0: 0 -> node 1, 1 -> not found; node 1: 0 -> record A, 1 -> record B
    seg = 2
    recs = b"\0" + bytes([225]) + b"CA\0Mountain View\0" + b"94043\0" + b"\x11" * 6
    b_off = len(recs)
    recs += bytes([56]) + b"16\0Berlin\0\0" + b"\x11" * 6
    le = lambda v: struct.pack("<I", v)[:3]
    tree = le(1) + le(seg) + le(seg + 1) + le(seg + b_off)
    return tree + recs + b"\xff\xff\xff\x02" + le(seg)

def mm_head(t, n):
    ext = b""
    if t > 7:
        ext, t = bytes([t - 7]), 0
    return bytes([t << 5 | n]) + ext

def mm_str(s):
    return mm_head(2, len(s)) + s.encode()

def mm_map(d):
    return mm_head(7, len(d)) + b"".join(mm_str(k) + v for k, v in d.items())

def mm_uint(t, v, n):
    return mm_head(t, n) + v.to_bytes(n, "big")

def mmdb(record, nested):
    # one node: 0 -> not found (1), 1 -> the record at data offset 0
    tree = struct.pack(">I", 1)[1:] + struct.pack(">I", 1 + 16)[1:]
    meta = mm_map({"node_count": mm_uint(6, 1, 4), "record_size": mm_uint(5, 24, 2),
                   "ip_version": mm_uint(5, 4, 2)})
    return tree + b"\0" * 16 + record + b"\xab\xcd\xefMaxMind.com" + meta

write("geo_legacy", "city", legacy_city())
write("mmdb", "nested", mmdb(mm_map({"country": mm_map({"iso_code": mm_str("US")}),
                                     "city": mm_map({"names": mm_map({"en": mm_str("Austin")})}),
                                     "subdivisions": mm_head(0, 1) + b"\x04" + mm_map({"iso_code": mm_str("TX")}),
                                     "postal": mm_map({"code": mm_str("78701")})}), True))
write("mmdb", "flat", mmdb(mm_map({"country_code": mm_str("US"), "city": mm_str("Austin"),
                                   "state1": mm_str("Texas"), "postcode": mm_str("78701")}), False))
write("country_csv", "rows", b'# c\r\n"16777216","16777471","apnic","1","AU","AUS","Australia"\n'
      b" 16777472 , 16778239 ,x,1, CN \r16777216,16777471,x,1,US\n33554432,50331647\n")
# A Network Monitor 2.0 file whose frame table names one frame over and over:
# the frames delivered must stay within what the file holds.
def netmon_same_frame(frame, entries):
    head = bytearray(128)
    head[0:4] = b"GMBU"
    head[5] = 2
    struct.pack_into("<H8H", head, 6, 1, 2023, 11, 2, 14, 23, 13, 20, 500)
    body = struct.pack("<IIII", 0, 0, len(frame), len(frame)) + frame
    struct.pack_into("<II", head, 24, 128 + len(body), 4 * entries)
    return bytes(head) + body + struct.pack("<I", 128) * entries

write("netmon", "same_frame.cap", netmon_same_frame(eth(ip(17, "10.0.0.1", "10.0.0.2", 1, 2, b"z" * 1400)), 4000))
# IPv6: packets behind a hop-by-hop header, and country databases with IPv6 networks.
def v6(p, hop=True):
    ihl = (p[0] & 15) * 4
    ext = bytes([p[9], 0, 1, 4, 0, 0, 0, 0]) if hop else b""
    body = ext + p[ihl:]
    addr = lambda a: bytes.fromhex("20010db8" + "00" * 11) + bytes([int(a.split(".")[3])])
    src, dst = "%d.%d.%d.%d" % tuple(p[12:16]), "%d.%d.%d.%d" % tuple(p[16:20])
    return struct.pack(">IHBB", 6 << 28, len(body), 0 if hop else p[9], 64) + addr(src) + addr(dst) + body

aaaa = dns("six.example", [])[:7] + b"\1" + dns("six.example", [])[8:] + b"\xc0\x0c\0\x1c\0\1\0\0\0\x3c\0\x10" + bytes(range(16))
write("decode", "dns6", v6(ip(17, "10.0.0.1", "10.0.0.5", 53, 4000, aaaa)))
with open(os.path.join(here, "corpus", "tls", "segments"), "rb") as f:
    segs = f.read()
out, pos = b"", 0
while pos + 2 <= len(segs):
    n = struct.unpack(">H", segs[pos:pos + 2])[0]
    p6 = v6(segs[pos + 2:pos + 2 + n])
    out += struct.pack(">H", len(p6)) + p6
    pos += 2 + n
write("tls", "segments6", out)
def tree6(leaf_bits, leaf, rec, missing):
    # node i follows bit i of the network to node i + 1 (the last one to the leaf), the other bit to `missing`
    nxt = lambda i: i + 1 if i + 1 < len(leaf_bits) else leaf
    return b"".join(rec(nxt(i), missing) if b == 0 else rec(missing, nxt(i)) for i, b in enumerate(leaf_bits))
# 2001::/16 -> the record
bits = [int(c) for c in format(0x2001, "016b")]
le24 = lambda a, b: struct.pack("<I", a)[:3] + struct.pack("<I", b)[:3]
write("geo_legacy", "country6", tree6(bits, 16776960 + 225, le24, 16776960) + b"\xff\xff\xff\x0c")
be24 = lambda a, b: struct.pack(">I", a)[1:] + struct.pack(">I", b)[1:]
meta6 = mm_map({"node_count": mm_uint(6, 16, 4), "record_size": mm_uint(5, 24, 2), "ip_version": mm_uint(5, 6, 2)})
write("mmdb", "six", tree6(bits, 16 + 16, be24, 16) + b"\0" * 16 + mm_map({"country_code": mm_str("US")})
      + b"\xab\xcd\xefMaxMind.com" + meta6)
