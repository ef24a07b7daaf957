#!/bin/bash
# End-to-end runs of Ostrel.exe on a screen: Xvfb, Wine, and xdotool pressing
# the dialog's buttons with the mouse, as a person would.
#
#  1. With no marker: the dialog shows; a program with a window titled
#     "Tolvane" is running. Yes is clicked: that program ends (with exit code
#     0, the one Ostrel terminates it with), the marker appears, the message
#     field keeps the question for about four seconds, then counts 10, 9, ...
#     0 a second apart, and the reset stand-in records its request about 14 s
#     after the click. The dialog stays (the reset "returned"); No ends it.
#  2. With the marker present: the program ends by itself, with no window,
#     and the marker is gone.
#  3. With no marker: No ends the program; no marker, nothing closed, no
#     reset request.
#
# The marker "\USB Disk\Zarvo\reboot.txt" lies at the root of the current
# drive: the runs start in a scratch folder that is the root of drive T: of
# a Wine prefix kept for this test. The reset stand-in writes Ostrel-reset.log
# beside Ostrel.exe, which is copied into the same folder.
#
# Screenshots of the dialog (asking, and counting) are left in WORKDIR.
#
# Usage: ostrel-e2e.sh OSTREL_EXE HELPER_EXE WORKDIR
# Exits 77 (skipped) when Xvfb, xdotool or Wine is missing.
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 OSTREL_EXE HELPER_EXE WORKDIR" >&2; exit 2; }
ostrel="$1" helper="$2" workdir="$3"

for tool in Xvfb xdotool wine wineserver; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
have_import=1
command -v import >/dev/null || { have_import=0; echo "note: no ImageMagick import, no screenshots"; }

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
now_ms() { date +%s%3N; }

mkdir -p "$workdir"
workdir="$(cd "$workdir" && pwd)"
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

xvfb_pid="" server_started=0
cleanup() {
  # Only what this script started: its Wine server (and with it the
  # programs still running in its prefix) and its X server.
  [ "$server_started" -eq 1 ] && wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/t:"
}
trap cleanup EXIT

# A screen of our own; Xvfb picks a free display number and tells it.
display_file="$workdir/display"
rm -f "$display_file"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" </dev/null \
  >"$workdir/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.05; done
[ -s "$display_file" ] || { echo "SKIPPED: Xvfb did not start: $(cat "$workdir/xvfb.log")"; exit 77; }
export DISPLAY=":$(cat "$display_file")"

# One Wine server for all runs, its streams detached (see cmake/wine-run.sh).
started=$(now_ms)
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
server_started=1
if ! wine cmd /c exit </dev/null >"$workdir/wine-start.log" 2>&1; then
  cat "$workdir/wine-start.log"
  echo "FAILED: Wine could not start a program (prefix $WINEPREFIX)"
  exit 1
fi
# Unmanaged windows: Wine draws the frame and caption itself, with no window
# manager on the screen to wait for.
if [ ! -f "$WINEPREFIX/.ostrel-e2e-ready" ]; then
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 ||
    fail "cannot set the X11 driver's Managed key"
  touch "$WINEPREFIX/.ostrel-e2e-ready"
fi
ln -sfn "$drive" "$WINEPREFIX/dosdevices/t:"
echo "Wine is up on display $DISPLAY ($(($(now_ms) - started)) ms)"

cd "$drive"

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
# Waits up to $2 seconds for process $1 (a child of this script) to end; its
# exit code in $ended_with, or 1 when it is still running.
wait_exit() {
  local until=$(($(now_ms) + $2 * 1000))
  while kill -0 "$1" 2>/dev/null; do
    [ "$(now_ms)" -lt "$until" ] || return 1
    sleep 0.05
  done
  wait "$1"
  ended_with=$?
  return 0
}
# Clicks the centre of control $1 of the dialog.
click_control() {
  rm -f centre.txt
  wine helper.exe centre Ostrel "$1" centre.txt </dev/null >/dev/null 2>&1
  local x y
  read -r x y <centre.txt 2>/dev/null || { fail "control $1 not found"; return 1; }
  xdotool mousemove "$x" "$y" click 1
}
screenshot() {
  [ "$have_import" -eq 1 ] || return 0
  import -window root "$workdir/$1" 2>/dev/null || fail "no screenshot $1"
}
ended_with=0

# --- 1. Yes: close, count down, reset.
wine helper.exe window Tolvane </dev/null >/dev/null 2>&1 &
tolvane=$!
wait_window Tolvane 20 >/dev/null || fail "the Tolvane window did not appear"

started=$(now_ms)
wine Ostrel.exe </dev/null >ostrel1.out 2>&1 &
ostrel1=$!
wine helper.exe watch Ostrel 1002 60 texts.log </dev/null >/dev/null 2>&1 &
watcher=$!
if ! wait_window Ostrel 20 >/dev/null; then
  fail "no dialog titled Ostrel"
else
  echo "dialog shown $(($(now_ms) - started)) ms after the start"
  sleep 0.3
  screenshot ostrel-dialog.png
  [ ! -e "$marker" ] || fail "a marker before Yes"

  click_control 1000
  pressed=$(now_ms)
  if wait_exit "$tolvane" 5; then
    echo "Tolvane ended $(($(now_ms) - pressed)) ms after Yes, exit code $ended_with"
    [ "$ended_with" -eq 0 ] || fail "Tolvane ended with $ended_with, not terminated with 0"
  else
    fail "Tolvane still runs 5 s after Yes"
  fi
  [ -f "$marker" ] && [ ! -s "$marker" ] || fail "no empty marker after Yes"

  shot_taken=0
  until [ -s "$reset_log" ] || [ "$(now_ms)" -gt $((pressed + 25000)) ]; do
    if [ "$shot_taken" -eq 0 ] && [ "$(now_ms)" -gt $((pressed + 8000)) ]; then
      screenshot ostrel-countdown.png
      shot_taken=1
    fi
    sleep 0.05
  done
  if [ -s "$reset_log" ]; then
    reset=$(now_ms)
    echo "reset stand-in fired $((reset - pressed)) ms after Yes"
    [ $((reset - pressed)) -ge 12500 ] && [ $((reset - pressed)) -le 17000 ] ||
      fail "reset request $((reset - pressed)) ms after Yes, expected about 14000"
    [ "$(wc -l <"$reset_log")" -eq 1 ] || fail "more than one reset request: $(cat "$reset_log")"
    grep -qE $'^KernelIoControl 0x01012190 in 0 out 0 at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}Z\r$' \
      "$reset_log" || fail "reset record reads: $(cat -v "$reset_log")"
  else
    fail "no reset request within 25 s of Yes"
  fi

  # The dialog stays after a reset that returned; No ends the program.
  sleep 0.3
  xdotool search --name '^Ostrel$' >/dev/null || fail "the dialog went away after the reset request"
  click_control 1001
  if wait_exit "$ostrel1" 5; then
    [ "$ended_with" -eq 0 ] || fail "Ostrel ended with $ended_with after No"
  else
    fail "Ostrel still runs 5 s after No"
  fi
  [ -f "$marker" ] || fail "the marker went away without a new start"
fi
wait "$watcher" 2>/dev/null

# The message field, as the watcher saw it: the question until about four
# seconds after Yes, then each count from 10 to 0 about a second apart.
if [ -f texts.log ] && [ -n "${pressed:-}" ]; then
  expected=$'Do you want to reboot system?'
  for count in 10 9 8 7 6 5 4 3 2 1 0; do
    expected+=$'\n'"After $count seconds -> reboot system"
  done
  shown=$(cut -d' ' -f2- texts.log)
  [ "$shown" = "$expected" ] || fail "message field showed:
$shown"
  mapfile -t times < <(cut -d' ' -f1 texts.log)
  if [ "${#times[@]}" -eq 12 ]; then
    first=$((times[1] - pressed))
    echo "count 10 shown $first ms after Yes, count 0 $((times[11] - pressed)) ms after"
    [ "$first" -ge 3800 ] && [ "$first" -le 5500 ] ||
      fail "the count appeared $first ms after Yes, expected about 4000"
    for i in $(seq 2 11); do
      gap=$((times[i] - times[i - 1]))
      [ "$gap" -ge 700 ] && [ "$gap" -le 1500 ] || fail "count $((12 - i)) came $gap ms after the one before"
    done
    [ -n "${reset:-}" ] && [ "${times[11]}" -le "$reset" ] || fail "count 0 not shown before the reset request"
  fi
else
  fail "the message field was not watched"
fi

# --- 2. Marker present: no window, marker gone.
started=$(now_ms)
wine Ostrel.exe </dev/null >ostrel2.out 2>&1 &
ostrel2=$!
if wait_exit "$ostrel2" 15; then
  echo "start with the marker ended by itself after $(($(now_ms) - started)) ms"
  [ "$ended_with" -eq 0 ] || fail "Ostrel ended with $ended_with with the marker present"
else
  fail "Ostrel still runs with the marker present (a dialog?)"
  kill "$ostrel2" 2>/dev/null
fi
[ ! -e "$marker" ] || fail "the marker is still there after the start that found it"

# --- 3. No: nothing happens.
wine helper.exe window Tolvane </dev/null >/dev/null 2>&1 &
tolvane=$!
wait_window Tolvane 20 >/dev/null || fail "the Tolvane window did not appear"
started=$(now_ms)
wine Ostrel.exe </dev/null >ostrel3.out 2>&1 &
ostrel3=$!
if wait_window Ostrel 20 >/dev/null; then
  click_control 1001
  pressed=$(now_ms)
  if wait_exit "$ostrel3" 5; then
    echo "No ended the program after $(($(now_ms) - pressed)) ms (whole run $(($(now_ms) - started)) ms)"
    [ "$ended_with" -eq 0 ] || fail "Ostrel ended with $ended_with after No"
  else
    fail "Ostrel still runs 5 s after No"
    kill "$ostrel3" 2>/dev/null
  fi
else
  fail "no dialog titled Ostrel on the third start"
  kill "$ostrel3" 2>/dev/null
fi
[ ! -e "$marker" ] || fail "a marker after No"
kill -0 "$tolvane" 2>/dev/null || fail "No closed Tolvane"
[ "$(wc -l <"$reset_log" 2>/dev/null)" = 1 ] || fail "No made a reset request"
kill "$tolvane" 2>/dev/null

if [ "$failures" -ne 0 ]; then
  for file in texts.log ostrel1.out ostrel2.out ostrel3.out Ostrel-reset.log; do
    [ -f "$file" ] && { echo "--- $file"; cat -v "$file"; }
  done
  exit 1
fi
[ "$have_import" -eq 1 ] && echo "screenshots: $workdir/ostrel-dialog.png $workdir/ostrel-countdown.png"
echo "Ostrel.exe under Wine: dialog, closing, countdown, reset request, marker as expected"
