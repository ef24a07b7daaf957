#!/bin/bash
# Runs a command with DISPLAY set to an Xvfb screen of its own, started here
# and ended afterwards. Exits 77 (skipped) when Xvfb is missing.
# Usage: on-xvfb.sh COMMAND [ARGUMENT...]
set -uo pipefail
command -v Xvfb >/dev/null || { echo "SKIPPED: Xvfb is not installed"; exit 77; }
display_file="$(mktemp "${TMPDIR:-/tmp}/ostrel-xvfb.XXXXXX")"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" </dev/null >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -f "$display_file"' EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.05; done
[ -s "$display_file" ] || { echo "SKIPPED: Xvfb did not start"; exit 77; }
DISPLAY=":$(cat "$display_file")" "$@"
