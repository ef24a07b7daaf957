#!/bin/bash
# Whole runs of Quillet, with a stand-in archiver that takes no time, so the
# figures are the packer's own: the walk, the lists, the digest and the
# check of its archive. The stand-in hands over an archive the real 7za made
# once from the same staging folder (stored, -mx0), by a hard link, so every
# run ends as a real one does: checked, exit status 0. Every figure is the
# median wall-clock time of RUNS runs, with the median CPU time (user +
# system) beside it; each line puts a figure beside the one it is held
# against, measured in the same run of this script. The ratios are of wall
# times; the real 7za's share of a real run is bench/run-real-bench.sh's.
#
#   bench/run-bench.sh [path/to/Quillet [path/to/quillet_variant]]
#
# 1. 65,533 files of 2 KiB (with the two lists, the most a list can count),
#    cold: Quillet against the disk's limit (the same files read by eight
#    parallel readers), a sequential read into md5sum, the walk alone, and
#    Quillet without read-ahead; then warm, and the peak memory.
# 2. One 512 MiB file: cold, against the larger of a cold sequential read and
#    a warm md5sum; warm, against md5sum.
#
# Cold means the page cache was dropped before each run (sync; echo 3 >
# /proc/sys/vm/drop_caches), which needs root; otherwise the script says so
# and every figure is warm. The ready archive is read back into the cache
# after each drop: a real archiver's archive is there, just written.
# quillet_variant (cmake --build --preset native --target quillet_variant) is
# Quillet with the digest's readers set on its command line, and the walk
# alone. Environment: RUNS (default 3), KEEP=1 keeps the scratch folders.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
quillet="${1:-$root/build/native/packer/Quillet}"
variant="${2:-$root/build/native/bench/quillet_variant}"
runs="${RUNS:-3}"
[ -x "$quillet" ] || { echo "Quillet not found at $quillet (cmake --build --preset native)" >&2; exit 2; }
[ -x "$variant" ] || {
  echo "quillet_variant not found at $variant (cmake --build --preset native --target quillet_variant)" >&2
  exit 2
}
command -v /usr/bin/time >/dev/null || "$root/scripts/ensure-packages.sh" time
command -v bc >/dev/null || "$root/scripts/ensure-packages.sh" bc
command -v 7za >/dev/null || "$root/scripts/ensure-packages.sh" p7zip-full

scratch="$(mktemp -d /tmp/quillet-bench-XXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

if [ "$(id -u)" -eq 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
  can_drop=1
else
  can_drop=0
  echo "NOTE: not root, the page cache cannot be dropped: the cold figures below were measured warm"
fi
drop_cache() {
  [ "$can_drop" = 1 ] || return 0
  sync
  echo 3 >/proc/sys/vm/drop_caches
  [ -z "$ready" ] || cat "$ready" >/dev/null
}
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"

# A working folder with a staging folder, before its files are made.
prepare() { mkdir -p "$1/FlashDrive"; }
# Packs the working folder `$1` once with the real 7za (stored), keeps the
# archive as $1.ready.zip, and puts in the stand-in archiver that hands it
# over (the archiver's third argument is the archive's path).
ready=""
make_ready() {
  printf '#!/bin/sh\nexec %s "$@" -mx0\n' "$(command -v 7za)" >"$1/7za"
  chmod +x "$1/7za"
  (cd "$1" && "$quillet" </dev/null >/dev/null) || { echo "the ready archive of $1 was not made" >&2; exit 1; }
  mv "$1/ZarvoEUupdate.zip" "$1.ready.zip"
  printf '#!/bin/sh\nexec ln -f %s "$3"\n' "$1.ready.zip" >"$1/7za"
  ready="$1.ready.zip"
}
# Median wall-clock and median CPU seconds (user + system, children
# included) of `runs` runs of a command, from the working folder `$1`, as
# "WALL CPU"; the page cache is dropped before each when `$cold` is 1. On a
# shared machine the wall clock follows the load, the CPU time much less so.
cold=0
median() {
  local folder=$1 line
  shift
  local walls=() cpus=()
  for _ in $(seq "$runs"); do
    [ "$cold" = 1 ] && drop_cache
    line=$(cd "$folder" && { TIMEFORMAT='%3R %3U %3S'; time "$@" </dev/null >/dev/null 2>&1; } 2>&1 |
      tail -1) || true
    walls+=("$(echo "$line" | awk '{printf "%.3f", $1}')")
    cpus+=("$(echo "$line" | awk '{printf "%.3f", $2 + $3}')")
  done
  echo "$(middle "${walls[@]}") $(middle "${cpus[@]}")"
}
middle() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
wall() { echo "${1% *}"; }
cpu() { echo "${1#* }"; }
ratio() { echo "scale=2; $1 / $2" | bc -l | sed 's/^\./0./'; }
larger() { if [ "$(echo "$1 > $2" | bc -l)" = 1 ]; then echo "$1"; else echo "$2"; fi; }
# Peak resident memory in KiB of one run from the working folder `$1`.
peak_kib() {
  local folder=$1
  shift
  (cd "$folder" && { /usr/bin/time -f '%M' "$@" </dev/null 2>&1 >/dev/null || true; } | tail -1)
}

read_parallel() { find FlashDrive -type f -print0 | xargs -0 -n 500 -P8 cat >/dev/null; }
read_sequential() { find FlashDrive -type f -print0 | xargs -0 cat | md5sum >/dev/null; }
export -f read_parallel read_sequential

echo
echo "== 65,533 files of 2 KiB =="
many="$scratch/many"
prepare "$many"
mkdir -p "$many/FlashDrive/NAVI/POI"
(cd "$many/FlashDrive/NAVI/POI" &&
  head -c $((65533 * 2048)) /dev/urandom | split -b 2048 -a 5 -d --additional-suffix=.dat - p)
make_ready "$many"
cold=1
t_parallel=$(median "$many" bash -c read_parallel)
t_sequential=$(median "$many" bash -c read_sequential)
t_walk=$(median "$many" "$variant" walk)
t_before=$(median "$many" "$variant" run 0)
t_quillet=$(median "$many" "$quillet")
cold=0
w_before=$(median "$many" "$variant" run 0)
w_quillet=$(median "$many" "$quillet")
m_before=$(peak_kib "$many" "$variant" run 0)
m_quillet=$(peak_kib "$many" "$quillet")
# "WALL s (CPU CPU s)" of a median() pair.
both() { echo "$(wall "$1") s (CPU $(cpu "$1") s)"; }
echo "median of $runs runs each, wall-clock and CPU (user + system) seconds"
echo "cold: eight parallel readers (the disk's limit)  $(both "$t_parallel")"
echo "cold: sequential read into md5sum                $(both "$t_sequential")"
echo "cold: the walk alone                             $(both "$t_walk")"
echo "cold: Quillet without read-ahead                 $(both "$t_before")" \
  "($(ratio "$(wall "$t_before")" "$(wall "$t_parallel")")x the limit)"
echo "cold: Quillet                                    $(both "$t_quillet")" \
  "($(ratio "$(wall "$t_quillet")" "$(wall "$t_parallel")")x the limit; aim at most 1.3x)"
echo "warm: Quillet without read-ahead                 $(both "$w_before")"
echo "warm: Quillet                                    $(both "$w_quillet")" \
  "($(ratio "$(wall "$w_quillet")" "$(wall "$w_before")")x without)"
echo "peak memory: without read-ahead ${m_before} KiB, Quillet ${m_quillet} KiB" \
  "(+$(((m_quillet - m_before) / 1024)) MiB; target at most +64 MiB)"
rm -rf "$many" "$many.ready.zip"
ready=""

echo
echo "== one 512 MiB file =="
big="$scratch/big"
prepare "$big"
head -c $((512 * 1024 * 1024)) /dev/urandom >"$big/FlashDrive/image.bin"
make_ready "$big"
cold=1
c_read=$(median "$big" cat FlashDrive/image.bin)
c_quillet=$(median "$big" "$quillet")
cold=0
cat "$big/FlashDrive/image.bin" >/dev/null
w_md5sum=$(median "$big" md5sum FlashDrive/image.bin)
w_before=$(median "$big" "$variant" run 0)
w_quillet=$(median "$big" "$quillet")
bound=$(larger "$(wall "$c_read")" "$(wall "$w_md5sum")")
echo "median of $runs runs each, wall-clock and CPU (user + system) seconds"
echo "cold: sequential read                            $(both "$c_read")"
echo "warm: md5sum                                     $(both "$w_md5sum")"
echo "cold: Quillet                                    $(both "$c_quillet")" \
  "($(ratio "$(wall "$c_quillet")" "$bound")x the larger of the two above; aim at most 1.05x)"
echo "warm: Quillet without read-ahead                 $(both "$w_before")" \
  "($(ratio "$(wall "$w_before")" "$(wall "$w_md5sum")")x md5sum)"
echo "warm: Quillet                                    $(both "$w_quillet")" \
  "($(ratio "$(wall "$w_quillet")" "$(wall "$w_md5sum")")x md5sum, CPU" \
  "$(ratio "$(cpu "$w_quillet")" "$(cpu "$w_md5sum")")x; aim at most 1.05x)"
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
