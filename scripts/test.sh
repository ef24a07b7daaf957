#!/bin/bash
# Runs every test: the native build, the sanitizer build (ASan + UBSan).
# Installs what it needs from Debian's archive when it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/ensure-packages.sh cmake make g++ googletest p7zip-full

for preset in native asan; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
