#!/bin/bash
# quillet-check --diff against the two checks run one after the other, and
# its peak memory at the caps.
#
#   bench/diff-bench.sh [build folder]     (default build/native)
#
# 1. Two 512 MiB releases of 128 files of 4 MiB (base64 text, which
#    deflates to about three quarters): the old one stored (7za -mx0), the
#    new one packed by the packer (deflated) with a tenth of its files (13)
#    changed. The diff's time against the two checks' (best of RUNS each,
#    from the page cache; target at most 1.1), and peak memory.
# 2. Two releases of 65,533 small files packed by the packer, a tenth of
#    the files changed in the new one: the same figures (target 1.1).
# 3. Two releases at the caps (bench/caps-release.py: 131,071 entries each,
#    a tenth of the files changed and one in a hundred renamed in the new
#    one), as archives and as extracted folders: peak memory of each check
#    alone and of the diff in each pairing (target at most 64 MiB).
# Environment: RUNS (default 3), KEEP=1 keeps the scratch folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
runs="${RUNS:-3}"
quillet="$build/packer/Quillet"
check="$build/check/quillet-check"
for program in "$quillet" "$check"; do
  [ -x "$program" ] || { echo "$program is missing (cmake --build --preset native)" >&2; exit 2; }
done
"$root/scripts/ensure-packages.sh" p7zip-full time bc python3

scratch="$(mktemp -d /tmp/quillet-diff-bench-XXXXXX)"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$scratch"' EXIT

source "$root/bench/lib.sh"
add() { echo "$1 + $2" | bc -l | sed 's/^\./0./'; }

# The diff of $1 and $2 against checking each: times, ratio, peak memory.
compare() {
  local label="$1" old="$2" new="$3" t_old c_old t_new c_new t_diff c_diff
  read -r t_old c_old <<<"$(best "$check" "$old")"
  read -r t_new c_new <<<"$(best "$check" "$new")"
  read -r t_diff c_diff <<<"$(best "$check" --diff "$old" "$new")"
  echo "$label: checks ${t_old} s + ${t_new} s (CPU ${c_old} s + ${c_new} s)," \
    "--diff ${t_diff} s (CPU ${c_diff} s);" \
    "diff / both checks $(ratio "$t_diff" "$(add "$t_old" "$t_new")") (target at most 1.1)," \
    "CPU $(ratio "$c_diff" "$(add "$c_old" "$c_new")");" \
    "peak memory $(peak_mib "$check" --diff "$old" "$new") MiB"
}

echo "== two 512 MiB releases (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
big="$scratch/big"
mkdir -p "$big/FlashDrive/NAVI"
(head -c $((400 * 1024 * 1024)) /dev/urandom | base64 -w 76 | head -c $((512 * 1024 * 1024)) |
  split -b $((4 * 1024 * 1024)) -d -a 3 - "$big/FlashDrive/NAVI/map.") || true
pack "$big"
mkdir -p "$big/extracted"
(cd "$big/extracted" && 7za x ../ZarvoEUupdate.zip >/dev/null && 7za a -tzip -mx0 ../old.zip '*' >/dev/null)
for i in $(seq 0 10 127); do
  printf 'changed in the new release' |
    dd of="$big/FlashDrive/NAVI/map.$(printf '%03d' "$i")" bs=1 seek=1000 conv=notrunc status=none
done
pack "$big"
mv "$big/ZarvoEUupdate.zip" "$big/new.zip"
rm -rf "$big/extracted" "$big/FlashDrive"
cat "$big/old.zip" "$big/new.zip" >/dev/null
compare "512 MiB, old stored, new deflated with 13 of 128 files changed" "$big/old.zip" "$big/new.zip"
"$check" --diff "$big/old.zip" "$big/new.zip" | grep '^Files:'
rm -rf "$big"

echo "== two releases of 65,533 small files (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
many="$scratch/many"
mkdir -p "$many/FlashDrive/NAVI/POI"
for i in $(seq 1 65533); do printf 'poi %d\n' "$i" >"$many/FlashDrive/NAVI/POI/p$i.dat"; done
pack "$many"
mv "$many/ZarvoEUupdate.zip" "$scratch/many-old.zip"
for i in $(seq 1 10 65533); do printf 'poi %d, moved\n' "$i" >"$many/FlashDrive/NAVI/POI/p$i.dat"; done
pack "$many"
mv "$many/ZarvoEUupdate.zip" "$scratch/many-new.zip"
rm -rf "$many"
compare "65,533 files, a tenth changed" "$scratch/many-old.zip" "$scratch/many-new.zip"
"$check" --diff "$scratch/many-old.zip" "$scratch/many-new.zip" | grep '^Files:'
rm -f "$scratch"/many-*.zip

echo "== two releases at the caps (load average before: $(cut -d' ' -f1-3 /proc/loadavg)) =="
python3 "$root/bench/caps-release.py" "$scratch/caps-old.zip"
python3 "$root/bench/caps-release.py" "$scratch/caps-new.zip" 10 100
mkdir -p "$scratch/caps-old" "$scratch/caps-new"
(cd "$scratch/caps-old" && 7za x ../caps-old.zip >/dev/null)
(cd "$scratch/caps-new" && 7za x ../caps-new.zip >/dev/null)
"$check" --diff "$scratch/caps-old.zip" "$scratch/caps-new.zip" | grep '^Files:'
for release in caps-old.zip caps-old; do
  echo "$release alone: peak memory $(peak_mib "$check" "$scratch/$release") MiB"
done
for old in caps-old.zip caps-old; do
  for new in caps-new.zip caps-new; do
    echo "--diff $old $new: peak memory $(peak_mib "$check" --diff "$scratch/$old" "$scratch/$new") MiB," \
      "with --json $(peak_mib "$check" --diff --json "$scratch/$old" "$scratch/$new") MiB (target at most 64)"
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
