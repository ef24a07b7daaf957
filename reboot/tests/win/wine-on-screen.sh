#!/bin/bash
# Runs a Windows program under Wine on the screen in DISPLAY, in a Wine
# prefix that only the callers of this script use, with a Wine server of
# its own that starts here and ends with the program.
#
# Wine's desktop takes its screen from the program that started the
# server. The build's shared prefix is served by one server for the whole
# test run, started before any screen exists (scripts/test-windows.sh):
# there every window fails, and the contract's cases on the Win32 backend
# could only skip. Here each run starts the server, and with it the
# desktop, on its own screen (cmake/wine-run.sh starts one when none
# runs), and ends it afterwards, so the next run's desktop is on that
# run's screen. Runs in one prefix must not overlap (the contract's cases
# hold a CTest resource lock).
#
# Usage: wine-on-screen.sh WINEPREFIX PROGRAM [ARGUMENT...]
# Exits with the program's exit code.
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: $0 WINEPREFIX PROGRAM [ARGUMENT...]" >&2; exit 2; }
export WINEPREFIX="$1"
# One an earlier run of this prefix left behind would hold the old screen.
wineserver -k 2>/dev/null
bash "$(dirname "$0")/../../../cmake/wine-run.sh" "$@"
status=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
exit "$status"
