#!/bin/bash
# Runs every test: the native build, the sanitizer build (AddressSanitizer and
# UndefinedBehaviorSanitizer), the digest's threads under ThreadSanitizer, the
# Windows build under Wine, the release packages made from those builds, and a
# bounded fuzzing run of the file list loader, the list decoder, the zip
# reader and the release check. Installs what it needs from Debian's archive when it is missing.
# Exits non-zero when any part fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Each stage's time, wall-clock and the CPU time of what it ran, printed at the
# end (docs/test-times.md keeps the figures).
stage_name="" stage_wall=0 stage_cpu=0 stage_times=""
cpu_seconds() {  # user and system time of this shell's finished children
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%d", ($16 + $17) / hz }' /proc/$$/stat
}
stage() {  # NAME [WHAT]: ends the stage before it, begins NAME
  local cpu
  cpu=$(cpu_seconds)
  [ -z "$stage_name" ] ||
    stage_times+="  $stage_name: $((SECONDS - stage_wall)) s (CPU $((cpu - stage_cpu)) s)"$'\n'
  stage_name="$1" stage_wall=$SECONDS stage_cpu=$cpu
  [ -z "$1" ] || echo "=== $1${2:+: $2} ==="
}

# What this run starts in the background ends with it, however it ends: the
# fuzzing run is stopped; an installation is waited for, since stopping dpkg
# midway would leave packages half installed.
installing="" fuzzing="" configuring=""
end_background() {
  [ -z "$fuzzing" ] || kill -- "-$fuzzing" 2>/dev/null
  wait 2>/dev/null
}
trap end_background EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

stage setup "the packages the builds need"
scripts/ensure-packages.sh cmake make g++ googletest libgmock-dev p7zip-full unzip zlib1g-dev libdeflate-dev
# What the later stages need (the Windows tools and Wine, clang, the packaging
# tools) is installed while the first builds run, when that asks for no
# password; the stages' own scripts would install whatever is still missing.
mkdir -p build
if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
  setsid scripts/ensure-packages.sh libz-mingw-w64-dev g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 wine wine64 xvfb xdotool imagemagick fonts-wine clang \
    libclang-rt-14-dev dpkg-dev file scdoc lintian man-db >build/install-later.log 2>&1 &
  installing=$!
fi

stage "native build"
cmake --preset native >/dev/null
cmake --build --preset native
stage "native tests"
ctest --preset native

# gcc's ThreadSanitizer (clang's will not link the tests' own operator new).
stage "tsan build" "the digest's readers, the own archive check and the release check under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target quillet_unit_tests quillet_check_tests

if [ -n "$installing" ] && ! wait "$installing"; then
  cat build/install-later.log
  echo "(installing the later stages' packages failed; each stage tries again)"
fi
installing=""

# clang from here on: the AddressSanitizer build (it builds in half gcc's
# time) and the fuzz targets.
stage "asan build"
scripts/ensure-packages.sh clang libclang-rt-14-dev
cmake --preset asan >/dev/null
cmake --build --preset asan
stage "asan tests"
ctest --preset asan

# The Windows build's first configure builds GoogleTest for mingw-w64, on one
# core: beside the fuzz build, which leaves the other mostly free.
windows_log="$root/build/windows-configure.log"
cmake --preset windows >"$windows_log" 2>&1 &
configuring=$!

stage "fuzz build" "file list loading and stripping, the list decoder, the zip reader, the check"
scripts/fuzz.sh --build

# The fuzzers run one at a time in the background, on one core, beside the
# ThreadSanitizer tests and the Windows build; their verdict is taken after
# the Windows tests.
stage "tsan tests" "fuzzing in the background meanwhile"
fuzz_log="$root/build/fuzz/run.log"
setsid scripts/fuzz.sh "${FUZZ_SECONDS:-60}" >"$fuzz_log" 2>&1 &
fuzzing=$!
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
build/tsan/packer/tests/quillet_unit_tests --gtest_brief=1 \
  --gtest_filter='*Digest*:*ReadAhead*:*PlatformContract*:*OwnArchive*'
# The check's cases at its caps (the most folders, the longest lists) take a
# minute under ThreadSanitizer and run the same threads as the others.
build/tsan/check/tests/quillet_check_tests --gtest_brief=1 \
  --gtest_filter='-*/FolderCount.*:*/ListTextLimit.*:*/LongFileList.*'
unset TSAN_OPTIONS

stage windows "cross build, tests under Wine"
if ! wait "$configuring"; then
  cat "$windows_log"
  echo "(configuring the Windows build failed; test-windows.sh tries again)"
fi
configuring=""
scripts/test-windows.sh

stage "fuzzing" "what is left of it"
fuzz_status=0
wait "$fuzzing" || fuzz_status=$?
fuzzing=""
if [ "$fuzz_status" -ne 0 ]; then
  tail -n 30 "$fuzz_log"
  echo "The fuzzing run failed; its whole output is in $fuzz_log" >&2
  exit 1
fi
grep '^The .* fuzzer' "$fuzz_log"

stage packages "the .deb and the zip, unpacked and run as a release engineer gets them"
scripts/package.sh
scripts/ensure-packages.sh lintian man-db file unzip
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
packaging/tests/packages-test.sh "$version" out/packages build/windows

stage ""
echo "Stage times (wall, and the CPU time of what each ran):"
printf '%s' "$stage_times"
echo "All test suites passed in $SECONDS s."
