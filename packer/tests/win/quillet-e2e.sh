#!/bin/bash
# End-to-end run of Quillet.exe under Wine, as a user runs it: a working
# folder with a staging folder "FlashDrive" and the archiver "7za" (the
# test-only stand-in that has Debian's 7za do the work), Quillet.exe started
# there with empty standard input. The archive is then read back on the Linux
# side and checked against the staging tree: its lists, its digest, its
# files. Each behaviour is a case with its own ok / not ok line (the case
# library, testing/e2e-lib.sh); the run's time is printed as a figure.
#
# With CHECK_EXE, quillet-check.exe then checks the archive, an extracted
# copy of it, and a changed copy.
#
# Usage: quillet-e2e.sh QUILLET_EXE SHIM_EXE SHIM_SCRIPT WINE_RUN WINEPREFIX [CHECK_EXE]
# Exits 77 (skipped) when Wine or 7za is missing, 1 when a case fails.
set -uo pipefail
quillet="$1" shim="$2" shim_script="$3" wine_run="$4" prefix="$5" check="${6:-}"
export LC_ALL=C.UTF-8

for tool in wine 7za unzip iconv md5sum; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

# shellcheck source=../../../testing/e2e-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../testing/e2e-lib.sh"

top="$(mktemp -d "${TMPDIR:-/tmp}/quillet-e2e.XXXXXX")"
trap 'rm -rf "$top"' EXIT
e2e_init "$top/cases"
work="$top/work"
mkdir "$work"
cd "$work" || exit 1

e2e_on_failure() {
  [ -f "$work/stdout.bin" ] && { echo "# --- stdout"; cat -v "$work/stdout.bin" | sed 's/^/#   /'; }
  [ -f "$work/stderr.txt" ] && { echo "# --- stderr"; sed 's/^/#   /' "$work/stderr.txt"; }
  return 0
}

# A list file: its header count, then UTF-16LE lines ended by 0x000A alone.
list_lines() { tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8; }
list_count() { od -An -tu1 -N2 "$1" | awk '{print $1 + 256 * $2}'; }
# The archive as 7za extracts it, in $work/unpacked.
extracted=0
unpacked() { [ "$extracted" -eq 1 ] || fail "no archive was extracted"; }

# The staging tree: nested folders, an empty one, an empty file, binary
# content with line ends and NULs (read as bytes, not text), names outside
# any legacy code page, and a configuration file the digest leaves out.
make_working_folder() {
  mkdir -p FlashDrive/NAVI/Map FlashDrive/NAVI/Logs FlashDrive/BSP
  printf 'NK\r\n\0\x1a\xff end' >FlashDrive/NK.bin
  : >FlashDrive/empty.dat
  printf 'cfg' >'FlashDrive/$FileList-cfg.txt'
  printf 'map data\n' >FlashDrive/NAVI/Map/地图.dat
  head -c 5000 /dev/zero | tr '\0' 'w' >FlashDrive/NAVI/Stimme_Müller.wav
  printf 'boot\r\n' >FlashDrive/BSP/boot.cfg
  cp -a FlashDrive staging-before
  cp "$shim" 7za.exe
  cp "$shim_script" 7za-linux.sh
  chmod +x 7za-linux.sh
}

run_quillet() {
  local started ended
  started=$(date +%s.%N)
  "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt
  status=$?
  ended=$(date +%s.%N)
  figure "Quillet.exe ran for $(awk "BEGIN { printf \"%.2f\", $ended - $started }") s under Wine"
  # What the run left in the working folder, seen before any case adds to it.
  leftovers=$(ls | grep -v -x -e FlashDrive -e staging-before -e 7za.exe -e 7za-linux.sh \
    -e ZarvoEUupdate.zip -e stdout.bin -e stderr.txt)
  if [ -f ZarvoEUupdate.zip ]; then
    mkdir unpacked
    7za x -y -ounpacked ZarvoEUupdate.zip >extract.txt 2>&1 && extracted=1
  fi
  return 0
}

check_exit_code_0() { [ "$status" -eq 0 ] || fail "exit code $status, expected 0"; }

# The texts as the Windows build writes them, with text-mode line ends
# ("\r\n" for "\n", so "\r\r\n" for a message's own "\r\n"), and wide text in
# the UTF-8 code page like the walk's byte text.
check_console_texts() {
  contains() { grep -qaF -- "$1" stdout.bin || fail "stdout lacks: $(printf '%q' "$1")"; }
  contains $'**********************************************************\r\nStart to pack ZarvoEUupdate.zip...\r\n'
  contains $'[Name] ZarvoEU_Quillet.exe\t\t\t\t\t\t\t\t\t\r\n'
  contains $'calculateMd5_AddOneFile(FlashDrive\\NAVI\\Map\\地图.dat)\r\r\n'
  [ "$(tail -c 28 stdout.bin)" = "Press any key to continue..." ] ||
    fail "stdout does not end with the prompt"
}

check_nothing_refused() {
  if grep -qa 'Refused' stdout.bin; then fail "the walk refused entries"; fi
  return 0
}

# The run's check of its archive: one line between the archiver and the banner.
check_archive_check_line() {
  grep -qaE $'^Checked ZarvoEUupdate.zip: 8 files, digest [0-9a-f]{32}\r$' stdout.bin ||
    fail "stdout lacks the archive check's line"
}

check_staging_as_found() {
  diff -r staging-before FlashDrive >/dev/null ||
    fail "the staging folder changed: $(diff -rq staging-before FlashDrive)"
}

check_no_leftovers() {
  [ -f ZarvoEUupdate.zip ] || fail "no ZarvoEUupdate.zip"
  [ -z "$leftovers" ] || fail "left in the working folder: $leftovers"
}

check_archive_reads() {
  [ -f ZarvoEUupdate.zip ] || fail "no ZarvoEUupdate.zip" || return 1
  unzip -tqq ZarvoEUupdate.zip >/dev/null || fail "unzip finds the archive damaged"
  [ "$extracted" -eq 1 ] || fail "7za cannot extract the archive: $(cat extract.txt)"
}

check_archive_entries() {
  unpacked || return 1
  local expected actual
  expected=$( (cd staging-before && find . -mindepth 1 | sed 's|^\./||'
    printf '%s\n' '$FileList.txt' '$FolderList.txt' '$md5.bin') | sort)
  actual=$(cd unpacked && find . -mindepth 1 | sed 's|^\./||' | sort)
  [ "$expected" = "$actual" ] || fail "archive entries differ:
$(diff <(echo "$expected") <(echo "$actual"))"
}

check_archive_contents() {
  unpacked || return 1
  local file
  while IFS= read -r file; do
    cmp -s "staging-before/$file" "unpacked/$file" || fail "$file differs in the archive"
  done < <(cd staging-before && find . -type f)
  return 0
}

check_list_format() {
  unpacked || return 1
  local name file lines
  for name in '$FileList.txt' '$FolderList.txt'; do
    file="unpacked/$name"
    [ -f "$file" ] || { fail "$name is not in the archive"; continue; }
    lines=$(list_lines "$file" | wc -l)
    [ "$(list_count "$file")" -eq "$lines" ] ||
      fail "$name counts $(list_count "$file") lines, holds $lines"
    [ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' ')" = 0a00 ] || fail "$name does not end with 0x000A"
    if list_lines "$file" | grep -q $'\r'; then fail "$name holds a carriage return"; fi
  done
  return 0
}

# Every file relative to the staging folder.
check_file_list() {
  unpacked || return 1
  local expected
  expected=$( (cd staging-before && find . -type f | sed 's|^\./||'
    printf '%s\n' '$FileList.txt' '$FolderList.txt') | tr '/' '\\' | sort)
  [ "$(list_lines 'unpacked/$FileList.txt' | sort)" = "$expected" ] ||
    fail "file list differs:
$(diff <(echo "$expected") <(list_lines 'unpacked/$FileList.txt' | sort))"
}

# A line for every folder that has entries (a folder's line may repeat after
# each of its subfolders).
check_folder_list() {
  unpacked || return 1
  local expected
  expected=$(printf '%s\n' 'FlashDrive\BSP' 'FlashDrive\NAVI' 'FlashDrive\NAVI\Map')
  [ "$(list_lines 'unpacked/$FolderList.txt' | sort -u)" = "$expected" ] ||
    fail "folder list differs: $(list_lines 'unpacked/$FolderList.txt' | tr '\n' ' ')"
}

# MD5 of the listed files' contents in list order, leaving out the
# configuration file, recomputed here.
check_digest() {
  unpacked || return 1
  [ "$(stat -c %s 'unpacked/$md5.bin' 2>/dev/null)" = 16 ] || fail '$md5.bin is not 16 bytes' ||
    return 1
  local digest
  digest=$(list_lines 'unpacked/$FileList.txt' | grep -vF '$FileList-cfg.txt' | tr '\\' '/' |
    (cd unpacked && while IFS= read -r path; do cat -- "$path"; done) | md5sum | cut -c1-32)
  [ "$(od -An -tx1 'unpacked/$md5.bin' | tr -d ' \n')" = "$digest" ] ||
    fail "\$md5.bin is not the digest of the listed files ($digest)"
}

# The Linux build, where it has been built (QUILLET_NATIVE names it), on the
# same staging folder. The order follows each platform's listing, so lines
# are compared as sets, and the "[MD5](i)" markers without their index.
check_same_as_linux() {
  if [ -z "${QUILLET_NATIVE:-}" ] || [ ! -x "$QUILLET_NATIVE" ]; then
    skip "no Linux build named by QUILLET_NATIVE"
    return 0
  fi
  unpacked || return 1
  mkdir -p linux/FlashDrive
  cp -a staging-before/. linux/FlashDrive/
  ln -s "$(command -v 7za)" linux/7za
  (cd linux && "$QUILLET_NATIVE" </dev/null >stdout.bin 2>stderr.txt) || fail "the Linux build failed"
  mkdir linux/unpacked
  7za x -y -olinux/unpacked linux/ZarvoEUupdate.zip >/dev/null ||
    fail "cannot extract the Linux archive" || return 1
  local list
  for list in '$FileList.txt' '$FolderList.txt'; do
    [ "$(list_lines "linux/unpacked/$list" | sort -u)" = "$(list_lines "unpacked/$list" | sort -u)" ] ||
      fail "$list names other entries than the Linux build's"
  done
  [ "$(cd linux/unpacked && find . | sort)" = "$(cd unpacked && find . | sort)" ] ||
    fail "the archive holds other entries than the Linux build's"
  ours() {  # our own lines, line ends as on Linux, without folder paths or marker indexes
    tr -d '\r' <"$1" | sed -e 's/\[MD5\]([0-9]*)//g' -e 's/Press any key to continue\.\.\./&\n/' |
      grep -E '^(NAME: |FlashDrive|len = |buffer = |calculateMd5|\*{58}$|Start to pack|\[Name\]|\[Description\]|This tool|a release|\[BSP\]|Press any key)' |
      sort
  }
  [ "$(ours linux/stdout.bin)" = "$(ours stdout.bin)" ] ||
    fail "the texts differ from the Linux build's:
$(diff <(ours linux/stdout.bin) <(ours stdout.bin))"
}

# quillet-check.exe (CHECK_EXE): the archive and its extraction pass; a copy
# with one listed file changed (and packed again) fails with the digest's
# exit code.
check_quillet_check_passes() {
  [ -n "$check" ] || { skip "no quillet-check.exe given"; return 0; }
  [ -f ZarvoEUupdate.zip ] || fail "no ZarvoEUupdate.zip" || return 1
  cp "$check" quillet-check.exe
  "$wine_run" "$prefix" quillet-check.exe >check.txt 2>&1
  local check_status=$?
  [ "$check_status" -eq 0 ] || fail "exit $check_status on the archive: $(cat check.txt)"
  grep -qa 'Verdict: PASS' check.txt || fail "the archive does not pass"
  unpacked || return 1
  "$wine_run" "$prefix" quillet-check.exe unpacked >check.txt 2>&1
  check_status=$?
  [ "$check_status" -eq 0 ] || fail "exit $check_status on the extracted release: $(cat check.txt)"
  rm -f quillet-check.exe check.txt
}

check_quillet_check_refuses_a_changed_copy() {
  [ -n "$check" ] || { skip "no quillet-check.exe given"; return 0; }
  unpacked || return 1
  cp "$check" quillet-check.exe
  cp -a unpacked changed
  printf 'changed' >>changed/NAVI/Map/地图.dat
  (cd changed && 7za a -tzip ../changed.zip '*' >/dev/null)
  "$wine_run" "$prefix" quillet-check.exe changed.zip >check.txt 2>&1
  local check_status=$?
  [ "$check_status" -eq 6 ] || fail "exit $check_status on a changed release, expected 6"
  grep -qa "entry '\$md5.bin': holds" check.txt || fail "it does not say the digest differs"
  rm -rf changed changed.zip quillet-check.exe check.txt
}

# quillet-check.exe --diff: the archive against its extraction is no
# difference; with the configuration file changed in a copy of the
# extraction, both still pass, the change is said, and --exit-code makes it
# exit 8.
check_quillet_check_diff() {
  [ -n "$check" ] || { skip "no quillet-check.exe given"; return 0; }
  unpacked || return 1
  cp "$check" quillet-check.exe
  "$wine_run" "$prefix" quillet-check.exe --diff --exit-code ZarvoEUupdate.zip unpacked >diff.txt 2>&1
  local diff_status=$?
  [ "$diff_status" -eq 0 ] || fail "exit $diff_status on the archive and its extraction: $(cat diff.txt)"
  cp -a unpacked newer
  printf 'cfg 2' >'newer/$FileList-cfg.txt'
  "$wine_run" "$prefix" quillet-check.exe --diff --exit-code ZarvoEUupdate.zip newer >diff.txt 2>&1
  diff_status=$?
  [ "$diff_status" -eq 8 ] || fail "exit $diff_status on a changed configuration, expected 8: $(cat diff.txt)"
  grep -qaF '~ $FileList-cfg.txt (3 -> 5 bytes)' diff.txt || fail "it does not say the change: $(cat diff.txt)"
  rm -rf newer quillet-check.exe diff.txt
}

# A device is no release: refused as not a file, before anything is read
# from it.
check_quillet_check_refuses_a_device() {
  [ -n "$check" ] || { skip "no quillet-check.exe given"; return 0; }
  cp "$check" quillet-check.exe
  "$wine_run" "$prefix" quillet-check.exe NUL >check.txt 2>&1
  local check_status=$?
  [ "$check_status" -eq 3 ] || fail "exit $check_status on NUL, expected 3: $(cat check.txt)"
  grep -qa "NUL: not a file" check.txt || fail "it does not say NUL is not a file"
  rm -f quillet-check.exe check.txt
}

# Without an archiver in the working folder the command shell cannot start
# one: no archive, and a run that does not claim success.
check_without_archiver() {
  mkdir -p alone/FlashDrive
  cp -a staging-before/. alone/FlashDrive/
  (cd alone && "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt)
  local alone_status=$?
  [ "$alone_status" -ne 0 ] || fail "exit code 0 with no archiver to run"
  [ ! -e alone/ZarvoEUupdate.zip ] || fail "an archive appeared with no archiver to run"
}

test_setup 'a working folder with FlashDrive and 7za.exe' make_working_folder
test_setup 'Quillet.exe runs there under Wine' run_quillet
test_expect_success 'exit code 0' check_exit_code_0
test_expect_success 'the console texts as the Windows build writes them' check_console_texts
test_expect_success 'the walk refuses nothing' check_nothing_refused
test_expect_success 'the run prints its archive check line' check_archive_check_line
test_expect_success 'the staging folder is left as found' check_staging_as_found
test_expect_success 'the working folder holds the archive and nothing else new' check_no_leftovers
test_expect_success 'the archive reads cleanly and extracts' check_archive_reads
test_expect_success 'the archive holds every file and folder plus the three the run makes' \
  check_archive_entries
test_expect_success 'every file in the archive holds what the staging folder holds' \
  check_archive_contents
test_expect_success 'both lists: a line count, then UTF-16LE lines ended by 0x000A alone' \
  check_list_format
test_expect_success 'the file list in its second form' check_file_list
test_expect_success 'the folder list in its first form' check_folder_list
test_expect_success '$md5.bin is the digest of the listed files' check_digest
test_expect_success 'the Linux build lists the same entries and prints the same texts' \
  check_same_as_linux
test_expect_success 'without an archiver: no archive and a failed run' check_without_archiver
test_expect_success 'quillet-check.exe passes the archive and its extraction' \
  check_quillet_check_passes
test_expect_success 'quillet-check.exe refuses a changed copy with the digest exit code' \
  check_quillet_check_refuses_a_changed_copy
test_expect_success 'quillet-check.exe refuses a device as not a file' \
  check_quillet_check_refuses_a_device
test_expect_success 'quillet-check.exe --diff says a changed configuration and exits 8' \
  check_quillet_check_diff
finish
