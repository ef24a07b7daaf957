#!/bin/bash
# Runs every test: the native build, the sanitizer build (AddressSanitizer and
# UndefinedBehaviorSanitizer), the digest's threads under ThreadSanitizer, the
# Windows build under Wine, the release packages made from those builds, and a
# bounded fuzzing run of the file list loader, the list decoder and the zip
# reader. Installs what it needs from Debian's archive when it is missing.
# Exits non-zero when any part fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/ensure-packages.sh cmake make g++ googletest p7zip-full unzip zlib1g-dev

for preset in native asan; do
  echo "=== $preset: build and test ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "=== tsan: the digest's reader threads and the release check's second thread under ThreadSanitizer ==="
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target quillet_unit_tests quillet_check_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" build/tsan/packer/tests/quillet_unit_tests \
  --gtest_brief=1 --gtest_filter='*Digest*:*ReadAhead*:*PlatformContract*'
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" build/tsan/check/tests/quillet_check_tests \
  --gtest_brief=1

echo "=== windows: cross build, tests under Wine ==="
scripts/test-windows.sh

echo "=== packages: the .deb and the zip, unpacked and run as a release engineer gets them ==="
scripts/package.sh
scripts/ensure-packages.sh lintian man-db file unzip
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
packaging/tests/packages-test.sh "$version" out/packages build/windows

echo "=== fuzz: file list loading and stripping, the list decoder, the zip reader ==="
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "All test suites passed."
