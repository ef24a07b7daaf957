#!/bin/bash
# Builds the packer's fuzz targets (the `fuzz` preset: clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs them for a bounded
# total time shared between them: the file list's loading and stripping, the
# list decoder, the zip reader, and the release check with its reports and
# the comparison of two releases. Exits non-zero when a fuzzer finds
# anything (a crash, a sanitizer report, a leak, a broken promise of the code
# under test); the input that did it is left in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60, in total)
#        scripts/fuzz.sh --build     (builds the targets only)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-60}"

scripts/ensure-packages.sh cmake make clang libclang-rt-14-dev googletest libgmock-dev zlib1g-dev libdeflate-dev \
  p7zip-full

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target file_list_fuzz list_format_fuzz zip_reader_fuzz \
  zip_fuzz_seeds release_check_fuzz
[ "$seconds" != --build ] || exit 0
each=$(( seconds / 4 > 0 ? seconds / 4 : 1 ))

work="$root/build/fuzz"
findings="$work/findings"
mkdir -p "$findings" "$work/corpus/file_list" "$work/corpus/list_format"
# Seeds of the list targets: lists as the walk and the stripping write them,
# made by the list encoder through a unit test of the native build (the
# corpora grow from run to run).
cmake --preset native >/dev/null
cmake --build --preset native --target zarvo_format_tests Quillet >/dev/null
for corpus in file_list list_format; do
  QUILLET_FUZZ_SEEDS="$work/corpus/$corpus" "$root/build/native/format/zarvo_format_tests" \
    --gtest_filter='ListFuzzSeeds.*' >/dev/null
done

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
"$work/zip/fuzz/zip_fuzz_seeds" "$zip_corpus"

# Seeds of the release check: small releases the packer made with 7za, the
# same again with every entry stored, two of them joined as an old and a new
# release, and the zip reader's own seeds.
check_corpus="$work/corpus/release_check"
mkdir -p "$check_corpus"
cp "$zip_corpus"/seed-* "$check_corpus/"
pack_seed() {  # NAME: packs $stage/FlashDrive into seed-NAME.zip and seed-NAME-stored.zip
  ln -sf "$(command -v 7za)" "$stage/7za"
  (cd "$stage" && echo | "$root/build/native/packer/Quillet" >/dev/null)
  mkdir "$stage/stored"
  (cd "$stage/stored" && 7za x ../ZarvoEUupdate.zip >/dev/null &&
    7za a -tzip -mx=0 ../stored.zip '*' >/dev/null)
  mv "$stage/ZarvoEUupdate.zip" "$check_corpus/seed-$1.zip"
  mv "$stage/stored.zip" "$check_corpus/seed-$1-stored.zip"
  rm -rf "$stage"
}
rm -rf "$stage" && mkdir -p "$stage" && cp -a examples/FlashDrive "$stage/"
pack_seed example
mkdir -p "$stage/FlashDrive/NAVI" && printf 'x' >"$stage/FlashDrive/NAVI/a.dat"
pack_seed one-file
mkdir -p "$stage/FlashDrive/$(printf 'K\xc3\xa4rten/\xc3\x9cnter')" "$stage/FlashDrive/BSP"
printf 'gr\xc3\xbc\xc3\x9fe\n' >"$stage/FlashDrive/$(printf 'K\xc3\xa4rten/\xc3\x9cnter/stra\xc3\x9fe.dat')"
printf 'nk' >"$stage/FlashDrive/BSP/NK.bin"
pack_seed utf8-names
{
  cat "$check_corpus/seed-one-file-stored.zip"
  printf '=QUILLET=NEW=RELEASE='  # (the fuzz target's mark between the two)
  cat "$check_corpus/seed-utf8-names-stored.zip"
} >"$check_corpus/seed-diff.zip"
# Releases the fuzz target lays out itself from files after its mark
# =QUILLET=ENTRIES= (each a byte of flags, the name's length and name, the
# contents' length and contents): one whose lists and digest are right,
# and two compared.
entries='=QUILLET=ENTRIES=\x00\x0cNAVI/map.dat\x05roads'
printf "$entries"'\x20\x0aBSP/NK.bin\x02nk\x00\x16NAVI/$FileList-cfg.txt\x03cfg\x10\x0aNAVI/Empty\x00' \
  >"$check_corpus/seed-entries"
printf "$entries"'=QUILLET=NEW=RELEASE=%b\x00\x0aBSP/NK.bin\x02nk' "$entries" \
  >"$check_corpus/seed-entries-diff"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
run_fuzzer() {  # NAME BINARY CORPUS MAX_LEN [OPTION...]
  local status=0
  "$2" -max_total_time="$each" -timeout=10 -max_len="$4" -print_final_stats=1 \
    -artifact_prefix="$findings/" "${@:5}" "$3" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "The $1 fuzzer found a fault (exit $status); inputs in $findings" >&2
    exit 1
  fi
  echo "The $1 fuzzer ran ${each} s and found nothing"
}
run_fuzzer "file list" "$work/packer/tests/fuzz/file_list_fuzz" "$work/corpus/file_list" 8192
run_fuzzer "list decoder" "$work/format/list_format_fuzz" "$work/corpus/list_format" 8192
run_fuzzer "zip reader" "$work/zip/fuzz/zip_reader_fuzz" "$zip_corpus" 16384
run_fuzzer "release check" "$work/check/fuzz/release_check_fuzz" "$check_corpus" 65536 \
  -rss_limit_mb=2048 -dict="$root/check/fuzz/release_check.dict"
