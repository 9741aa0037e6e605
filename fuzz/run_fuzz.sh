#!/bin/bash
# Fuzzes a scratch copy of a seed corpus for a bounded time, in turn under
# several time zones (time conversions differ by zone), and reports the
# peak memory. Further arguments go to libFuzzer (limits of a target).
# Usage: run_fuzz.sh BINARY CORPUS SECONDS [LIBFUZZER FLAGS...]
set -u
bin=$1 corpus=$2 seconds=$3
shift 3
work=$(mktemp -d)
cp -r "$corpus"/. "$work"/
# The targets' own files, even those of an input that crashed, go with $work.
export TMPDIR="$work.tmp"
mkdir -p "$TMPDIR"
trap 'rm -rf "$work" "$work.log" "$work.tmp"' EXIT
zones=(UTC Asia/Tokyo America/New_York)
each=$(( (seconds + ${#zones[@]} - 1) / ${#zones[@]} ))
rc=0
for tz in "${zones[@]}"; do
  TZ=$tz "$bin" -max_total_time="$each" -rss_limit_mb=1024 -max_len=70000 -print_final_stats=1 "$@" \
    -artifact_prefix="$PWD/" "$work" >"$work.log" 2>&1
  rc=$?
  echo "--- TZ=$tz: exit $rc, $(grep -o 'peak_rss_mb:[[:space:]]*[0-9]*' "$work.log" | tr -s ' ')"
  if [ "$rc" -ne 0 ]; then
    tail -n 30 "$work.log"
    break
  fi
done
tail -n 8 "$work.log"
exit $rc
