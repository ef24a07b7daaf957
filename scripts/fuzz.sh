#!/bin/bash
# Builds the packer's fuzz targets (the `fuzz` preset: clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs them for a bounded
# total time, shared between them: the file list's loading and stripping, and
# the list decoder. Exits non-zero when a fuzzer finds anything (a crash, a
# sanitizer report, a leak, a broken promise); the input that did it is left
# in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60, in total)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-60}"

scripts/ensure-packages.sh cmake make clang libclang-rt-14-dev zlib1g-dev googletest

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target file_list_fuzz list_format_fuzz quillet_unit_tests

work="$root/build/fuzz"
findings="$work/findings"
mkdir -p "$findings" "$work/corpus/file_list" "$work/corpus/list_format"
# Seeds: lists as the walk and the stripping write them, made by the list
# encoder through a unit test (the corpora grow from run to run).
for corpus in file_list list_format; do
  QUILLET_FUZZ_SEEDS="$work/corpus/$corpus" "$work/packer/tests/quillet_unit_tests" \
    --gtest_filter='ListFuzzSeeds.*' >/dev/null
done

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
each=$(( seconds / 2 > 0 ? seconds / 2 : 1 ))
for target in file_list list_format; do
  status=0
  "$work/packer/tests/fuzz/${target}_fuzz" -max_total_time="$each" -timeout=10 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" "$work/corpus/$target" ||
    status=$?
  if [ "$status" -ne 0 ]; then
    echo "The ${target} fuzzer found a fault (exit $status); inputs in $findings" >&2
    exit 1
  fi
  echo "The ${target} fuzzer ran ${each} s and found nothing"
done
