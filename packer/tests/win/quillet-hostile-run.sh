#!/bin/bash
# Quillet.exe under Wine in hostile conditions, the run's side: read-only
# stale outputs, a folder where the run writes a file, two runs in one
# working folder, and Ctrl+C while the archiver runs (where Wine delivers it).
# The archiver is the test-only 7za.exe, whose Linux half (7za-linux.sh) is
# replaced here by one that waits for a gate file when the case needs it.
# Each case has its own ok / not ok line (the case library,
# testing/e2e-lib.sh).
#
# Usage: quillet-hostile-run.sh QUILLET_EXE SHIM_EXE SHIM_SCRIPT WINE_RUN WINEPREFIX
# Exits 77 (skipped) when Wine or 7za is missing, 1 when a case fails.
set -uo pipefail
quillet="$1" shim="$2" shim_script="$3" wine_run="$4" prefix="$5"
export LC_ALL=C.UTF-8

for tool in wine 7za unzip; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

# shellcheck source=../../../testing/e2e-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../testing/e2e-lib.sh"

root="$(mktemp -d "${TMPDIR:-/tmp}/quillet-hostile-run.XXXXXX")"
first="" runner="" interrupt_delivered=0
# Only what this script started: a run still waiting in the gated archiver.
cleanup() {
  [ -n "$first" ] && kill -KILL "$first" 2>/dev/null
  [ -n "$runner" ] && kill -KILL "$runner" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
e2e_init "$root/cases"

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

staging_as_found() {  # WORK
  diff -r "$1/staging-before" "$1/FlashDrive" >/dev/null ||
    fail "the staging folder changed: $(diff -rq "$1/staging-before" "$1/FlashDrive")"
}

wait_for() {  # FILE SECONDS
  local tries=$(($2 * 10))
  while [ ! -e "$1" ] && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
  done
  [ -e "$1" ]
}

stale_outputs_replaced() {
  local work
  work=$(working_folder stale)
  (cd "$root" && printf 'old' >stale.txt && 7za a -tzip "$work/ZarvoEUupdate.zip" stale.txt >/dev/null)
  printf 'stale digest....' >"$work/FlashDrive/\$md5.bin"
  chmod a-w "$work/ZarvoEUupdate.zip" "$work/FlashDrive/\$md5.bin"
  run "$work"
  [ "$status" -eq 0 ] || fail "exit code $status, expected 0"
  if unzip -l "$work/ZarvoEUupdate.zip" 2>/dev/null | grep -q stale.txt; then
    fail "the old archive's entries were merged into the new one"
  fi
  [ ! -e "$work/FlashDrive/\$md5.bin" ] || fail "\$md5.bin is left"
  staging_as_found "$work"
}

folder_in_the_way() {
  local work
  work=$(working_folder folder-in-the-way)
  mkdir "$work/FlashDrive/\$md5.bin"
  cp -a "$work/FlashDrive/." "$work/staging-before/"
  run "$work"
  [ "$status" -eq 2 ] || fail "exit code $status, expected 2"
  grep -qaF "'FlashDrive\\\$md5.bin' is a folder where the run writes a file" "$work/stdout.bin" ||
    fail "no message naming it"
  [ ! -e "$work/ZarvoEUupdate.zip" ] || fail "an archive was made"
  staging_as_found "$work"
}

# The first run waits in the gated archiver while the second one runs.
second_run_stops() {
  together=$(working_folder one-at-a-time gated)
  (cd "$together" && exec "$wine_run" "$prefix" "$quillet" </dev/null >first.bin 2>&1) &
  first=$!
  wait_for "$together/archiver-waiting" 60 || fail "the first run never reached the archiver" ||
    return 1
  cp -a "$together/FlashDrive" "$together/during"
  run "$together"
  [ "$status" -eq 2 ] || fail "the second run's exit code $status, expected 2"
  grep -qaF 'Another run is packing in this working folder' "$together/stdout.bin" ||
    fail "the second run does not say why it stops"
  diff -r "$together/during" "$together/FlashDrive" >/dev/null ||
    fail "the second run changed the staging folder"
}

first_run_completes() {
  [ -e "$together/archiver-waiting" ] || fail "the first run never reached the archiver" || return 1
  touch "$together/release"
  wait "$first"
  local first_status=$?
  first=""
  [ "$first_status" -eq 0 ] || fail "the first run's exit code $first_status"
  [ -f "$together/ZarvoEUupdate.zip" ] || fail "the first run made no archive"
}

# Wine turns SIGINT into a console Ctrl+C event for a program attached to
# its console; without a console it may not, and the two cases are then
# skipped instead of failing. The run is then let through the archiver and
# waited for: a run ended with SIGKILL instead could not tidy up, and would
# leave its lists and Wine processes behind.
interrupted_run_ended() {
  local tries=$(($1 * 10))
  while kill -0 "$runner" 2>/dev/null && [ "$tries" -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
  done
  ! kill -0 "$runner" 2>/dev/null
}
interrupt_in_archiver() {
  interrupt_delivered=0
  interrupted=$(working_folder interrupted gated)
  (cd "$interrupted" && exec "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt) &
  runner=$!
  wait_for "$interrupted/archiver-waiting" 60 || fail "the run never reached the archiver" ||
    return 1
  kill -INT "$runner" 2>/dev/null
  if ! interrupted_run_ended 10; then
    skip "Wine did not deliver Ctrl+C to Quillet.exe here"
    touch "$interrupted/release"
    interrupted_run_ended 60 || fail "the run still runs a minute after its archiver was let go" ||
      return 1
    wait "$runner"
    runner=""
    return 0
  fi
  interrupt_delivered=1
  wait "$runner"
  status=$?
  runner=""
  [ "$status" -eq 130 ] || fail "exit code $status, expected 130"
  grep -qaF 'The run was interrupted; no archive was made' "$interrupted/stdout.bin" ||
    fail "no message that the run was interrupted"
}

# The test bridge's Linux half is not a Windows process, so no job ends it:
# it is ended here, before it could pack anything.
nothing_left_after_interrupt() {
  [ -e "$interrupted/archiver-waiting" ] || fail "the run never reached the archiver" || return 1
  if [ "$interrupt_delivered" -eq 0 ]; then
    skip "no Ctrl+C reached the run"
    return 0
  fi
  kill "$(cat "$interrupted/archiver-waiting")" 2>/dev/null
  [ ! -e "$interrupted/ZarvoEUupdate.zip" ] || fail "an archive is left"
  staging_as_found "$interrupted"
}

# The archiver writes into a pipe the packer copies to its standard output:
# a Windows-side line of the stand-in (7za.cmd, which then runs the test's
# 7za.exe) shows before the check's line, and a reader that goes away ends
# neither the archiver nor the run. (Wine hands the stand-in's Linux half the
# null device for that pipe: Debian 7za's own lines are not shown.)
talking_archiver() {  # NAME: a working folder whose archiver says a line first
  local work
  work=$(working_folder "$1")
  mv "$work/7za.exe" "$work/7za-shim.exe"
  printf '@echo ARCHIVER-OUTPUT\r\n@"%%~dp07za-shim.exe" %%*\r\n' >"$work/7za.cmd"
  echo "$work"
}

archiver_output_comes_through() {
  local work
  work=$(talking_archiver output)
  run "$work"
  [ "$status" -eq 0 ] || fail "exit code $status, expected 0"
  tr -d '\r' <"$work/stdout.bin" | grep -aqzF $'ARCHIVER-OUTPUT\nChecked ZarvoEUupdate.zip' ||
    fail "the archiver's line is not followed by the check's"
}

output_into_head() {
  local work
  work=$(talking_archiver head)
  (cd "$work" && "$wine_run" "$prefix" "$quillet" </dev/null 2>stderr.txt | head -c 20 >/dev/null
   echo "${PIPESTATUS[0]}" >exit-code)
  [ "$(cat "$work/exit-code")" = 0 ] || fail "exit code $(cat "$work/exit-code"), expected 0"
  [ -f "$work/ZarvoEUupdate.zip" ] || fail "no archive"
  staging_as_found "$work"
}

test_expect_success "the archiver's output comes through the packer, before the check's line" \
  archiver_output_comes_through
test_expect_success 'standard output piped into head -c 20: the run still packs, exit code 0' \
  output_into_head
test_expect_success 'read-only stale outputs are cleared and replaced, not merged into' \
  stale_outputs_replaced
test_expect_success 'a folder where the run writes a file stops the run before the walk' \
  folder_in_the_way
test_expect_success 'a second run while the first packs stops at once with 2, changing nothing' \
  second_run_stops
test_expect_success 'the first run then ends with 0 and its archive' first_run_completes
test_expect_success 'Ctrl+C while the archiver runs: exit code 130, and it says so' \
  interrupt_in_archiver
test_expect_success 'after Ctrl+C: no archive, the staging folder as found' \
  nothing_left_after_interrupt
finish
