#!/bin/bash
# Runs a Windows program under Wine in a given Wine prefix.
# Usage: cmake/wine-run.sh WINEPREFIX PROGRAM [ARGUMENT...]
#
# The prefix is created on first use. Wine's own diagnostics are silenced and
# the Mono and Gecko installers are not offered. When no Wine server runs for
# the prefix, one is started detached from our standard streams first: a
# server started by wine itself inherits them and would hold the caller's
# output pipe (CTest's) open after the program has ended.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 WINEPREFIX PROGRAM [ARGUMENT...]" >&2; exit 2; }
export WINEPREFIX="$1"
shift
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# Persistent for a minute after its last client; "already running" is fine.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
exec wine "$@"
