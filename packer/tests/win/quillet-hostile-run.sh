#!/bin/bash
# Quillet.exe under Wine in hostile conditions, the run's side: read-only
# stale outputs, a folder where the run writes a file, two runs in one
# working folder, and Ctrl+C while the archiver runs (where Wine delivers it).
# The archiver is the test-only 7za.exe, whose Linux half (7za-linux.sh) is
# replaced here by one that waits for a gate file when the case needs it.
#
# Usage: quillet-hostile-run.sh QUILLET_EXE SHIM_EXE SHIM_SCRIPT WINE_RUN WINEPREFIX
# Exits 77 (skipped) when Wine or 7za is missing.
set -uo pipefail
quillet="$1" shim="$2" shim_script="$3" wine_run="$4" prefix="$5"
export LC_ALL=C.UTF-8

for tool in wine 7za unzip; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

root="$(mktemp -d "${TMPDIR:-/tmp}/quillet-hostile-run.XXXXXX")"
trap 'rm -rf "$root"' EXIT

# A fresh working folder: a small staging tree and the archiver stand-in.
# With "gated", the archiver says so in archiver-waiting (with its pid) and
# waits until the file "release" appears before it packs.
working_folder() {  # NAME [gated]
  local work="$root/$1"
  mkdir -p "$work/FlashDrive/BSP"
  printf 'NK\r\n\0' >"$work/FlashDrive/BSP/NK.bin"
  printf 'map' >"$work/FlashDrive/EU.map"
  cp -a "$work/FlashDrive" "$work/staging-before"
  cp "$shim" "$work/7za.exe"
  if [ "${2:-}" = gated ]; then
    {
      echo '#!/bin/sh'
      echo 'dir="$(dirname "$0")"'
      echo 'echo $$ >"$dir/archiver-waiting"'
      echo 'while [ ! -e "$dir/release" ]; do sleep 0.1; done'
      tail -n +2 "$shim_script"
    } >"$work/7za-linux.sh"
  else
    cp "$shim_script" "$work/7za-linux.sh"
  fi
  chmod +x "$work/7za-linux.sh"
  echo "$work"
}

run() {  # WORK: runs Quillet.exe there, exit status in $status
  (cd "$1" && "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt)
  status=$?
}

staging_as_found() {  # WORK CASE
  diff -r "$1/staging-before" "$1/FlashDrive" >/dev/null ||
    fail "$2: the staging folder changed: $(diff -rq "$1/staging-before" "$1/FlashDrive")"
}

wait_for() {  # FILE SECONDS
  local tries=$(($2 * 10))
  while [ ! -e "$1" ] && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
  done
  [ -e "$1" ]
}

# 1. Read-only stale outputs are cleared and replaced, not merged into.
work=$(working_folder stale)
(cd "$root" && printf 'old' >stale.txt && 7za a -tzip "$work/ZarvoEUupdate.zip" stale.txt >/dev/null)
printf 'stale digest....' >"$work/FlashDrive/\$md5.bin"
chmod a-w "$work/ZarvoEUupdate.zip" "$work/FlashDrive/\$md5.bin"
run "$work"
[ "$status" -eq 0 ] || fail "read-only stale outputs: exit code $status, expected 0"
if unzip -l "$work/ZarvoEUupdate.zip" 2>/dev/null | grep -q stale.txt; then
  fail "read-only stale outputs: the old archive's entries were merged into the new one"
fi
[ ! -e "$work/FlashDrive/\$md5.bin" ] || fail "read-only stale outputs: \$md5.bin is left"
staging_as_found "$work" "read-only stale outputs"

# 2. A folder where the run writes a file stops the run before the walk.
work=$(working_folder folder-in-the-way)
mkdir "$work/FlashDrive/\$md5.bin"
cp -a "$work/FlashDrive/." "$work/staging-before/"
run "$work"
[ "$status" -eq 2 ] || fail "folder in the way: exit code $status, expected 2"
grep -qaF "'FlashDrive\\\$md5.bin' is a folder where the run writes a file" "$work/stdout.bin" ||
  fail "folder in the way: no message naming it"
[ ! -e "$work/ZarvoEUupdate.zip" ] || fail "folder in the way: an archive was made"
staging_as_found "$work" "folder in the way"

# 3. One run at a time: a second run while the first waits in the archiver
#    stops at once and changes nothing.
work=$(working_folder one-at-a-time gated)
(cd "$work" && "$wine_run" "$prefix" "$quillet" </dev/null >first.bin 2>&1) &
first=$!
if wait_for "$work/archiver-waiting" 60; then
  cp -a "$work/FlashDrive" "$work/during"
  run "$work"
  [ "$status" -eq 2 ] || fail "one run at a time: the second run's exit code $status, expected 2"
  grep -qaF 'Another run is packing in this working folder' "$work/stdout.bin" ||
    fail "one run at a time: the second run does not say why it stops"
  diff -r "$work/during" "$work/FlashDrive" >/dev/null ||
    fail "one run at a time: the second run changed the staging folder"
  touch "$work/release"
  wait "$first"
  first_status=$?
  [ "$first_status" -eq 0 ] || fail "one run at a time: the first run's exit code $first_status"
  [ -f "$work/ZarvoEUupdate.zip" ] || fail "one run at a time: the first run made no archive"
else
  fail "one run at a time: the first run never reached the archiver"
  kill "$first" 2>/dev/null
fi

# 4. Ctrl+C while the archiver runs. Wine turns SIGINT into a console
#    Ctrl+C event for a program attached to its console; without a console
#    it may not, and the case says so instead of failing.
work=$(working_folder interrupted gated)
(cd "$work" && exec "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt) &
runner=$!
if wait_for "$work/archiver-waiting" 60; then
  kill -INT "$runner" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$runner" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$runner" 2>/dev/null; then
    echo "NOTE: Wine did not deliver Ctrl+C to Quillet.exe here; the interruption case is not run"
    kill -KILL "$runner" 2>/dev/null
  else
    wait "$runner"
    status=$?
    [ "$status" -eq 130 ] || fail "Ctrl+C: exit code $status, expected 130"
    grep -qaF 'The run was interrupted; no archive was made' "$work/stdout.bin" ||
      fail "Ctrl+C: no message that the run was interrupted"
    echo "Ctrl+C reached Quillet.exe under Wine: exit code $status"
  fi
  # The test bridge's Linux half is not a Windows process, so no job ends
  # it: it is ended here, before it could pack anything.
  kill "$(cat "$work/archiver-waiting")" 2>/dev/null
  [ ! -e "$work/ZarvoEUupdate.zip" ] || fail "Ctrl+C: an archive is left"
  staging_as_found "$work" "Ctrl+C"
else
  fail "Ctrl+C: the run never reached the archiver"
  kill -KILL "$runner" 2>/dev/null
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "Quillet.exe under Wine: stale outputs, one run at a time and interruption as expected"
