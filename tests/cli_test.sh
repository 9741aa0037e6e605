#!/bin/sh
# The command line as a user meets it: usage, errors, a report.
set -u
PAKRILL=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$PAKRILL" >/dev/null 2>&1 && fail "no arguments must not succeed"
"$PAKRILL" --help | grep -q "/sxml OUT CAPTURE" || fail "--help prints the usage"
"$PAKRILL" /stab "$dir/out.txt" /nonexistent 2>"$dir/err" && fail "missing capture succeeded"
grep -q "/nonexistent" "$dir/err" || fail "the error names the file"
[ -e "$dir/out.txt" ] && fail "no report may be written for a missing capture"
"$PAKRILL" /stab "$dir/out.txt" 2>/dev/null; [ $? -eq 2 ] || fail "missing argument is a usage error"

# Countries from a database named on the command line.
python3 - "$dir" <<'EOF'
import struct, sys
d = sys.argv[1]
payload = b"hello"
ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 28 + len(payload), 0, 0, 64, 17, 0,
                 bytes([1, 0, 0, 5]), bytes([8, 8, 8, 8])) + struct.pack(">HHHH", 5000, 53, 8 + len(payload), 0) + payload
with open(d + "/c.pcap", "wb") as f:
    f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
    f.write(struct.pack("<IIII", 1700000000, 0, len(ip), len(ip)) + ip)
with open(d + "/IpToCountry.csv", "w") as f:
    f.write('# ranges\n"16777216","16777471","apnic","1","AU","AUS","Australia"\n134744064,134744319,x,1,US\n')
EOF
"$PAKRILL" /countrydb "$dir/IpToCountry.csv" /stab "$dir/c.txt" "$dir/c.pcap" || fail "report with a country database"
grep -q "Australia	United States	" "$dir/c.txt" || fail "country columns: $(cat "$dir/c.txt")"
"$PAKRILL" /countrydb "$dir/none.csv" /stab "$dir/c.txt" "$dir/c.pcap" 2>/dev/null && fail "a missing database must fail"
echo ok
