#!/bin/bash
# Real runs of Quillet with the real 7za at its defaults, on a mixed release
# of 256 MiB in 2,048 files of 128 KiB: a quarter random bytes (as map data,
# compressed already), the rest text-like (base64, which deflate shrinks to
# about three quarters), in 13 folders. Prints figures only; nothing here
# fails on a time.
#
#   bench/run-real-bench.sh [build folder]     (default build/native)
#
# 1. The whole run against the archiver alone: the same 7za command line,
#    run the same way (through /bin/sh, from inside the staging folder) in
#    a copy of the staging folder that also holds the lists and $md5.bin a
#    run packs. Beside Quillet, the same run with the check of its archive
#    reading the entries on one thread (quillet_variant run - 1). The three
#    take turns, RUNS times each.
# 2. What the check of its own archive adds: own_check_bench checks the
#    archive the last run made against the digest's records, RUNS times
#    (the check alone, from the page cache, as in a run: the archive was
#    just written), with the entries read on one thread and on two (the
#    packer's way, OwnCheckReading).
# Every figure is a median, with wall-clock and CPU seconds (user + system,
# the archiver's included) side by side: on a shared machine the wall clock
# follows the load, the CPU time much less so. The ratios are the aims':
# the check at most 8% of a run, the run at most 1.15x the archiver alone.
# Environment: RUNS (default 5), KEEP=1 keeps the scratch folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
runs="${RUNS:-5}"
quillet="$build/packer/Quillet"
variant="$build/bench/quillet_variant"
check_bench="$build/bench/own_check_bench"
for program in "$quillet" "$variant" "$check_bench"; do
  [ -x "$program" ] || {
    echo "$program is missing (cmake --build --preset native --target Quillet" \
      "quillet_variant own_check_bench)" >&2
    exit 2
  }
done
command -v bc >/dev/null || "$root/scripts/ensure-packages.sh" bc
command -v 7za >/dev/null || "$root/scripts/ensure-packages.sh" p7zip-full
command -v unzip >/dev/null || "$root/scripts/ensure-packages.sh" unzip

scratch="$(mktemp -d /tmp/quillet-real-bench-XXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "load average at the start: $(load) ($(nproc) cores); 7za: $(7za | sed -n 3p | cut -d'(' -f1)"

# Wall-clock and CPU seconds of one run of a command (in milliseconds: the
# shell's own timing, which counts the children it waited for).
timed() {
  local line
  line=$({ TIMEFORMAT='%3R %3U %3S'; time "$@" </dev/null >/dev/null 2>&1; } 2>&1 | tail -1) || true
  echo "$line" | awk '{printf "%.3f %.3f\n", $1, $2 + $3}'
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
ratio() { echo "scale=3; $1 / $2" | bc -l | sed 's/^\./0./'; }
percent() { echo "scale=1; 100 * $1 / $2" | bc -l | sed 's/^\./0./'; }

# The release: 512 random files, then 12 folders of 128 text-like files.
work="$scratch/work"
stage="$work/FlashDrive"
mkdir -p "$stage/NAVI/MAP"
(cd "$stage/NAVI/MAP" &&
  head -c $((512 * 131072)) /dev/urandom | split -b 131072 -a 3 -d --additional-suffix=.dat - r)
for folder in $(seq -w 0 11); do
  mkdir -p "$stage/NAVI/POI/d$folder"
  # (base64 ends on a broken pipe once head has its bytes: not a failure)
  (head -c $((12 * 1024 * 1024)) /dev/urandom | base64 -w 76 | head -c $((128 * 131072)) |
    (cd "$stage/NAVI/POI/d$folder" && split -b 131072 -a 3 -d --additional-suffix=.txt - t)) ||
    true
done
echo "the release: $(find "$stage" -type f | wc -l) files," \
  "$(find "$stage" -type f -printf '%s\n' | awk '{s += $1} END {print s / 1048576}') MiB"
ln -s "$(command -v 7za)" "$work/7za"

# One real run, which must make and check its archive.
pack() { (cd "$work" && "$quillet"); }
pack_one() { (cd "$work" && "$variant" run - 1); }
pack </dev/null >/dev/null || { echo "the first run failed" >&2; exit 1; }

# The archiver alone: a copy of the staging folder as the archiver finds it
# in a run, with the lists and $md5.bin the run packed.
alone="$scratch/alone"
mkdir -p "$alone"
cp -a "$stage" "$alone/FlashDrive"
unzip -q -o "$work/ZarvoEUupdate.zip" '$FileList.txt' '$FolderList.txt' '$md5.bin' \
  -d "$alone/FlashDrive"
ln -s "$(command -v 7za)" "$alone/7za"
archive_alone() {
  (cd "$alone/FlashDrive" && /bin/sh -c "'$alone/7za' a -tzip '$alone/ZarvoEUupdate.zip' '*'")
}

run_wall=() run_cpu=() alone_wall=() alone_cpu=() pair_wall=() pair_cpu=() one_wall=() one_cpu=()
for _ in $(seq "$runs"); do
  read -r wall cpu <<<"$(timed pack_one)"
  [ -f "$work/ZarvoEUupdate.zip" ] || { echo "a run made no archive" >&2; exit 1; }
  one_wall+=("$wall") one_cpu+=("$cpu")
  read -r wall cpu <<<"$(timed pack)"
  [ -f "$work/ZarvoEUupdate.zip" ] || { echo "a run made no archive" >&2; exit 1; }
  run_wall+=("$wall") run_cpu+=("$cpu")
  rm -f "$alone/ZarvoEUupdate.zip"
  read -r wall cpu <<<"$(timed archive_alone)"
  alone_wall+=("$wall") alone_cpu+=("$cpu")
  pair_wall+=("$(ratio "${run_wall[-1]}" "$wall")") pair_cpu+=("$(ratio "${run_cpu[-1]}" "$cpu")")
done
t_run=$(median "${run_wall[@]}") c_run=$(median "${run_cpu[@]}")
t_alone=$(median "${alone_wall[@]}") c_alone=$(median "${alone_cpu[@]}")
t_run_one=$(median "${one_wall[@]}") c_run_one=$(median "${one_cpu[@]}")
echo "load average after the runs: $(load)"
echo "the archive: $(($(stat -c %s "$work/ZarvoEUupdate.zip") / 1048576)) MiB" \
  "(the archiver alone made $(($(stat -c %s "$alone/ZarvoEUupdate.zip") / 1048576)) MiB)"

# own_check_bench's figures with the entries read on $1 threads.
check_figures() {
  local figures
  figures=$(cd "$work" && "$check_bench" "$runs" "$1" 2>&1 >/dev/null) || {
    echo "own_check_bench failed: $figures" >&2
    exit 1
  }
  echo "$figures"
}
# "WALL CPU" of own_check_bench's median check.
check_median() { echo "$1" | sed -n 's/.*median \([0-9.]*\) s (CPU \([0-9.]*\) s).*/\1 \2/p'; }
one=$(check_figures 1)
two=$(check_figures 2)
read -r t_one c_one <<<"$(check_median "$one")"
read -r t_two c_two <<<"$(check_median "$two")"
before=$(echo "$two" | sed -n 's/^the walk, the list and the digest, once: //p')
echo "load average after the check: $(load)"

echo
echo "== a real run on 256 MiB in 2,048 files (medians of $runs; wall s / CPU s) =="
echo "7za a -tzip alone                   ${t_alone} / ${c_alone}"
echo "Quillet, the whole run              ${t_run} / ${c_run}" \
  "($(ratio "$t_run" "$t_alone")x / $(ratio "$c_run" "$c_alone")x the archiver alone; aim at most 1.15x)"
echo "  the same, the check on 1 thread  ${t_run_one} / ${c_run_one}" \
  "($(ratio "$t_run_one" "$t_alone")x / $(ratio "$c_run_one" "$c_alone")x the archiver alone)"
echo "  each run against the archiver alone just after it: median $(median "${pair_wall[@]}")x /" \
  "$(median "${pair_cpu[@]}")x (wall: ${pair_wall[*]})"
echo "the check, its entries on 1 thread  ${t_one} / ${c_one}" \
  "($(percent "$t_one" "$t_run")% / $(percent "$c_one" "$c_run")% of the run; aim at most 8%)"
echo "the check, its entries on 2 threads ${t_two} / ${c_two}" \
  "($(percent "$t_two" "$t_run")% / $(percent "$c_two" "$c_run")% of the run; aim at most 8%)"
echo "the walk, the list and the digest (once, as own_check_bench prepares): $before"
echo
echo "load average at the end: $(load)"
