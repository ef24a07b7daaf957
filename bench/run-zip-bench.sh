#!/bin/bash
# The zip reader's read speed (local header check, inflate or copy, CRC-32)
# over a 512 MiB file packed by 7za, deflated and stored, against
# `7za t` testing the same archive. Prints figures only; nothing here fails
# on a time.
# Usage: bench/run-zip-bench.sh   (after building zip_read_bench natively)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bench="$root/build/native/bench/zip_read_bench"
[ -x "$bench" ] || { echo "build it first: cmake --build --preset native --target zip_read_bench" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/stage"
# Text-like data that deflate shrinks to about three quarters.
head -c $((384 << 20)) /dev/urandom | base64 -w 100 >"$work/stage/big.bin"
truncate -s 512M "$work/stage/big.bin"
for form in "deflated:" "stored:-mx=0"; do
  name="${form%%:*}"
  (cd "$work/stage" && 7za a -tzip ${form#*:} "$work/$name.zip" '*' >/dev/null)
  cat "$work/$name.zip" >/dev/null  # both readers start from the page cache
  "$bench" "$work/$name.zip"
  start=$(date +%s.%N)
  7za t "$work/$name.zip" >/dev/null
  echo "7za t $name: $(echo "$(date +%s.%N) - $start" | bc) s"
done
