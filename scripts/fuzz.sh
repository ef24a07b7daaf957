#!/bin/bash
# Builds the packer's fuzz targets (the `fuzz` preset: clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer), the file list's and the
# zip reader's, and runs them for a bounded time shared between them (half
# each). Exits non-zero when a fuzzer finds anything (a crash, a sanitizer
# report, a leak, a broken promise of the code under test); the input that
# did it is left in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60, in all)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-60}"
list_seconds=$(( (seconds + 1) / 2 ))
zip_seconds=$(( seconds - list_seconds ))

scripts/ensure-packages.sh cmake make clang libclang-rt-14-dev googletest zlib1g-dev p7zip-full

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target file_list_fuzz zip_reader_fuzz zip_fuzz_seeds

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
"$work/packer/tests/fuzz/file_list_fuzz" -max_total_time="$list_seconds" -timeout=10 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" || status=$?
if [ "$status" -ne 0 ]; then
  echo "The file list fuzzer found a fault (exit $status); inputs in $findings" >&2
  exit 1
fi
echo "The file list fuzzer ran ${list_seconds} s and found nothing"
[ "$zip_seconds" -gt 0 ] || exit 0

# Seeds of the zip reader: archives as Debian's 7za writes them (deflated,
# stored, with folders, with UTF-8 names) and the forms it does not write
# (Zip64, data descriptors, legacy and Unicode Path names) from our writer.
zip_corpus="$work/corpus/zip_reader"
stage="$work/zip-seed-stage"
rm -rf "$stage"
mkdir -p "$zip_corpus" "$stage/sub/deep" "$stage/empty"
printf 'hello\n' >"$stage/a.txt"
printf 'gr\xc3\xbc\xc3\x9fe ' >"$stage/sub/$(printf '\xc3\xbcber.txt')"
for i in 1 2 3 4 5 6 7 8; do printf 'line %s of a text that deflate shrinks\n' "$i"; done \
  >"$stage/sub/deep/lines.txt"
for form in "deflated:" "stored:-mx=0"; do
  rm -f "$zip_corpus/seed-7za-${form%%:*}.zip"
  (cd "$stage" && 7za a -tzip ${form#*:} "$zip_corpus/seed-7za-${form%%:*}.zip" '*' >/dev/null)
done
rm -rf "$stage"
"$work/packer/zip/fuzz/zip_fuzz_seeds" "$zip_corpus"

status=0
"$work/packer/zip/fuzz/zip_reader_fuzz" -max_total_time="$zip_seconds" -timeout=10 \
  -max_len=16384 -print_final_stats=1 -artifact_prefix="$findings/" "$zip_corpus" || status=$?
if [ "$status" -ne 0 ]; then
  echo "The zip reader fuzzer found a fault (exit $status); inputs in $findings" >&2
  exit 1
fi
echo "The zip reader fuzzer ran ${zip_seconds} s and found nothing"
