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
echo ok
