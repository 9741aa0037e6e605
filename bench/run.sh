#!/bin/bash
# Side-by-side measurements on one generated capture:
#   rebuild with the hash index vs. a linear scan vs. reading the file (cat),
#   `pakrill /stab` vs. tcpdump's plain read vs. tshark's conversation tables,
#   peak memory against the number of conversations and of packets,
#   loading one small conversation by its record index vs. the full scan,
#   reassembling one large download vs. cat of the same records,
#   the scale points: 200 000 and 2 000 000 conversations, in IPv4 and in
#   IPv6, each beside tcpdump, with bytes per conversation and the cost per
#   packet of the one against the other.
# Usage: bench/run.sh [PACKETS [CONVERSATIONS [LARGE_MB]]]
#   (default 2500000 250000 200: a packet file of about 600 MB)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
scripts/setup
for p in tshark tcpdump time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
done
PACKETS=${1:-2500000}
CONVS=${2:-250000}
LARGE_MB=${3:-200}
OUT=bench/out
mkdir -p $OUT
# Reports go to memory where there is a memory file system: tcpdump writes
# to /dev/null, and a report of hundreds of megabytes on disk would be
# timed with the disk's write-back of the run before, not with Pakrill.
REPORTS=$OUT
[ -d /dev/shm ] && [ -w /dev/shm ] && REPORTS=$(mktemp -d /dev/shm/pakrill-bench.XXXXXX)
# The captures are large and made again in seconds: none outlives the run.
trap 'rm -f $OUT/*.pcap $OUT/*.pkp $OUT/*.pkp.large $OUT/params $REPORTS/r*.txt $REPORTS/report.txt
      [ "$REPORTS" = "$OUT" ] || rmdir "$REPORTS"' EXIT
build_preset bench >/dev/null
build_preset release >/dev/null
GEN=build/bench/bench/bench_gen
PAKRILL=build/release/pakrill

[ -f $OUT/capture.pcap ] && [ "$(cat $OUT/params 2>/dev/null)" = "$PACKETS $CONVS $LARGE_MB" ] ||
  { $GEN "$PACKETS" "$CONVS" $OUT/capture.pkp $OUT/capture.pcap "$LARGE_MB" &&
    echo "$PACKETS $CONVS $LARGE_MB" >$OUT/params; }
$GEN $((CONVS * 2)) "$CONVS" $OUT/few_packets.pkp $OUT/few_packets.pcap >/dev/null
$GEN "$PACKETS" $((CONVS / 10)) $OUT/few_convs.pkp $OUT/few_convs.pcap >/dev/null

secs() {  # best of three wall-clock runs of a command, in seconds
  local best=999999
  for _ in 1 2 3; do
    local s e
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    e=$(date +%s.%N)
    best=$(python3 -c "print(min($best, $e - $s))")
  done
  echo "$best"
}
peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {gsub(/ /,"",$2); print $2}'; }

cat $OUT/capture.pkp $OUT/capture.pkp.large $OUT/capture.pcap >/dev/null  # into the page cache
echo "== capture: $PACKETS packets, $CONVS conversations, one download of $LARGE_MB MB"
ls -l $OUT/capture.pkp $OUT/capture.pkp.large $OUT/capture.pcap | awk '{print "   " $5 " bytes  " $9}'

echo "== rebuild (Google Benchmark)"
PAKRILL_BENCH_PKP=$OUT/capture.pkp build/bench/bench/pakrill_bench \
  --benchmark_format=console --benchmark_counters_tabular=true 2>/dev/null | tee $OUT/bench.txt
cat_s=$(secs sh -c "cat $OUT/capture.pkp > /dev/null")
cat_large_s=$(secs sh -c "cat $OUT/capture.pkp.large > /dev/null")
large_bytes=$(stat -c %s $OUT/capture.pkp.large)

stab_s=$(secs $PAKRILL /stab $REPORTS/report.txt $OUT/capture.pcap)
tcpdump_s=$(secs tcpdump -r $OUT/capture.pcap -w /dev/null)
import_s=$(secs build/bench/bench/bench_import $OUT/capture.pcap)
tshark_start=$(date +%s.%N)
tshark -q -z conv,tcp -z conv,udp -r $OUT/capture.pcap >/dev/null 2>&1 || true
tshark_s=$(python3 -c "import time; print(time.time() - $tshark_start)")

python3 - "$OUT/bench.txt" "$PACKETS" "$cat_s" "$stab_s" "$tcpdump_s" "$tshark_s" "$cat_large_s" "$large_bytes" "$import_s" <<'PY'
import re, sys
txt, packets = open(sys.argv[1]).read(), int(sys.argv[2])
cat_s, stab, tcpd, tsh, cat_large_s, large_bytes, imp = map(float, sys.argv[3:])
def rate(name):
    m = re.search(name + r".*?([\d.]+)([kMG]?)/s", txt)
    return float(m.group(1)) * {"": 1, "k": 1e3, "M": 1e6, "G": 1e9}[m.group(2)] if m else float("nan")
def ms(name):
    m = re.search(name + r"\S*\s+([\d.]+) (us|ms)", txt)
    return float(m.group(1)) * (1e-3 if m.group(2) == "us" else 1) if m else float("nan")
rebuild, read, idx, lin = rate("BM_RebuildFromFile"), rate("BM_ReadPacketFile"), rate("BM_LookupIndexed"), rate("BM_LookupLinearScan")
cat_rate = packets / cat_s
print("== side by side")
print(f"   cat file > /dev/null          {cat_rate/1e6:8.2f} M packets/s")
print(f"   packet file read only         {read/1e6:8.2f} M packets/s")
print(f"   RebuildFromFile (hash index)  {rebuild/1e6:8.2f} M packets/s   cat/rebuild = {cat_rate/rebuild:.2f}x (goal <= 3x)")
print(f"   lookup, hash index            {idx/1e6:8.2f} M lookups/s")
print(f"   lookup, linear scan           {lin/1e6:8.4f} M lookups/s   index/scan = {idx/lin:.0f}x")
print(f"   pakrill /stab (pcap)          {stab:8.2f} s")
print(f"   tcpdump -r -w /dev/null       {tcpd:8.2f} s   stab/tcpdump = {stab/tcpd:.2f}x (goal <= 2x)")
print(f"   tshark -z conv,tcp -z conv,udp {tsh:7.2f} s   tshark/stab = {tsh/stab:.1f}x (goal >= 20x)")
print(f"   window import + rebuild (pcap) {imp:7.2f} s   import/stab = {imp/stab:.2f}x (goal <= 2.5x)")
idx_ms, scan_ms = ms("BM_LoadConversationIndexed"), ms("BM_LoadConversationFullScan")
print(f"   load small conversation, index {idx_ms:8.3f} ms")
print(f"   load small conversation, scan  {scan_ms:8.1f} ms   scan/index = {scan_ms/idx_ms:.0f}x (goal >= 100x)")
cat_large = large_bytes / cat_large_s
alone, mixed, read_large = rate("BM_ReassembleLargeAlone"), rate("BM_ReassembleLargeIndexed"), rate("BM_ReadLargeRecordsLikeCat")
print(f"   cat of the download's records  {cat_large/1e6:8.0f} MB/s")
print(f"   fread of the same (in-process) {read_large/1e6:8.0f} MB/s")
print(f"   reassembly of those records    {alone/1e6:8.0f} MB/s   cat/reassembly = {cat_large/alone:.2f}x (goal <= 3x)")
print(f"   reassembly, indexed, in the full capture {mixed/1e6:6.0f} MB/s of its records (reads the records between them too)")
PY
echo "== peak memory (kB) on the full capture"
echo "   pakrill /stab:               $(peak_kb $PAKRILL /stab $REPORTS/r0.txt $OUT/capture.pcap)"
echo "   window import + rebuild:     $(peak_kb build/bench/bench/bench_import $OUT/capture.pcap)"
echo "   tcpdump -r -w /dev/null:     $(peak_kb tcpdump -r $OUT/capture.pcap -w /dev/null)"
echo "   tshark conversation tables:  $(peak_kb tshark -q -z conv,tcp -z conv,udp -r $OUT/capture.pcap)"
echo "== peak memory of pakrill /stab (kB)"
echo "   $PACKETS packets, $CONVS conversations:   $(peak_kb $PAKRILL /stab $REPORTS/r1.txt $OUT/capture.pcap)"
echo "   $((CONVS * 2)) packets, $CONVS conversations:    $(peak_kb $PAKRILL /stab $REPORTS/r2.txt $OUT/few_packets.pcap)"
echo "   $PACKETS packets, $((CONVS / 10)) conversations:    $(peak_kb $PAKRILL /stab $REPORTS/r3.txt $OUT/few_convs.pcap)"

# Scale: cost per packet and memory per conversation at 200 000 and at
# 2 000 000 conversations (2 and 4 million packets), for the capture in IPv4
# and the same capture in IPv6. At each point Pakrill and tcpdump run
# alternately, five times each, and the best wall and the best CPU seconds
# (user + system) of each count: the machine may be shared, and what others
# run then weighs on both alike. The report of a run is deleted before the
# next, so that no run pays for truncating the one before it.
side_by_side() {  # CAPTURE: stab wall, CPU, peak kB; tcpdump wall, CPU; /stab's two phases
  local sw=999999 sc=999999 tw=999999 tc=999999 peak=0 lw=999999 rw=999999 w u s m l r
  for _ in 1 2 3 4 5; do
    rm -f $REPORTS/r_scale.txt
    read -r w u s m <<<"$(/usr/bin/time -f "%e %U %S %M" $PAKRILL /stab $REPORTS/r_scale.txt "$1" 2>&1 >/dev/null | tail -1)"
    sw=$(python3 -c "print(min($sw, $w))"); sc=$(python3 -c "print(min($sc, $u + $s))"); peak=$m
    read -r w u s m <<<"$(/usr/bin/time -f "%e %U %S %M" tcpdump -r "$1" -w /dev/null 2>&1 >/dev/null | tail -1)"
    tw=$(python3 -c "print(min($tw, $w))"); tc=$(python3 -c "print(min($tc, $u + $s))")
    rm -f $REPORTS/r_scale.txt
    read -r l r _ <<<"$(build/bench/bench/bench_stab_phases $REPORTS/r_scale.txt "$1")"
    lw=$(python3 -c "print(min($lw, $l))"); rw=$(python3 -c "print(min($rw, $r))")
  done
  echo "$sw $sc $peak $tw $tc $lw $rw"
}
echo "== scale: /stab against tcpdump at 200 000 and 2 000 000 conversations, IPv4 and IPv6, small and large packets"
points=()
# The third capture is the first in IPv4 with packets of 700 bytes on
# average (1.4 and 2.8 GB at the first two points), as on a busy link;
# with small packets the per-conversation work (a record, a row) weighs
# more against the per-packet work at two packets a conversation.
for family in 4 6 4L; do
  for point in "2000000 200000" "4000000 2000000" "400000 200000"; do
    read -r pk cv <<<"$point"
    flag=(); [ $family = 6 ] && flag=(-6); [ $family = 4L ] && flag=(-p 1268)
    $GEN "${flag[@]}" "$pk" "$cv" $OUT/scale.pkp $OUT/scale.pcap >/dev/null
    rm -f $OUT/scale.pkp
    cat $OUT/scale.pcap >/dev/null
    points+=("$family $pk $cv $(side_by_side $OUT/scale.pcap) $(wc -l <$REPORTS/r_scale.txt)")
    rm -f $OUT/scale.pcap $REPORTS/r_scale.txt
  done
done
python3 - "${points[@]}" <<'PY'
import sys
rows = [a.split() for a in sys.argv[1:]]
for family in ("4", "6", "4L"):
    pts = [r for r in rows if r[0] == family]
    print("   IPv4, packets of 700 bytes on average:" if family == "4L" else f"   IPv{family}:")
    for k, (_, pk, cv, sw, sc, peak, tw, tc, lw, rw, n) in enumerate(pts):
        pk, cv, sw, sc, peak, tw, tc, n = int(pk), int(cv), float(sw), float(sc), float(peak), float(tw), float(tc), int(n)
        print(f"   {cv:>9} conversations, {pk} packets, {n} rows:")
        print(f"      pakrill /stab   {sw:6.2f} s wall {sc:6.2f} s CPU  {peak/1024:7.1f} MB peak   {peak*1024/cv:6.0f} bytes per conversation")
        print(f"      tcpdump -r      {tw:6.2f} s wall {tc:6.2f} s CPU   stab/tcpdump = {sw/tw:.2f}x wall, {sc/tc:.2f}x CPU "
              + ("(goal <= 1x)" if k == 0 else "(goal <= 2x)" if k == 1 else ""))
        print(f"      its phases      {float(lw):6.2f} s reading and accounting ({float(lw)*1e9/pk:.0f} ns a packet), "
              f"{float(rw):.2f} s writing the rows ({float(rw)*1e9/max(n, 1):.0f} ns a row)")
        if n == 0:
            print("      (no rows: this build does not decode these frames)")
    (_, p1, c1, w1, s1, m1, *_), (_, p2, c2, w2, s2, m2, *_), (_, p3, c3, w3, s3, *_) = pts
    p1, c1, w1, s1, m1, p2, c2, w2, s2, m2 = int(p1), int(c1), float(w1), float(s1), float(m1), int(p2), int(c2), float(w2), float(s2), float(m2)
    p3, c3, w3, s3 = int(p3), int(c3), float(w3), float(s3)
    print(f"   bytes per conversation added from {c1} to {c2}: {(m2-m1)*1024/(c2-c1):.0f} (goal <= 160)")
    print(f"   cost per packet, {c2} against {c1} conversations: {(w2/p2)/(w1/p1):.2f}x wall, "
          f"{(s2/p2)/(s1/p1):.2f}x CPU (goal <= 1.3x)")
    l1, l2 = float(pts[0][8]), float(pts[1][8])
    print(f"   the same, reading and accounting alone (without the rows, {int(pts[0][10])} against {int(pts[1][10])}): "
          f"{(l2/p2)/(l1/p1):.2f}x wall")
    # The two points above differ in more than the table's size: ten packets
    # a conversation against two, so at 2 M each packet also pays for five
    # times the conversations made and rows written. The third point has the
    # 2 M point's two packets a conversation and the 200 k point's table.
    print(f"   cost per packet, {c2} against {c3} conversations, two packets each at both: "
          f"{(w2/p2)/(w3/p3):.2f}x wall, {(s2/p2)/(s3/p3):.2f}x CPU (goal <= 1.3x)")
PY
