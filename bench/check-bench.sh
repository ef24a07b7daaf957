#!/bin/bash
# quillet-check against the MD5 engine alone and against `unzip -t`, on
# releases the packer made with the real 7za.
#
#   bench/check-bench.sh [build folder]     (default build/native)
#
# 1. A 512 MiB release (one file of base64 text, which deflates to about
#    three quarters of its size, so inflating is real work), packed twice:
#    as the packer packs it (deflated) and stored (7za -mx0). For each:
#    quillet-check's time against md5_bench --file over the same file (the
#    MD5 engine alone) and against `unzip -t`, best of RUNS, all from the
#    page cache, and quillet-check's peak memory.
#    Then 512 MiB of random bytes (as map data, compressed already, which
#    7za stores) and 512 MiB of the machine's programs and libraries
#    (deflated), packed by the packer, against the same two and zlib's
#    inflate alone.
# 2. 65,533 small files: quillet-check against `unzip -t`, and peak memory.
# 3. 65,533 empty files named in about 220 bytes each (a folder of 120
#    characters): quillet-check's peak memory, which the names drive.
# 4. The same count named in 233 characters far beyond ASCII (677
#    bytes of UTF-8 each, so every entry is warned of as longer than 255
#    bytes): quillet-check's peak memory, with the text report and --json.
# 5. Archives made to claim memory (bench/hostile-archive.py): 131,068
#    damaged files named in 1,533 bytes, each drawing three findings; both
#    lists at their largest, naming nothing; and 131,068 files named in a
#    legacy code page drawing six findings each, beside lists that name
#    nothing. quillet-check's time and peak memory on each.
# Environment: RUNS (default 3), KEEP=1 keeps the scratch folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
runs="${RUNS:-3}"
quillet="$build/packer/Quillet"
check="$build/check/quillet-check"
md5="$build/bench/md5_bench"
for program in "$quillet" "$check" "$md5"; do
  [ -x "$program" ] || { echo "$program is missing (cmake --build --preset native)" >&2; exit 2; }
done
"$root/scripts/ensure-packages.sh" p7zip-full unzip time bc python3

scratch="$(mktemp -d /tmp/quillet-check-bench-XXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

# Best wall-clock seconds of `runs` runs of a command, and the CPU seconds
# (user + system) of that run: on a shared machine the wall clock follows the
# load, the CPU time much less so. In milliseconds (the shell's own timing:
# /usr/bin/time counts in steps of 10 ms, too coarse for the small files).
best() {
  local best="" cpu="" line wall used
  for _ in $(seq "$runs"); do
    line=$({ TIMEFORMAT='%3R %3U %3S'; time "$@" </dev/null >/dev/null 2>&1; } 2>&1 | tail -1)
    wall=$(echo "$line" | cut -d' ' -f1)
    used=$(echo "$line" | awk '{print $2 + $3}')
    if [ -z "$best" ] || [ "$(echo "$wall < $best" | bc -l)" = 1 ]; then best=$wall; cpu=$used; fi
  done
  printf '%.3f %.3f' "$best" "$cpu"
}
wall() { echo "$1"; }
cpu() { echo "$2"; }
peak_mib() { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null </dev/null | tail -1 | awk '{printf "%.1f", $1 / 1024}'; }
ratio() { echo "scale=2; $1 / $2" | bc -l | sed 's/^\./0./'; }

# Packs $1/FlashDrive with the packer and the real 7za into $1/ZarvoEUupdate.zip.
pack() {
  ln -sf "$(command -v 7za)" "$1/7za"
  (cd "$1" && "$quillet" </dev/null >/dev/null)
}

# zlib's inflate alone over the one file of the archive $1 (Python's zlib
# is the system's), 64 KiB of it at a time: best wall-clock seconds of
# `runs` runs.
inflate_alone() {
  python3 - "$1" "$runs" <<'PY'
import struct, sys, time, zlib
path, runs = sys.argv[1], int(sys.argv[2])
data = open(path, "rb").read()
at = data.rfind(b"PK\x05\x06")
while True:  # the largest entry: the one file
    at = data.rfind(b"PK\x01\x02", 0, at)
    size = struct.unpack_from("<I", data, at + 20)[0]
    offset = struct.unpack_from("<I", data, at + 42)[0]
    if size > 1 << 20:
        break
if struct.unpack_from("<H", data, at + 10)[0] != 8:
    print("stored")
    sys.exit(0)
name_len, extra_len = struct.unpack_from("<HH", data, offset + 26)
start = offset + 30 + name_len + extra_len
view = memoryview(data)[start:start + size]
best = None
for _ in range(runs):
    began = time.perf_counter()
    inflater = zlib.decompressobj(-15)
    for piece in range(0, size, 1 << 16):
        inflater.decompress(view[piece:piece + (1 << 16)])
    inflater.flush()
    took = time.perf_counter() - began
    best = took if best is None else min(best, took)
print("%.3f" % best)
PY
}

echo "== 512 MiB release (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
big="$scratch/big"
mkdir -p "$big/FlashDrive/NAVI"
# (base64 ends on a broken pipe once head has its 512 MiB: not a failure)
(head -c $((400 * 1024 * 1024)) /dev/urandom | base64 -w 76 | head -c $((512 * 1024 * 1024)) \
  >"$big/FlashDrive/NAVI/map.dat") || true
pack "$big"
mkdir -p "$big/extracted"
(cd "$big/extracted" && 7za x ../ZarvoEUupdate.zip >/dev/null && 7za a -tzip -mx0 ../stored.zip '*' >/dev/null)
cat "$big/ZarvoEUupdate.zip" "$big/stored.zip" "$big/extracted/NAVI/map.dat" >/dev/null

read -r t_md5 c_md5 <<<"$(best "$md5" --file "$big/extracted/NAVI/map.dat")"
echo "MD5 engine alone over the 512 MiB file: ${t_md5} s (CPU ${c_md5} s)"
for kind in stored deflated; do
  archive="$big/stored.zip"
  [ "$kind" = deflated ] && archive="$big/ZarvoEUupdate.zip"
  read -r t_check c_check <<<"$(best "$check" "$archive")"
  read -r t_unzip c_unzip <<<"$(best unzip -tqq "$archive")"
  target=1.15
  [ "$kind" = deflated ] && target=1.4
  echo "$kind: quillet-check ${t_check} s (CPU ${c_check} s), unzip -t ${t_unzip} s (CPU ${c_unzip} s);" \
    "wall-clock check / MD5 $(ratio "$t_check" "$t_md5") (target at most $target)," \
    "check / unzip -t $(ratio "$t_check" "$t_unzip") (target at most 0.8);" \
    "peak memory $(peak_mib "$check" "$archive") MiB"
done
echo "zlib's inflate alone over the deflated file: $(inflate_alone "$big/ZarvoEUupdate.zip") s"
read -r t_folder c_folder <<<"$(best "$check" "$big/extracted")"
echo "extracted folder: quillet-check ${t_folder} s (CPU ${c_folder} s), check / MD5 $(ratio "$t_folder" "$t_md5")"
rm -rf "$big"

# A 512 MiB release of one file NAVI/map.dat that `make` writes to $1,
# packed by the packer with 7za: quillet-check against the MD5 engine alone,
# zlib's inflate alone (when 7za deflated it) and `unzip -t`.
deflated_release() {
  local label="$1" make="$2" at="$scratch/deflated"
  mkdir -p "$at/FlashDrive/NAVI"
  "$make" "$at/FlashDrive/NAVI/map.dat"
  pack "$at"
  cat "$at/ZarvoEUupdate.zip" "$at/FlashDrive/NAVI/map.dat" >/dev/null
  read -r t_md5 c_md5 <<<"$(best "$md5" --file "$at/FlashDrive/NAVI/map.dat")"
  read -r t_check c_check <<<"$(best "$check" "$at/ZarvoEUupdate.zip")"
  read -r t_unzip c_unzip <<<"$(best unzip -tqq "$at/ZarvoEUupdate.zip")"
  local t_inflate packed inflated
  t_inflate="$(inflate_alone "$at/ZarvoEUupdate.zip")"
  packed=$(($(stat -c %s "$at/ZarvoEUupdate.zip") * 100 / (512 * 1024 * 1024)))
  if [ "$t_inflate" = stored ]; then
    inflated="7za stored it (nothing to inflate)"
  else
    inflated="zlib's inflate alone ${t_inflate} s (check / inflate alone $(ratio "$t_check" "$t_inflate"))"
  fi
  echo "$label (${packed} % packed): quillet-check ${t_check} s (CPU ${c_check} s), MD5 engine" \
    "alone ${t_md5} s, $inflated, unzip -t ${t_unzip} s (CPU ${c_unzip} s);" \
    "check / MD5 $(ratio "$t_check" "$t_md5") (target at most 1.4)," \
    "check / unzip -t $(ratio "$t_check" "$t_unzip") (target at most 0.8)"
  rm -rf "$at"
}
# Map data mostly is compressed already: 7za then stores it as it is.
random_bytes() { head -c $((512 * 1024 * 1024)) /dev/urandom >"$1"; }
# Programs and libraries: deflate's matches as well as its literals.
programs() {
  find /usr/lib /usr/bin -type f -size +4k 2>/dev/null | sort | xargs cat 2>/dev/null |
    head -c $((512 * 1024 * 1024)) >"$1" || true
}

echo "== 512 MiB releases of other data (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
deflated_release "random bytes" random_bytes
deflated_release "programs and libraries" programs

echo "== 65,533 small files (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
many="$scratch/many"
mkdir -p "$many/FlashDrive/NAVI/POI"
for i in $(seq 1 65533); do printf 'poi %d\n' "$i" >"$many/FlashDrive/NAVI/POI/p$i.dat"; done
pack "$many"
read -r t_check c_check <<<"$(best "$check" "$many/ZarvoEUupdate.zip")"
read -r t_unzip c_unzip <<<"$(best unzip -tqq "$many/ZarvoEUupdate.zip")"
echo "quillet-check ${t_check} s (CPU ${c_check} s), unzip -t ${t_unzip} s (CPU ${c_unzip} s);" \
  "check / unzip -t $(ratio "$t_check" "$t_unzip") (target at most 2);" \
  "peak memory $(peak_mib "$check" "$many/ZarvoEUupdate.zip") MiB"
rm -rf "$many"

echo "== 65,533 empty files with long names (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
# (in a folder of a short name: the packer refuses paths of more than 255
# characters, and the names are near that)
long="$(mktemp -d /tmp/qlXXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch" "$long"' EXIT
folder="$(printf 'D%.0s' $(seq 120))"
mkdir -p "$long/FlashDrive/$folder"
(cd "$long/FlashDrive/$folder" && seq 1 65533 | sed "s/.*/p&_$(printf 'x%.0s' $(seq 90)).dat/" | xargs touch)
pack "$long"
read -r t_check c_check <<<"$(best "$check" "$long/ZarvoEUupdate.zip")"
echo "quillet-check ${t_check} s (CPU ${c_check} s);" \
  "peak memory $(peak_mib "$check" "$long/ZarvoEUupdate.zip") MiB (target at most 64)"
rm -rf "$long"

echo "== 65,533 empty files named far beyond ASCII (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
# (in a scratch folder of a short name: the packer refuses paths of more
# than 255 characters, counted from the root, and these are near that)
wide="$(mktemp -d /tmp/qXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch" "$long" "$wide"' EXIT
part="$(printf '\xe5\x9c\xb0%.0s' $(seq 74))"  # 74 times U+5730, three bytes each
mkdir -p "$wide/FlashDrive/$part/$part"
(cd "$wide/FlashDrive/$part/$part" && seq -f "$part%05.0f.dat" 0 65532 | xargs touch)
pack "$wide"
read -r t_check c_check <<<"$(best "$check" "$wide/ZarvoEUupdate.zip")"
echo "quillet-check ${t_check} s (CPU ${c_check} s);" \
  "peak memory $(peak_mib "$check" "$wide/ZarvoEUupdate.zip") MiB," \
  "with --json $(peak_mib "$check" --json "$wide/ZarvoEUupdate.zip") MiB (target at most 64)"
rm -rf "$wide"

echo "== archives made to claim memory (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
for kind in names lists findings; do
  python3 "$root/bench/hostile-archive.py" "$kind" "$scratch/$kind.zip"
  read -r t_check c_check <<<"$(best "$check" "$scratch/$kind.zip")"
  echo "$kind: quillet-check ${t_check} s (CPU ${c_check} s);" \
    "peak memory $(peak_mib "$check" "$scratch/$kind.zip") MiB (target at most 64)"
  rm -f "$scratch/$kind.zip"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
