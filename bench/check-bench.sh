#!/bin/bash
# quillet-check's figures on releases the packer made with the real 7za,
# and on archives made to claim memory; with a second build of quillet-check
# given, both builds side by side, from the same run, and whether their
# reports are the same.
#
#   bench/check-bench.sh [build folder] [before: another quillet-check]
#
# 1. A 512 MiB release (one file of base64 text, which deflates to about
#    three quarters of its size), packed twice: as the packer packs it
#    (deflated) and stored (7za -mx0), and extracted: the check against the
#    MD5 engine alone and against `unzip -t` (aim: at most 0.8 of it).
#    Then 512 MiB of random bytes (which 7za stores) and of the machine's
#    programs and libraries (deflated).
# 2. 65,533 files of 2 KiB of text (aim: at most unzip -t's time), and
#    65,533 tiny files.
# 3. 65,533 empty files named in about 220 bytes, and named in 233 CJK
#    characters (677 bytes): peak memory (aim: at most 64 MiB).
# 4. Archives made to claim memory (bench/hostile-archive.py), at the caps:
#    peak memory (aim: at most 64 MiB).
# Figures are the best wall-clock time of RUNS runs (default 3), with the
# CPU time (user + system) of that run. KEEP=1 keeps the scratch folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
before="${2:-}"
runs="${RUNS:-3}"
quillet="$build/packer/Quillet"
check="$build/check/quillet-check"
md5="$build/bench/md5_bench"
for program in "$quillet" "$check" "$md5" ${before:+"$before"}; do
  [ -x "$program" ] || { echo "$program is missing (cmake --build --preset native)" >&2; exit 2; }
done
"$root/scripts/ensure-packages.sh" p7zip-full unzip time bc python3

scratch="$(mktemp -d /tmp/quillet-check-bench-XXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

source "$root/bench/lib.sh"

# The check of `release` (and the build before, when given): time, CPU,
# peak memory; against `against` seconds (a figure measured beside it) with
# the aim `aim` when given; and whether both builds say the same.
measure() {
  local label="$1" release="$2" against="${3:-}" against_label="${4:-}" aim="${5:-}"
  local t c line same=""
  read -r t c <<<"$(best "$check" "$release")"
  line="$label: quillet-check ${t} s (CPU ${c} s), peak $(peak_mib "$check" "$release") MiB"
  if [ -n "$against" ]; then
    line+="; / $against_label $(ratio "$t" "$against")${aim:+ (aim at most $aim)}"
  fi
  if [ -n "$before" ]; then
    local tb cb
    read -r tb cb <<<"$(best "$before" "$release")"
    if cmp -s <("$before" "$release" 2>/dev/null) <("$check" "$release" 2>/dev/null) &&
      cmp -s <("$before" --json --list "$release" 2>/dev/null) <("$check" --json --list "$release" 2>/dev/null); then
      same="the same report"
    else
      same="reports differ"
    fi
    line+="; before: ${tb} s (CPU ${cb} s), peak $(peak_mib "$before" "$release") MiB"
    [ -n "$against" ] && line+=", / $against_label $(ratio "$tb" "$against")"
    line+="; $same"
  fi
  echo "$line"
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
echo "zlib's inflate alone over the deflated file: $(inflate_alone "$big/ZarvoEUupdate.zip") s"
for kind in stored deflated; do
  archive="$big/stored.zip"
  [ "$kind" = deflated ] && archive="$big/ZarvoEUupdate.zip"
  read -r t_unzip c_unzip <<<"$(best unzip -tqq "$archive")"
  echo "unzip -t, $kind: ${t_unzip} s (CPU ${c_unzip} s)"
  measure "$kind" "$archive" "$t_unzip" "unzip -t" 0.8
done
measure "extracted folder" "$big/extracted" "$t_md5" "MD5 alone"
rm -rf "$big"

# A 512 MiB release of one file NAVI/map.dat that `make` writes to $1,
# packed by the packer with 7za, against `unzip -t`.
other_release() {
  local label="$1" make="$2" at="$scratch/other"
  mkdir -p "$at/FlashDrive/NAVI"
  "$make" "$at/FlashDrive/NAVI/map.dat"
  pack "$at"
  cat "$at/ZarvoEUupdate.zip" >/dev/null
  read -r t_unzip c_unzip <<<"$(best unzip -tqq "$at/ZarvoEUupdate.zip")"
  echo "unzip -t, $label ($(($(stat -c %s "$at/ZarvoEUupdate.zip") * 100 / (512 * 1024 * 1024))) % packed): ${t_unzip} s (CPU ${c_unzip} s)"
  measure "$label" "$at/ZarvoEUupdate.zip" "$t_unzip" "unzip -t" 0.8
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
other_release "random bytes" random_bytes
other_release "programs and libraries" programs

echo "== 65,533 files (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
many="$scratch/many"
mkdir -p "$many/FlashDrive"
python3 - "$many/FlashDrive" <<'PY'
import os, sys
base = sys.argv[1]
for i in range(65533):
    folder = os.path.join(base, "d%03d" % (i // 512))
    if i % 512 == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.dat" % i), "wb") as f:
        f.write((("line %d of file %d " % (i, i)) * 120).encode()[:2048])
PY
pack "$many"
read -r t_unzip c_unzip <<<"$(best unzip -tqq "$many/ZarvoEUupdate.zip")"
echo "unzip -t, 65,533 files of 2 KiB: ${t_unzip} s (CPU ${c_unzip} s)"
measure "65,533 files of 2 KiB" "$many/ZarvoEUupdate.zip" "$t_unzip" "unzip -t" 1.0
rm -rf "$many"
tiny="$scratch/tiny"
mkdir -p "$tiny/FlashDrive/NAVI/POI"
python3 -c 'import sys
for i in range(1, 65534): open("%s/p%d.dat" % (sys.argv[1], i), "w").write("poi %d\n" % i)' "$tiny/FlashDrive/NAVI/POI"
pack "$tiny"
read -r t_unzip c_unzip <<<"$(best unzip -tqq "$tiny/ZarvoEUupdate.zip")"
echo "unzip -t, 65,533 tiny files: ${t_unzip} s (CPU ${c_unzip} s)"
measure "65,533 tiny files" "$tiny/ZarvoEUupdate.zip" "$t_unzip" "unzip -t"
rm -rf "$tiny"

echo "== 65,533 empty files with long names (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
long="$scratch/long"
folder="$(printf 'D%.0s' $(seq 120))"
mkdir -p "$long/FlashDrive/$folder"
(cd "$long/FlashDrive/$folder" && seq 1 65533 | sed "s/.*/p&_$(printf 'x%.0s' $(seq 90)).dat/" | xargs touch)
pack "$long"
measure "names of about 220 bytes" "$long/ZarvoEUupdate.zip"
rm -rf "$long"
wide="$scratch/wide"
part="$(printf '\xe5\x9c\xb0%.0s' $(seq 74))"  # 74 times U+5730, three bytes each
mkdir -p "$wide/FlashDrive/$part/$part"
(cd "$wide/FlashDrive/$part/$part" && seq -f "$part%05.0f.dat" 0 65532 | xargs touch)
pack "$wide"
measure "names of 233 CJK characters" "$wide/ZarvoEUupdate.zip"
echo "the same with --json: peak $(peak_mib "$check" --json "$wide/ZarvoEUupdate.zip") MiB"
rm -rf "$wide"

echo "== archives made to claim memory, at the caps (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
for kind in names lists findings; do
  python3 "$root/bench/hostile-archive.py" "$kind" "$scratch/$kind.zip"
  measure "$kind" "$scratch/$kind.zip"
  rm -f "$scratch/$kind.zip"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
