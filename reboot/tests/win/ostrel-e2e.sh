#!/bin/bash
# End-to-end runs of Ostrel.exe on a screen under Wine, with xdotool pressing
# the dialog's buttons with the mouse, as a person would. Run it on a screen
# of its own: on-xvfb.sh ostrel-e2e.sh ...
#
# Each case checks one behaviour and prints its own ok / not ok line (the
# case library, testing/e2e-lib.sh). Nothing passes or fails on how long
# Wine takes: the cases assert what happened and in which order, and the
# times are printed as figures. The only limits are deadlines that keep a
# stuck run from hanging.
#
# Three starts, in a scratch folder that is the root of drive T: of a Wine
# prefix kept for this test (the marker "\USB Disk\Zarvo\reboot.txt" lies at
# the root of the current drive; the reset stand-in writes Ostrel-reset.log
# beside Ostrel.exe, which is copied there too):
#  1. no marker, a program with a window "Tolvane" running: Yes, the
#     countdown and its reset request, then No;
#  2. with the marker left by the first;
#  3. no marker: No at once.
# Screenshots of the dialog (asking, and counting) are left in WORKDIR.
#
# Usage: ostrel-e2e.sh OSTREL_EXE HELPER_EXE WORKDIR
# Exits 77 (skipped) without a screen, xdotool or Wine.
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 OSTREL_EXE HELPER_EXE WORKDIR" >&2; exit 2; }
ostrel="$1" helper="$2" workdir="$3"

[ -n "${DISPLAY:-}" ] || { echo "SKIPPED: no screen (run it through on-xvfb.sh, with Xvfb)"; exit 77; }
for tool in xdotool wine wineserver; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

# --- The case library (ok / not ok lines, figures), and what a failed run shows.

# shellcheck source=../../../testing/e2e-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../testing/e2e-lib.sh"
e2e_on_failure() {
  for file in texts.log ostrel1.out ostrel2.out ostrel3.out Ostrel-reset.log; do
    [ -f "$drive/$file" ] && { echo "# --- $file"; cat -v "$drive/$file" | sed 's/^/#   /'; }
  done
}

now_ms() { date +%s%3N; }
# The X window with exactly this name, waiting up to $2 seconds; prints its id.
wait_window() {
  local until=$(($(now_ms) + $2 * 1000)) id
  while [ "$(now_ms)" -lt "$until" ]; do
    id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.05
  done
  return 1
}
# Waits up to $2 seconds for process $1 (a child of this script) to end:
# its exit code in $ended_with, the time it was seen gone in $ended_at.
wait_exit() {
  local until=$(($(now_ms) + $2 * 1000))
  while kill -0 "$1" 2>/dev/null; do
    [ "$(now_ms)" -lt "$until" ] || return 1
    sleep 0.05
  done
  ended_at=$(now_ms)
  wait "$1"
  ended_with=$?
  return 0
}
# Clicks the centre of control $1 of the dialog.
click_control() {
  rm -f centre.txt
  wine helper.exe centre Ostrel "$1" centre.txt </dev/null >/dev/null 2>&1
  local x y
  read -r x y <centre.txt 2>/dev/null || fail "control $1 of the dialog not found" || return 1
  xdotool mousemove "$x" "$y" click 1
}
screenshot() {
  command -v import >/dev/null || return 0
  import -window root "$workdir/$1" 2>/dev/null
}
# The message field's texts as the watcher saw them, without their times.
shown_texts() { cut -d' ' -f2- texts.log 2>/dev/null; }
# The watcher's time of the first line showing text $1.
shown_at() { grep -m1 -F " $1" texts.log | cut -d' ' -f1; }
count_text() { echo "After $1 seconds -> reboot system"; }

# --- The scratch drive and Wine.

mkdir -p "$workdir"
workdir="$(cd "$workdir" && pwd)"
e2e_init "$workdir"
drive="$workdir/drive"
rm -rf "$drive"
mkdir -p "$drive/USB Disk/Zarvo"
marker="$drive/USB Disk/Zarvo/reboot.txt"
reset_log="$drive/Ostrel-reset.log"
cp "$ostrel" "$drive/Ostrel.exe"
cp "$helper" "$drive/helper.exe"

export WINEPREFIX="$workdir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
server_started=0 tolvane="" watcher=""
cleanup() {
  # Only what this script started: the helpers, and its Wine server (with
  # the programs still running in its prefix).
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  [ -n "$tolvane" ] && kill "$tolvane" 2>/dev/null
  [ "$server_started" -eq 1 ] && wineserver -k 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/t:"
}
trap cleanup EXIT
cd "$drive" || exit 1

start_wine() {
  local started
  started=$(now_ms)
  mkdir -p "$WINEPREFIX"
  # One Wine server for all runs, its streams detached (see cmake/wine-run.sh).
  wineserver -p </dev/null >/dev/null 2>&1
  server_started=1
  wine cmd /c exit </dev/null >"$workdir/wine-start.log" 2>&1 ||
    fail "Wine could not start a program (prefix $WINEPREFIX): $(cat "$workdir/wine-start.log")" ||
    return 1
  # Unmanaged windows: Wine draws the frame and caption itself, with no
  # window manager on the screen to wait for.
  if [ ! -f "$WINEPREFIX/.ostrel-e2e-ready" ]; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null ||
      fail "cannot set the X11 driver's Managed key" || return 1
    touch "$WINEPREFIX/.ostrel-e2e-ready"
  fi
  ln -sfn "$drive" "$WINEPREFIX/dosdevices/t:"
  figure "Wine up on display $DISPLAY in $(($(now_ms) - started)) ms"
}

start_tolvane() {
  wine helper.exe window Tolvane </dev/null >/dev/null 2>&1 &
  tolvane=$!
  wait_window Tolvane 60 >/dev/null || fail "no window titled Tolvane appeared"
}

# --- 1. Yes: close, count down, reset; then No.

start_ostrel_asking() {
  local started
  started=$(now_ms)
  wine Ostrel.exe </dev/null >ostrel1.out 2>&1 &
  ostrel1=$!
  wine helper.exe watch Ostrel 1002 120 texts.log </dev/null >/dev/null 2>&1 &
  watcher=$!
  wait_window Ostrel 60 >/dev/null || fail "no dialog titled Ostrel" || return 1
  figure "dialog shown $(($(now_ms) - started)) ms after the start"
  sleep 0.3
  screenshot ostrel-dialog.png
  [ ! -e "$marker" ] || fail "a marker exists before Yes"
}

press_yes_and_let_it_count_down() {
  click_control 1000 || return 1
  pressed=$(now_ms)
  # What the field showed when Tolvane was seen gone: no count yet, if it
  # ended before the count began.
  if wait_exit "$tolvane" 60; then
    tolvane_status=$ended_with
    counts_when_tolvane_ended=$( (grep ' After ' texts.log 2>/dev/null || true) | wc -l)
    figure "Tolvane seen gone $((ended_at - pressed)) ms after Yes"
  fi
  tolvane=""
  local shot=0
  until [ -s "$reset_log" ] || [ "$(now_ms)" -gt $((pressed + 120000)) ]; do
    if [ "$shot" -eq 0 ] && grep -q ' After 5 ' texts.log 2>/dev/null; then
      screenshot ostrel-countdown.png
      shot=1
    fi
    sleep 0.05
  done
  [ -s "$reset_log" ] || fail "no reset request within two minutes of Yes" || return 1
  # The count 0 is set in the same tick that makes the request; give the
  # watcher its next look at the field.
  local until=$(($(now_ms) + 10000))
  until grep -q " $(count_text 0)" texts.log || [ "$(now_ms)" -gt "$until" ]; do sleep 0.05; done
}

check_tolvane_ended_with_0() {
  [ -n "${tolvane_status:-}" ] || fail "Tolvane still ran a minute after Yes" || return 1
  [ "$tolvane_status" -eq 0 ] || fail "Tolvane ended with $tolvane_status, not terminated with 0"
}

check_tolvane_before_count() {
  [ -n "${counts_when_tolvane_ended:-}" ] || fail "Tolvane was not seen ending" || return 1
  [ "$counts_when_tolvane_ended" -eq 0 ] ||
    fail "the field had shown $counts_when_tolvane_ended counts when Tolvane ended"
}

check_marker_empty() {
  [ -f "$marker" ] || fail "no marker after Yes" || return 1
  [ ! -s "$marker" ] || fail "the marker holds $(wc -c <"$marker") bytes"
}

check_counts() {
  local expected first last previous gap gaps="" n
  expected="Do you want to reboot system?"
  for n in 10 9 8 7 6 5 4 3 2 1 0; do expected+=$'\n'"$(count_text "$n")"; done
  [ "$(shown_texts)" = "$expected" ] || fail "the field showed:
$(shown_texts)" || return 1
  first=$(shown_at "$(count_text 10)") last=$(shown_at "$(count_text 0)")
  previous=$first
  for n in 9 8 7 6 5 4 3 2 1 0; do
    gap=$(($(shown_at "$(count_text "$n")") - previous))
    gaps+=" $gap"
    previous=$((previous + gap))
  done
  figure "count 10 seen $((first - pressed)) ms after Yes, count 0 $((last - pressed)) ms after"
  figure "ms between counts:$gaps"
}

check_reset_once_after_0() {
  local lines stamp stamped one_seen
  lines=$(wc -l <"$reset_log")
  [ "$lines" -eq 1 ] || fail "$lines reset requests: $(cat -v "$reset_log")" || return 1
  grep -qE $'^KernelIoControl 0x01012190 in 0 out 0 at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}Z\r$' \
    "$reset_log" || fail "the reset record reads: $(cat -v "$reset_log")" || return 1
  # Made after the count 1 was on the screen, by the tick that showed 0:
  # the field's last text is the count 0.
  stamp=$(sed -E 's/.* at ([^\r]*).*/\1/' "$reset_log")
  stamped=$(date -u -d "$stamp" +%s%3N) || fail "cannot read the time $stamp" || return 1
  one_seen=$(shown_at "$(count_text 1)")
  [ -n "$one_seen" ] && [ "$stamped" -gt "$one_seen" ] ||
    fail "the request ($stamp) came before the count 1 was seen" || return 1
  [ "$(shown_texts | tail -1)" = "$(count_text 0)" ] ||
    fail "the field last showed: $(shown_texts | tail -1)" || return 1
  figure "reset request stamped $((stamped - pressed)) ms after Yes"
}

check_dialog_stays() {
  sleep 0.3
  xdotool search --name '^Ostrel$' >/dev/null || fail "the dialog went away after the reset request"
}

press_no_ends_with_0_keeping_marker() {
  click_control 1001 || return 1
  local clicked
  clicked=$(now_ms)
  wait_exit "$ostrel1" 60 || fail "Ostrel still runs a minute after No" || return 1
  figure "No ended the program $((ended_at - clicked)) ms after the click"
  [ "$ended_with" -eq 0 ] || fail "Ostrel ended with $ended_with after No" || return 1
  [ -f "$marker" ] || fail "the marker went away without a new start"
}

# --- 2. The start after the reset.

start_with_marker() {
  local started
  started=$(now_ms)
  wine Ostrel.exe </dev/null >ostrel2.out 2>&1 &
  local ostrel2=$!
  if ! wait_exit "$ostrel2" 60; then
    kill "$ostrel2" 2>/dev/null
    fail "Ostrel still runs a minute after starting with the marker (a dialog?)"
    return 1
  fi
  figure "the start with the marker ended by itself after $((ended_at - started)) ms"
  [ "$ended_with" -eq 0 ] || fail "Ostrel ended with $ended_with" || return 1
  [ ! -e "$marker" ] || fail "the marker is still there"
}

# --- 3. No at once.

press_no_at_once() {
  wine Ostrel.exe </dev/null >ostrel3.out 2>&1 &
  ostrel3=$!
  wait_window Ostrel 60 >/dev/null || fail "no dialog titled Ostrel" || return 1
  click_control 1001 || return 1
  local clicked
  clicked=$(now_ms)
  wait_exit "$ostrel3" 60 || fail "Ostrel still runs a minute after No" || return 1
  figure "No ended the program $((ended_at - clicked)) ms after the click"
  [ "$ended_with" -eq 0 ] || fail "Ostrel ended with $ended_with after No"
}

check_no_marker() { [ ! -e "$marker" ] || fail "a marker after No"; }

check_nothing_closed_no_reset() {
  kill -0 "$tolvane" 2>/dev/null || fail "Tolvane ended" || return 1
  [ "$(wc -l <"$reset_log")" -eq 1 ] || fail "a reset request after No: $(cat -v "$reset_log")"
}

test_setup 'Wine runs programs on the screen' start_wine
test_setup 'an application titled Tolvane runs' start_tolvane
test_expect_success 'without a marker Ostrel.exe asks, writing nothing' start_ostrel_asking
test_setup 'Yes is clicked and the count runs out' press_yes_and_let_it_count_down
test_expect_success 'Yes ends Tolvane with exit code 0' check_tolvane_ended_with_0
test_expect_success 'Tolvane ends before the first count' check_tolvane_before_count
test_expect_success 'Yes writes an empty marker' check_marker_empty
test_expect_success 'the field shows 10 down to 0, each once, in order' check_counts
test_expect_success 'the reset stand-in fires once, after the count 0' check_reset_once_after_0
test_expect_success 'the dialog stays after the reset request' check_dialog_stays
test_expect_success 'No then ends the program with 0; the marker stays' \
  press_no_ends_with_0_keeping_marker
[ -n "$watcher" ] && wait "$watcher" 2>/dev/null
watcher=""
test_expect_success 'a start with the marker ends by itself and removes it' start_with_marker
test_setup 'an application titled Tolvane runs again' start_tolvane
test_expect_success 'No at once ends the program with 0' press_no_at_once
test_expect_success 'No leaves no marker' check_no_marker
test_expect_success 'No closes nothing and requests no reset' check_nothing_closed_no_reset
command -v import >/dev/null &&
  echo "# screenshots: $workdir/ostrel-dialog.png $workdir/ostrel-countdown.png"
finish
