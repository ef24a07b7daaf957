#!/bin/bash
# Runs a Windows program under Wine in a given Wine prefix.
# Usage: cmake/wine-run.sh WINEPREFIX PROGRAM [ARGUMENT...]
#
# The prefix is created on first use. Wine's own diagnostics are silenced and
# the Mono and Gecko installers are not offered.
#
# Wine's server, and the background programs Wine starts with it (services,
# devices), inherit the standard streams of the program that started them and
# live on after it: started by the program run here, they would hold the
# caller's output pipe (CTest's) open for as long as they live. So when no
# server runs for the prefix, one is started here, kept for a minute after its
# last client, and brought up with a trivial program, all with their streams
# detached. (scripts/test-windows.sh does the same once for a whole test run.)
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 WINEPREFIX PROGRAM [ARGUMENT...]" >&2; exit 2; }
export WINEPREFIX="$1"
shift
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
if wineserver -p60 </dev/null >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
exec wine "$@"
