#!/bin/bash
# Builds the packer's file list fuzz target (the `fuzz` preset: clang,
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) and runs it for
# a bounded time. Exits non-zero when the fuzzer finds anything (a crash, a
# sanitizer report, a leak, a broken promise of the load or the stripping);
# the input that did it is left in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-60}"

scripts/ensure-packages.sh cmake make clang libclang-rt-14-dev googletest zlib1g-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target file_list_fuzz

work="$root/build/fuzz"
corpus="$work/corpus/file_list"
findings="$work/findings"
mkdir -p "$corpus" "$findings"
# Seeds: first-form lists as the walk writes them (the corpus grows from run to run).
printf '\x01\x00F\x00l\x00a\x00s\x00h\x00D\x00r\x00i\x00v\x00e\x00\\\x00x\x00\n\x00' \
  >"$corpus/seed-one-file"
printf '\x02\x00F\x00l\x00a\x00s\x00h\x00D\x00r\x00i\x00v\x00e\x00\\\x00A\x00\\\x00b\x00\n\x00\n\x00F\x00l\x00a\x00s\x00h\x00D\x00r\x00i\x00v\x00e\x00\\\x00c\x00\n\x00' \
  >"$corpus/seed-two-files"
printf '\x00\x00' >"$corpus/seed-empty-list"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
"$work/packer/tests/fuzz/file_list_fuzz" -max_total_time="$seconds" -timeout=10 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" || status=$?
if [ "$status" -ne 0 ]; then
  echo "The file list fuzzer found a fault (exit $status); inputs in $findings" >&2
  exit 1
fi
echo "The file list fuzzer ran ${seconds} s and found nothing"
