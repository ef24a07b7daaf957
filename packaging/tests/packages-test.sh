#!/bin/bash
# The release packages as a release engineer gets them, each unpacked into a
# scratch folder and its programs run from there on the example release
# (examples/FlashDrive):
#   the .deb: its name, version, files and dependencies, lintian's verdict,
#     quillet packing the example in a working folder whose 7za links to
#     /usr/bin/7za, quillet-check passing the archive, both manual pages
#     rendered by man;
#   the zip: its files, and under Wine its Quillet.exe packing the example
#     (through the tests' stand-in 7za.exe) and its quillet-check.exe passing
#     the archive.
# Each behaviour is a case with its own ok / not ok line (testing/e2e-lib.sh).
#
# Usage: packages-test.sh VERSION PACKAGE_FOLDER WINDOWS_BUILD_FOLDER
# (scripts/test.sh runs it after scripts/package.sh; the Windows build folder
# holds the tests' stand-in 7za.exe and the Wine prefix.)
# Exits 77 (skipped) when a tool it needs is missing, 1 when a case fails.
set -uo pipefail
version="$1"
packages="$(cd "$2" && pwd)" windows_build="$(cd "$3" && pwd)" || exit 1
export LC_ALL=C.UTF-8
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"

for tool in dpkg-deb lintian man unzip 7za wine; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

# shellcheck source=../../testing/e2e-lib.sh
source "$root/testing/e2e-lib.sh"

deb="$packages/zarvo-release-tools_${version}_amd64.deb"
zip="$packages/zarvo-release-tools-${version}-win64.zip"
wine_run="$root/cmake/wine-run.sh"
export WINEPREFIX="$windows_build/wineprefix"
top="$(mktemp -d "${TMPDIR:-/tmp}/packages-test.XXXXXX")"
# Wine's server for the prefix (started by wine-run.sh) ends with the run.
trap 'wineserver -k 2>/dev/null; rm -rf "$top"' EXIT
e2e_init "$top/cases"

# A working folder as scripts/pack-example.sh lays it out: a copy of the
# example staging folder (with the empty folder Git does not keep) and the
# archiver, here $2 for 7za (and $3 beside it).
working_folder() {
  mkdir -p "$1"
  cp -a "$root/examples/FlashDrive" "$1/FlashDrive"
  mkdir -p "$1/FlashDrive/NAVI/Logs"
  if [ -z "${3:-}" ]; then
    ln -s "$2" "$1/7za"
  else
    cp "$2" "$3" "$1/" && chmod +x "$1/$(basename "$3")"
  fi
}
# The example's files, in the archive's second form (the lists and the
# digest are added by the packer).
example_files=$(cd "$root/examples/FlashDrive" && find . -type f | wc -l)

# ---- the .deb

deb_root="$top/deb"
deb_field() { dpkg-deb -f "$deb" "$1"; }

unpack_deb() {
  [ -f "$deb" ] || fail "no package $deb" || return 1
  dpkg-deb -x "$deb" "$deb_root" || fail "dpkg-deb -x failed"
}
test_setup "the .deb unpacks with dpkg-deb -x" unpack_deb

check_deb_control() {
  [ "$(deb_field Package)" = zarvo-release-tools ] || fail "Package: $(deb_field Package)"
  [ "$(deb_field Version)" = "$version" ] || fail "Version: $(deb_field Version), expected $version"
  [ "$(deb_field Architecture)" = amd64 ] || fail "Architecture: $(deb_field Architecture)"
}
test_expect_success "the .deb is zarvo-release-tools $version for amd64" check_deb_control

# What the programs link to, as dpkg-shlibdeps found it, and the archiver.
check_deb_depends() {
  local depends names package
  depends=$(deb_field Depends)
  figure "Depends: $depends"
  names=$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')
  for package in p7zip-full libc6 libstdc++6 zlib1g libdeflate0; do
    grep -qxF "$package" <<<"$names" || fail "Depends lacks $package: $depends"
  done
}
test_expect_success "the .deb depends on the archiver and on what the programs link to" \
  check_deb_depends

check_deb_files() {
  local expected actual
  expected=$(printf '%s\n' ./usr/bin/quillet ./usr/bin/quillet-check \
    ./usr/share/doc/zarvo-release-tools/changelog.gz ./usr/share/doc/zarvo-release-tools/copyright \
    ./usr/share/man/man1/quillet-check.1.gz ./usr/share/man/man1/quillet.1.gz | sort)
  actual=$(cd "$deb_root" && find . -type f -o -type l | sort)
  [ "$expected" = "$actual" ] || fail "files differ:
$(diff <(echo "$expected") <(echo "$actual"))"
  local program
  for program in quillet quillet-check; do
    file -L "$deb_root/usr/bin/$program" | grep -q 'ELF 64-bit.*, stripped' ||
      fail "$program is not a stripped 64-bit program: $(file -L "$deb_root/usr/bin/$program")"
  done
}
test_expect_success "the .deb holds the two stripped programs, their pages, copyright and changelog, nothing else" \
  check_deb_files

check_lintian() {
  local report
  report=$(lintian --fail-on error "$deb" 2>"$top/lintian.err") ||
    fail "lintian reports errors:
$report$(cat "$top/lintian.err")" || return 1
  [ -z "$report" ] || figure "lintian: $(tr '\n' ';' <<<"$report")"
}
test_expect_success "lintian reports no error on the .deb" check_lintian

check_deb_version_option() {
  local out status
  out=$("$deb_root/usr/bin/quillet-check" --version)
  status=$?
  [ "$status" -eq 0 ] || fail "--version exited with $status"
  [ "$out" = "quillet-check $version" ] || fail "--version printed: $out"
  "$deb_root/usr/bin/quillet-check" --help | grep -q -- '--version' || fail "--help does not name --version"
}
test_expect_success "quillet-check --version prints the project's version" check_deb_version_option

# The example release packed by the unpacked quillet in a working folder whose
# 7za links to the system's (the page's recipe), then checked.
linux_work="$top/linux"
pack_with_deb() {
  working_folder "$linux_work" /usr/bin/7za
  (cd "$linux_work" && "$deb_root/usr/bin/quillet" </dev/null >quillet.out 2>&1)
  local status=$?
  [ "$status" -eq 0 ] || fail "quillet exited with $status: $(tail -5 "$linux_work/quillet.out")" ||
    return 1
  grep -qE "^Checked ZarvoEUupdate.zip: $((example_files + 2)) files, digest [0-9a-f]{32}$" \
    "$linux_work/quillet.out" || fail "no line of the archive's check: $(tail -5 "$linux_work/quillet.out")"
}
test_expect_success "the .deb's quillet packs the example release with /usr/bin/7za" pack_with_deb

check_with_deb() {
  local out status
  out=$(cd "$linux_work" && "$deb_root/usr/bin/quillet-check" ZarvoEUupdate.zip)
  status=$?
  [ "$status" -eq 0 ] || fail "quillet-check exited with $status: $out"
}
test_expect_success "the .deb's quillet-check passes the archive" check_with_deb

check_pages() {
  local page text warnings
  for page in quillet quillet-check; do
    text=$(MANWIDTH=80 man --warnings -l "$deb_root/usr/share/man/man1/$page.1.gz" 2>"$top/man.err")
    warnings=$(cat "$top/man.err")
    [ -z "$warnings" ] || fail "man warns on $page(1): $warnings"
    grep -q "^NAME" <<<"$text" || fail "$page(1) has no NAME section"
    grep -qE "^ +$page - " <<<"$text" || fail "$page(1) does not name $page"
    grep -qF "zarvo-release-tools $version" <<<"$text" || fail "$page(1) does not carry the version"
  done
  man -l "$deb_root/usr/share/man/man1/quillet.1.gz" 2>/dev/null | grep -qF 'ln -s /usr/bin/7za 7za' ||
    fail "quillet(1) does not say how a working folder gets its 7za"
}
test_expect_success "man renders both pages, with the version, without warnings" check_pages

# ---- the zip

zip_root="$top/zip/zarvo-release-tools-$version-win64"
unpack_zip() {
  [ -f "$zip" ] || fail "no package $zip" || return 1
  unzip -q "$zip" -d "$top/zip" || fail "unzip failed"
}
test_setup "the zip unpacks" unpack_zip

check_zip_files() {
  local expected actual
  expected=$(printf '%s\n' "zarvo-release-tools-$version-win64/"{LICENSES.txt,Quillet.exe,README.txt,quillet-check.exe} | sort)
  actual=$(cd "$top/zip" && find . -type f | sed 's|^\./||' | sort)
  [ "$expected" = "$actual" ] || fail "files differ:
$(diff <(echo "$expected") <(echo "$actual"))"
  grep -q '^zlib ' "$zip_root/LICENSES.txt" || fail "LICENSES.txt lacks zlib's licence"
}
test_expect_success "the zip holds Quillet.exe, quillet-check.exe, README.txt and LICENSES.txt" \
  check_zip_files

# Every exit code the programs define (kExit... in their headers) and every
# option quillet-check's usage names, said where a user looks them up: the
# manual pages' EXIT STATUS and OPTIONS, and the zip's README.txt.
exit_codes() { sed -n 's/.*constexpr int kExit[A-Za-z]* = \([0-9]*\);.*/\1/p' "$@" | sort -un; }
# The lines of file $1 after the one beginning with $2, up to one beginning with $3.
section() { awk -v from="$2" -v to="$3" 'to != "" && index($0, to) == 1 { on = 0 } on; index($0, from) == 1 { on = 1 }' "$1"; }
check_documented_codes() {
  local page code option readme="$zip_root/README.txt"
  for page in quillet quillet-check; do
    MANWIDTH=80 man -l "$deb_root/usr/share/man/man1/$page.1.gz" >"$top/$page.txt" 2>/dev/null
  done
  for code in $(exit_codes "$root/packer/packing_run.h"); do
    section "$top/quillet.txt" "EXIT STATUS" FILES | grep -qE "^ +$code(,|$)" ||
      fail "quillet(1) does not say exit status $code"
    section "$readme" "Quillet.exe's exit codes" quillet-check.exe | grep -qE "^  $code " ||
      fail "README.txt does not say Quillet.exe's exit code $code"
  done
  for code in $(exit_codes "$root"/check/*.h); do
    section "$top/quillet-check.txt" "EXIT STATUS" EXAMPLES | grep -qE "^ +$code$" ||
      fail "quillet-check(1) does not say exit status $code"
    section "$readme" quillet-check.exe "" | grep -qE "^  $code " ||
      fail "README.txt does not say quillet-check.exe's exit code $code"
  done
  for option in $("$deb_root/usr/bin/quillet-check" --help | grep -oE -- '--[a-z-]+' | sort -u); do
    section "$top/quillet-check.txt" OPTIONS "EXIT STATUS" | grep -qE -- "^ +$option( |,|$)" ||
      fail "quillet-check(1) does not describe $option"
  done
}
test_expect_success "the manual pages and README.txt say every exit code and option" \
  check_documented_codes

check_zip_version_option() {
  local out
  out=$("$wine_run" "$WINEPREFIX" "$zip_root/quillet-check.exe" --version </dev/null | tr -d '\r')
  [ "$out" = "quillet-check $version" ] || fail "--version printed: $out"
}
test_expect_success "the zip's quillet-check.exe --version prints the project's version" \
  check_zip_version_option

# Quillet.exe under Wine cannot wait for a Linux 7za: the tests' stand-in
# 7za.exe has Debian's 7za do the work (packer/tests/win/archiver_shim.cpp).
windows_work="$top/windows"
pack_with_zip() {
  local shim="$windows_build/packer/tests/7za.exe"
  [ -f "$shim" ] || fail "no stand-in 7za.exe in $windows_build" || return 1
  working_folder "$windows_work" "$shim" "$root/packer/tests/win/7za-linux.sh"
  (cd "$windows_work" && "$wine_run" "$WINEPREFIX" "$zip_root/Quillet.exe" </dev/null >quillet.out 2>&1)
  local status=$?
  [ "$status" -eq 0 ] || fail "Quillet.exe exited with $status: $(tail -5 "$windows_work/quillet.out")"
}
test_expect_success "the zip's Quillet.exe packs the example release under Wine" pack_with_zip

# The archive the .deb's quillet made, and the one Quillet.exe made.
check_with_zip() {
  local folder out status
  for folder in "$linux_work" "$windows_work"; do
    [ -f "$folder/ZarvoEUupdate.zip" ] || { fail "no archive in $folder"; continue; }
    out=$(cd "$folder" && "$wine_run" "$WINEPREFIX" "$zip_root/quillet-check.exe" ZarvoEUupdate.zip </dev/null)
    status=$?
    [ "$status" -eq 0 ] || fail "quillet-check.exe exited with $status on $folder: $out"
  done
}
test_expect_success "the zip's quillet-check.exe passes both archives under Wine" check_with_zip

finish
