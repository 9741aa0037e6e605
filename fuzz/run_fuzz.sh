#!/bin/bash
# Fuzzes a scratch copy of a seed corpus for a bounded time.
# Usage: run_fuzz.sh BINARY CORPUS SECONDS
set -u
bin=$1 corpus=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$corpus"/. "$work"/
"$bin" -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=70000 -print_final_stats=1 \
  -artifact_prefix="$PWD/" "$work" >"$work.log" 2>&1
rc=$?
tail -n 15 "$work.log"
rm -f "$work.log"
exit $rc
