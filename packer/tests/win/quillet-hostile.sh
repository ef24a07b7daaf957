#!/bin/bash
# Quillet.exe under Wine on working and staging folders a new user may
# have: a working folder whose path holds "FlashDrive", the scratch file's
# name taken, a name that enters the same folder again ("..."), device names,
# a long path of West-European letters, a link to a folder. Each case in a
# fresh working folder with the test-only 7za.exe that has Debian's 7za do
# the work; after each refused run: exit code 2, the entries named, no
# archive, no intermediate file, the staging folder as found. Each case has
# its own ok / not ok line (the case library, testing/e2e-lib.sh), a failed
# one followed by what went wrong and the run's output.
#
# Usage: quillet-hostile.sh QUILLET_EXE SHIM_EXE SHIM_SCRIPT WINE_RUN WINEPREFIX
# Exits 77 (skipped) when Wine or 7za is missing, 1 when a case fails.
set -uo pipefail
quillet="$1" shim="$2" shim_script="$3" wine_run="$4" prefix="$5"
export LC_ALL=C.UTF-8

for tool in wine 7za unzip iconv; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

# shellcheck source=../../../testing/e2e-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../testing/e2e-lib.sh"

top="$(mktemp -d "${TMPDIR:-/tmp}/quillet-hostile.XXXXXX")"
trap 'rm -rf "$top"' EXIT
e2e_init "$top/cases"

# Starts a case: a working folder $top/$1 with the archiver and a small
# staging folder; the shell moves into it.
begin() {
  work="$top/$1"
  mkdir -p "$work/FlashDrive/NAVI"
  printf 'navi' >"$work/FlashDrive/NAVI/Navi.exe"
  cp "$shim" "$work/7za.exe"
  cp "$shim_script" "$work/7za-linux.sh"
  chmod +x "$work/7za-linux.sh"
  cd "$work" || exit 1
}

# Runs Quillet.exe in the working folder (after a copy of the staging folder
# is taken); sets $status and $out.
run() {
  rm -rf "$top/before"
  cp -a FlashDrive "$top/before"
  timeout 120 "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt
  status=$?
  out=$(tr -d '\r' <stdout.bin)
}

says() { grep -qaF -- "$1" <<<"$out" || fail "stdout lacks: $(printf '%q' "$1")"; }

# What a refused run must leave.
refused() {
  [ "$status" -eq 2 ] || fail "exit code $status, expected 2"
  says "no list was written"
  [ ! -e ZarvoEUupdate.zip ] || fail "an archive was made"
  for name in '$FileList.txt' '$FolderList.txt' '$md5.bin' '$temp.txt'; do
    [ ! -e "FlashDrive/$name" ] || fail "FlashDrive/$name was left"
  done
  diff -r --no-dereference "$top/before" FlashDrive >/dev/null ||
    fail "the staging folder changed: $(diff -rq --no-dereference "$top/before" FlashDrive)"
}

list_lines() { tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8; }

# Ends a case: after a failed check, what the run printed.
output_if_failed() {
  if case_failed; then
    echo "--- stdout"; cat -v stdout.bin; echo; echo "--- stderr"; cat stderr.txt
  fi
  return 0
}

# Lines begin at the staging folder, whatever the working folder's path holds.
case_anchored_lines() {
  begin "release-FlashDrive/FlashDrive/w"
  mkdir -p FlashDrive/A
  printf 'a' >FlashDrive/A/a.bin
  run
  [ "$status" -eq 0 ] || fail "exit code $status, expected 0"
  if [ -f ZarvoEUupdate.zip ]; then
    mkdir unpacked && 7za x -y -ounpacked ZarvoEUupdate.zip >/dev/null
    [ "$(list_lines 'unpacked/$FileList.txt' | sort | tr '\n' ' ')" = \
      '$FileList.txt $FolderList.txt A\a.bin NAVI\Navi.exe ' ] ||
      fail "file list: $(list_lines 'unpacked/$FileList.txt' | tr '\n' ' ')"
    [ "$(list_lines 'unpacked/$FolderList.txt' | sort -u | tr '\n' ' ')" = \
      'FlashDrive\A FlashDrive\NAVI ' ] ||
      fail "folder list: $(list_lines 'unpacked/$FolderList.txt' | tr '\n' ' ')"
  else
    fail "no archive"
  fi
  output_if_failed
}

# The user's own $temp.txt: the run stops before deleting anything.
case_scratch_name() {
  begin "scratch"
  printf 'my notes' >'FlashDrive/$temp.txt'
  printf 'an earlier release' >ZarvoEUupdate.zip
  rm -rf "$top/before" && cp -a FlashDrive "$top/before"
  timeout 120 "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt
  status=$?
  out=$(tr -d '\r' <stdout.bin)
  [ "$status" -eq 2 ] || fail "exit code $status, expected 2"
  says "The file 'FlashDrive\\\$temp.txt' is in the way"
  [ "$(cat 'FlashDrive/$temp.txt')" = "my notes" ] || fail "the user's \$temp.txt changed"
  [ "$(cat ZarvoEUupdate.zip)" = "an earlier release" ] || fail "the earlier archive was touched"
  diff -r "$top/before" FlashDrive >/dev/null || fail "the staging folder changed"
  output_if_failed
}

# A name that would enter the same folder again.
case_three_dots() {
  begin "dots"
  printf 'x' >FlashDrive/NAVI/...
  run
  refused
  says "FlashDrive\\NAVI\\...': the name ends with a dot"
  output_if_failed
}

# Device names: never opened, each named.
case_device_names() {
  begin "devices"
  printf 'c' >FlashDrive/COM1.txt
  printf 'a' >FlashDrive/NAVI/aux
  printf '26 bytes that are no device' >FlashDrive/nul.txt
  run
  refused
  for name in 'FlashDrive\COM1.txt' 'FlashDrive\NAVI\aux' 'FlashDrive\nul.txt'; do
    says "$name': the name is a reserved device name"
  done
  says "The walk refused 3 entries"
  output_if_failed
}

# A long path of West-European letters: counted in characters, it packs.
case_long_non_ascii_path() {
  begin "long"
  long_folder=$(printf 'é%.0s' $(seq 100))
  long_file=$(printf 'ü%.0s' $(seq 90)).txt
  mkdir -p "FlashDrive/$long_folder"
  printf 'long' >"FlashDrive/$long_folder/$long_file"
  run
  [ "$status" -eq 0 ] || fail "exit code $status, expected 0: $(grep -a 'longer than' <<<"$out")"
  if [ -f ZarvoEUupdate.zip ]; then
    unzip -Z1 ZarvoEUupdate.zip | grep -qF "$long_file" || fail "the long path is not in the archive"
  else
    fail "no archive"
  fi
  output_if_failed
}

# A link to a folder, which Wine shows as a reparse point. (A link to a
# file Wine shows as a plain file: the walk cannot tell, and the packer's own
# check of its archive is what catches it.)
case_link_to_a_folder() {
  begin "link"
  mkdir -p "$top/elsewhere" && printf 'e' >"$top/elsewhere/e.bin"
  ln -s "$top/elsewhere" FlashDrive/NAVI/linked
  run
  refused
  says "FlashDrive\\NAVI\\linked': a link;"
  output_if_failed
}

# A link to a file, which Wine shows as a plain file: the walk lists it and
# the digest reads its target, while the archiver stores the link itself.
# The packer's check of its own archive finds the difference (exit 7) unless
# the walk already refused the link (exit 2); either way no archive stays.
case_link_to_a_file() {
  begin "file-link"
  printf 'target contents' >"$top/target.bin"
  ln -s "$top/target.bin" FlashDrive/NAVI/linked.bin
  run
  figure "the run ended with exit code $status"
  case "$status" in
    2 | 7) ;;
    *) fail "exit code $status, expected 7 (or 2)" ;;
  esac
  [ ! -e ZarvoEUupdate.zip ] || fail "an archive was kept"
  for name in '$FileList.txt' '$FolderList.txt' '$md5.bin' '$temp.txt'; do
    [ ! -e "FlashDrive/$name" ] || fail "FlashDrive/$name was left behind"
  done
  diff -r --no-dereference "$top/before" FlashDrive >/dev/null ||
    fail "the staging folder changed: $(diff -rq --no-dereference "$top/before" FlashDrive)"
  output_if_failed
}

# Sparse files (no disk used) at the device's limit of 4 GiB - 1 bytes and
# one byte past it: only the second is refused. Not copied or compared as
# the other cases do, which would read them.
case_file_the_device_cannot_hold() {
  begin "large"
  truncate -s 4294967295 FlashDrive/NAVI/fits.map
  truncate -s 4294967296 FlashDrive/NAVI/too-large.map
  timeout 120 "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt
  status=$?
  out=$(tr -d '\r' <stdout.bin)
  [ "$status" -eq 2 ] || fail "exit code $status, expected 2"
  says "FlashDrive\NAVI\too-large.map': the file holds 4294967296 bytes; the device's FAT file"
  ! grep -qaF "fits.map'" <<<"$out" || fail "the file at the limit was refused"
  says "The walk refused 1 entry that a release cannot hold; no list was written"
  [ ! -e ZarvoEUupdate.zip ] || fail "an archive was made"
  for name in '$FileList.txt' '$FolderList.txt' '$md5.bin'; do
    [ ! -e "FlashDrive/$name" ] || fail "FlashDrive/$name was left"
  done
  output_if_failed
}

test_expect_success \
  "lines begin at the staging folder whatever the working folder's path holds" case_anchored_lines
test_expect_success "the user's own \$temp.txt stops the run before anything is deleted" \
  case_scratch_name
test_expect_success 'a name that enters the same folder again ("...") is refused' case_three_dots
test_expect_success 'device names are refused, never opened, each named' case_device_names
test_expect_success 'a long path of West-European letters packs' case_long_non_ascii_path
test_expect_success 'a link to a folder is refused' case_link_to_a_folder
test_expect_success 'a file of 4 GiB is refused, one of 4 GiB - 1 bytes is not' \
  case_file_the_device_cannot_hold
test_expect_success 'a link to a file leaves no archive: the own check or the walk stops it' \
  case_link_to_a_file
finish
