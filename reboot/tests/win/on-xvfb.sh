#!/bin/bash
# Runs a command with DISPLAY set to an Xvfb screen of its own, started here
# and ended when the command ends; its exit code is the command's. This is
# the one place the tests start a screen. Xvfb picks a free display number,
# so runs side by side never share a screen.
#
# Without Xvfb the command runs as it is, with no screen: tests that need
# one skip, saying why.
# Usage: on-xvfb.sh COMMAND [ARGUMENT...]
set -uo pipefail
if ! command -v Xvfb >/dev/null; then
  echo "note: Xvfb is not installed; running without a screen" >&2
  unset DISPLAY
  exec "$@"
fi
display_file="$(mktemp "${TMPDIR:-/tmp}/ostrel-xvfb.XXXXXX")"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" </dev/null >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$display_file"' EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.05; done
if [ ! -s "$display_file" ]; then
  echo "note: Xvfb did not start; running without a screen" >&2
  unset DISPLAY
else
  DISPLAY=":$(cat "$display_file")"
  export DISPLAY
fi
"$@"
