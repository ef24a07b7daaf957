#!/bin/bash
# Whole runs of Quillet, with a stand-in archiver that does nothing, so the
# figures are the packer's own: the walk, the lists and the digest.
#
#   bench/run-bench.sh [path/to/Quillet]
#
# 1. One 512 MiB file: the run's time against md5sum's on the same file
#    (best of RUNS, both from the page cache), and the ratio.
# 2. 65,533 small files (with the two lists, the most a list can count):
#    the run's time and its peak memory, against the expected
#    fileListCount x 1024 bytes of path slots plus the name blocks.
# Environment: RUNS (default 3), KEEP=1 keeps the scratch folders.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
quillet="${1:-$root/build/native/packer/Quillet}"
runs="${RUNS:-3}"
[ -x "$quillet" ] || { echo "Quillet not found at $quillet (cmake --build --preset native)" >&2; exit 2; }
command -v /usr/bin/time >/dev/null || "$root/scripts/ensure-packages.sh" time

scratch="$(mktemp -d /tmp/quillet-bench-XXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

# A working folder with a staging folder and an archiver that does nothing.
prepare() {
  mkdir -p "$1/FlashDrive"
  printf '#!/bin/sh\nexit 0\n' >"$1/7za"
  chmod +x "$1/7za"
}
# Best wall-clock seconds of `runs` runs of a command.
best() {
  local best="" start end took
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" </dev/null >/dev/null
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then best=$took; fi
  done
  printf '%.3f' "$best"
}
run_in() { (cd "$1" && shift && "$@"); }

command -v bc >/dev/null || "$root/scripts/ensure-packages.sh" bc

echo "== one 512 MiB file =="
big="$scratch/big"
prepare "$big"
head -c $((512 * 1024 * 1024)) /dev/urandom >"$big/FlashDrive/image.bin"
cat "$big/FlashDrive/image.bin" >/dev/null
t_md5sum=$(best md5sum "$big/FlashDrive/image.bin")
t_quillet=$(best run_in "$big" "$quillet")
echo "md5sum:  ${t_md5sum} s"
echo "Quillet: ${t_quillet} s (walk, lists, digest; stand-in archiver)"
echo "ratio Quillet / md5sum: $(echo "scale=3; $t_quillet / $t_md5sum" | bc -l) (target: at most 1.10)"
rm -rf "$big"

echo "== 65,533 small files =="
many="$scratch/many"
prepare "$many"
mkdir -p "$many/FlashDrive/NAVI/POI"
for i in $(seq 1 65533); do printf 'poi %d\n' "$i" >"$many/FlashDrive/NAVI/POI/p$i.dat"; done
t_many=$(best run_in "$many" "$quillet")
peak_kib=$(cd "$many" && /usr/bin/time -f '%M' "$quillet" </dev/null 2>&1 >/dev/null | tail -1)
slots_kib=$((65535 * 1024 / 1024))
blocks_kib=$(((65535 + 4) * 262 / 1024))
echo "Quillet: ${t_many} s for 65,535 listed files"
echo "peak memory: ${peak_kib} KiB (path slots ${slots_kib} KiB; the walk's name blocks, ${blocks_kib} KiB, are released before the slots are taken)"
