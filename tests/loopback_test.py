#!/usr/bin/env python3
"""Records loopback traffic that this test makes, with tcpdump, and checks the
rows of `pakrill /stab` against what was sent. Needs root; skips otherwise."""
import os, shutil, socket, subprocess, sys, tempfile, threading, time

SKIP = 77
pakrill = sys.argv[1]
if os.geteuid() != 0 or not shutil.which("tcpdump"):
    print("skipped: needs root and tcpdump")
    sys.exit(SKIP)

tmp = tempfile.mkdtemp()
rows_by_variant = {}
for variant, extra in (("micro", []), ("nano", ["--time-stamp-precision=nano"])):
    cap = os.path.join(tmp, variant + ".pcap")
    base = 40000 + (os.getpid() % 1000) * 10 + (5 if variant == "nano" else 0)
    dump = subprocess.Popen(["tcpdump", "-i", "lo", "-n", "-U", "--immediate-mode", "-w", cap] + extra +
                            ["host", "127.0.0.1", "and", "portrange", "%d-%d" % (base, base + 4)],
                            stderr=subprocess.PIPE)
    # Wait until tcpdump listens (bounded).
    deadline = time.time() + 10
    while time.time() < deadline and b"listening" not in dump.stderr.read1(200):
        pass

    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", base))
    for _ in range(3):
        udp.sendto(b"u" * 100, ("127.0.0.1", base + 1))
    udp.sendto(b"b" * 20000, ("127.0.0.1", base + 2))  # one large datagram

    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", base + 3))
    srv.listen(1)
    def serve():
        c, _ = srv.accept()
        got = b""
        while len(got) < 500:
            got += c.recv(4096)
        c.sendall(b"r" * 1200)
        c.close()
    t = threading.Thread(target=serve)
    t.start()
    cli = socket.create_connection(("127.0.0.1", base + 3), timeout=5)
    cli.sendall(b"q" * 500)
    got = b""
    while len(got) < 1200:
        chunk = cli.recv(4096)
        if not chunk:
            break
        got += chunk
    cli.close()
    t.join(5)
    time.sleep(0.5)
    dump.terminate()
    dump.wait(10)

    out = os.path.join(tmp, variant + ".txt")
    rc = subprocess.call([pakrill, "/stab", out, cap])
    assert rc == 0, "pakrill /stab exited with %d" % rc
    data = open(out, "rb").read().decode()
    rows = [r.split("\t") for r in data.split("\r\n") if r]
    assert all(len(r) == 21 and r[-1] == "" for r in rows), rows
    # Columns: 0 index 1 protocol 2/3 addresses 4/5 ports 6 packets 7 total 11 data
    def find(proto, port):
        hits = [r for r in rows if r[1] == proto and port in (r[4], r[5])]
        assert len(hits) == 1, (proto, port, rows)
        return hits[0]
    u = find("UDP", str(base + 1))
    assert (u[6], u[11]) == ("3", "300 Bytes"), u
    big = find("UDP", str(base + 2))
    assert big[11] == "20,000 Bytes", big
    tcp = find("TCP", str(base + 3))
    assert tcp[11] == "1,700 Bytes", tcp
    assert tcp[2] == tcp[3] == "127.0.0.1"
    # The local side is the sender of the first data packet: the client.
    assert tcp[5] == str(base + 3), tcp
    assert int(tcp[0]) == 3, tcp
    rows_by_variant[variant] = rows

print("ok: %d and %d conversations" % tuple(len(v) for v in rows_by_variant.values()))
shutil.rmtree(tmp)
