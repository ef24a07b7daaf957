#!/bin/sh
# Puts the packer's MD5 engine side by side with md5sum and openssl md5 on
# the same file, in one run, and prints the rates and the ratios.
#
#   bench/compare-md5.sh [path/to/md5_bench]
#
# Environment: DATA (the data file, made if missing; default
# /tmp/md5-bench-512M.bin), SIZE_MIB (its size when made; 512), RUNS (passes
# per tool, the best counts; 3), CHUNK (bytes per read of our engine; 65536).
# Every tool reads the file from the page cache: it is read once beforehand.
set -eu

bench=${1:-$(dirname "$0")/../build/native/bench/md5_bench}
data=${DATA:-/tmp/md5-bench-512M.bin}
size_mib=${SIZE_MIB:-512}
runs=${RUNS:-3}
chunk=${CHUNK:-65536}

if [ ! -x "$bench" ]; then
  echo "md5_bench not found at $bench (build the md5_bench target, or pass its path)" >&2
  exit 2
fi
if [ ! -f "$data" ]; then
  echo "making $data ($size_mib MiB of random bytes)"
  head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$data"
fi
bytes=$(wc -c <"$data")
cat "$data" >/dev/null

now() { date +%s.%N; }

# best_seconds COMMAND...: the shortest wall time of $runs runs; the
# command's standard output (the digest line) is kept in $digest.
best_seconds() {
  best=
  i=0
  while [ "$i" -lt "$runs" ]; do
    start=$(now)
    digest=$("$@" 2>/dev/null | cut -d' ' -f1 | sed 's/^.*= //')
    end=$(now)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" \
      'BEGIN { t = e - s; if (b == "" || t < b) print t; else print b }')
    i=$((i + 1))
  done
}

rate() { awk -v n="$bytes" -v t="$1" 'BEGIN { printf "%.1f", n / t / 1e6 }'; }

echo "data: $data, $bytes bytes; best of $runs runs each; MB = 10^6 bytes"
printf '%-22s %10s %12s  %s\n' tool seconds MB/s digest

best_seconds "$bench" --file "$data" --chunk "$chunk"
ours_s=$best ours_d=$digest
printf '%-22s %10.3f %12s  %s\n' "quillet md5 engine" "$ours_s" "$(rate "$ours_s")" "$ours_d"

best_seconds md5sum "$data"
sum_s=$best sum_d=$digest
printf '%-22s %10.3f %12s  %s\n' "md5sum" "$sum_s" "$(rate "$sum_s")" "$sum_d"

ssl_s=
if command -v openssl >/dev/null 2>&1; then
  best_seconds openssl md5 -r "$data"
  ssl_s=$best ssl_d=$digest
  printf '%-22s %10.3f %12s  %s\n' "openssl md5" "$ssl_s" "$(rate "$ssl_s")" "$ssl_d"
else
  echo "openssl: not installed, left out"
fi

status=0
if [ "$ours_d" != "$sum_d" ]; then
  echo "DIGESTS DIFFER: quillet $ours_d, md5sum $sum_d" >&2
  status=1
fi
awk -v a="$sum_s" -v b="$ours_s" \
  'BEGIN { printf "ratio quillet/md5sum: %.2f (above 1: quillet is faster)\n", a / b }'
if [ -n "$ssl_s" ]; then
  awk -v a="$ssl_s" -v b="$ours_s" \
    'BEGIN { printf "ratio quillet/openssl: %.2f (above 1: quillet is faster)\n", a / b }'
fi
exit "$status"
