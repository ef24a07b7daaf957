#!/bin/bash
# Builds the Windows programs with mingw-w64 (the `windows` preset) and runs
# their tests under Wine. Installs what it needs from Debian's archive when it
# is missing.
#
# One Wine server serves the whole test run: it is started before the build
# (with one trivial program, which also creates the Wine prefix on the first
# run, in build/windows/wineprefix) and ended after them, so that no server
# lingers holding CTest's output open.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# fonts-wine is only recommended by Wine, and packages are installed without
# recommendations: the dialogs under test need its fonts.
scripts/ensure-packages.sh cmake make googletest p7zip-full unzip libz-mingw-w64-dev \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 xvfb xdotool imagemagick \
  fonts-wine

export WINEPREFIX="$root/build/windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# A server already running for the prefix (a run by hand) serves as well.
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine starts (and creates the prefix on the first run) while the programs
# are built; what it says about its own set-up is shown only if it fails.
log="$root/build/windows/wine-start.log"
wine cmd /c exit </dev/null >"$log" 2>&1 &
starting=$!
# Ostrel's end-to-end run keeps a prefix of its own (reboot/tests/win/
# ostrel-e2e.sh): made here as well, when it is missing, with that run's
# settings; the run itself finishes it.
e2e_prefix="$root/build/windows/reboot/tests/e2e/wineprefix"
e2e_starting=""
if [ ! -d "$e2e_prefix" ]; then
  mkdir -p "$e2e_prefix"
  WINEPREFIX="$e2e_prefix" WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d" \
    wine cmd /c exit </dev/null >/dev/null 2>&1 &
  e2e_starting=$!
fi

cmake --preset windows >/dev/null
cmake --build --preset windows

if [ -n "$e2e_starting" ]; then
  # (when this fails, the end-to-end run makes the prefix and says why)
  wait "$e2e_starting" || true
  WINEPREFIX="$e2e_prefix" wineserver -k 2>/dev/null || true
fi
if ! wait "$starting"; then
  cat "$log" >&2
  echo "Wine could not start a program (prefix $WINEPREFIX)" >&2
  exit 1
fi

# The end-to-end test compares Quillet.exe with the Linux build where that exists.
[ -x "$root/build/native/packer/Quillet" ] && export QUILLET_NATIVE="$root/build/native/packer/Quillet"
ctest --preset windows
