#!/usr/bin/env python3
"""Serves plain, gzip, chunked and chunked+gzip bodies (and a binary one) on
loopback over one keep-alive connection, records the traffic with tcpdump,
and checks that `pakrill /sextracthttp` writes exactly the bodies served and
that `/sstreams ... rawremote` holds exactly the bytes the server sent."""
import gzip, http.client, os, shutil, socket, subprocess, sys, tempfile, threading, time
from http.server import BaseHTTPRequestHandler, HTTPServer

SKIP = 77
pakrill = sys.argv[1]
if os.geteuid() != 0 or not shutil.which("tcpdump"):
    print("skipped: needs root and tcpdump")
    sys.exit(SKIP)

BODIES = {
    "/plain.txt": (b"plain text body\n" * 20, "text/plain", False, False),
    "/zipped.html": (b"<html>" + b"gzip me " * 400 + b"</html>", "text/html", True, False),
    "/chunked.css": (b"body { color: red }\n" * 50, "text/css", False, True),
    "/both.js": (b"var x = 1;\n" * 300, "application/javascript", True, True),
    "/blob": (bytes(range(256)) * 8, "application/octet-stream", False, False),
}
sent = bytearray()

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a):
        pass
    def do_GET(self):
        body, ctype, gz, chunked = BODIES[self.path]
        data = gzip.compress(body) if gz else body
        self.send_response(200)
        self.send_header("Content-Type", ctype)
        if gz:
            self.send_header("Content-Encoding", "gzip")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(0, len(data), 700):
                part = data[i:i + 700]
                self.wfile.write(b"%x\r\n" % len(part) + part + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

tmp = tempfile.mkdtemp()
port = 42000 + os.getpid() % 1000
cap = os.path.join(tmp, "http.pcap")
dump = subprocess.Popen(["tcpdump", "-i", "lo", "-n", "-U", "--immediate-mode", "-w", cap, "tcp", "port", str(port)],
                        stderr=subprocess.PIPE)
deadline = time.time() + 10
while time.time() < deadline and b"listening" not in dump.stderr.read1(200):
    pass
server = HTTPServer(("127.0.0.1", port), Handler)
t = threading.Thread(target=server.serve_forever)
t.start()
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
for path in BODIES:  # one keep-alive connection, one request after the other
    conn.request("GET", path, headers={"Accept-Encoding": "gzip"})
    conn.getresponse().read()
conn.close()
server.shutdown()
time.sleep(0.5)
dump.terminate()
dump.wait(10)

out = os.path.join(tmp, "out")
rc = subprocess.call([pakrill, "/sextracthttp", out, cap])
assert rc == 0, rc
# text/html adds ".htm" to a name ending in ".html"; a type without a name adds its extension.
names = {"/plain.txt": "plain.txt", "/zipped.html": "zipped.html.htm", "/chunked.css": "chunked.css",
         "/both.js": "both.js", "/blob": "blob.bin"}
failed = 0
for path, (body, *_rest) in BODIES.items():
    f = os.path.join(out, names[path])
    ok = os.path.exists(f) and open(f, "rb").read() == body
    print(("ok: " if ok else "FAIL: ") + names[path])
    failed += not ok
print("files:", sorted(os.listdir(out)))

raw = os.path.join(tmp, "remote.dat")
assert subprocess.call([pakrill, "/sstreams", raw, "rawremote", cap]) == 0
data = open(raw, "rb").read()
ok = data.startswith(b"HTTP/1.1 200 OK") and data.count(b"HTTP/1.1 200 OK") == len(BODIES)
print(("ok: " if ok else "FAIL: ") + "raw remote stream holds the %d responses" % len(BODIES))
failed += not ok
html = os.path.join(tmp, "streams.html")
assert subprocess.call([pakrill, "/sstreams", html, "html", cap]) == 0
ok = b"GET /plain.txt" in open(html, "rb").read()
print(("ok: " if ok else "FAIL: ") + "html stream export")
failed += not ok
# Cut by a snapshot length, the capture gives the same rows, and the bodies
# missing bytes are named.
if shutil.which("editcap"):
    cut = os.path.join(tmp, "cut.pcap")
    subprocess.check_call(["editcap", "-s", "300", cap, cut])
    rows = []
    for c in (cap, cut):
        subprocess.check_call([pakrill, "/stab", os.path.join(tmp, "rows.txt"), c, "/noloadsettings"])
        rows.append(open(os.path.join(tmp, "rows.txt"), "rb").read())
    p = subprocess.run([pakrill, "/sextracthttp", os.path.join(tmp, "cutout"), cut], capture_output=True, text=True)
    ok = rows[0] == rows[1] and rows[0] and p.returncode == 0 and "did not hold" in p.stderr
    print(("ok: " if ok else "FAIL: ") + "a capture cut to 300 bytes a packet: " + p.stderr.strip()[-70:])
    failed += not ok
shutil.rmtree(tmp)
sys.exit(1 if failed else 0)
