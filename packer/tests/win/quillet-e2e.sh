#!/bin/bash
# End-to-end run of Quillet.exe under Wine, as a user runs it: a working
# folder with a staging folder "FlashDrive" and the archiver "7za" (the
# test-only stand-in that has Debian's 7za do the work), Quillet.exe started
# there with empty standard input. The archive is then read back on the Linux
# side and checked against the staging tree: its lists, its digest, its
# files.
#
# Usage: quillet-e2e.sh QUILLET_EXE SHIM_EXE SHIM_SCRIPT WINE_RUN WINEPREFIX
# Exits 77 (skipped) when Wine or 7za is missing.
set -uo pipefail
quillet="$1" shim="$2" shim_script="$3" wine_run="$4" prefix="$5"
export LC_ALL=C.UTF-8

for tool in wine 7za unzip iconv md5sum; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

work="$(mktemp -d "${TMPDIR:-/tmp}/quillet-e2e.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

# The staging tree: nested folders, an empty one, an empty file, binary
# content with line ends and NULs (read as bytes, not text), names outside
# any legacy code page, and a configuration file the digest leaves out.
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

started=$(date +%s.%N)
"$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt
status=$?
ended=$(date +%s.%N)
echo "Quillet.exe ran for $(awk "BEGIN { printf \"%.2f\", $ended - $started }") s under Wine"

[ "$status" -eq 0 ] || fail "exit code $status, expected 0"

# Console: the texts as the Windows build writes them, with text-mode line
# ends ("\r\n" for "\n", so "\r\r\n" for a message's own "\r\n"), and wide
# text in the UTF-8 code page like the walk's byte text.
contains() { grep -qaF -- "$1" stdout.bin || fail "stdout lacks: $(printf '%q' "$1")"; }
contains $'**********************************************************\r\nStart to pack ZarvoEUupdate.zip...\r\n'
contains $'[Name] ZarvoEU_Quillet.exe\t\t\t\t\t\t\t\t\t\r\n'
contains $'calculateMd5_AddOneFile(FlashDrive\\NAVI\\Map\\地图.dat)\r\r\n'
[ "$(tail -c 28 stdout.bin)" = "Press any key to continue..." ] ||
  fail "stdout does not end with the prompt"
if grep -qa 'Refused' stdout.bin; then fail "the walk refused entries"; fi

# The working folder: the archive, and the staging folder as it was.
[ -f ZarvoEUupdate.zip ] || fail "no ZarvoEUupdate.zip"
diff -r staging-before FlashDrive >/dev/null ||
  fail "the staging folder changed: $(diff -rq staging-before FlashDrive)"
leftovers=$(ls | grep -v -x -e FlashDrive -e staging-before -e 7za.exe -e 7za-linux.sh \
  -e ZarvoEUupdate.zip -e stdout.bin -e stderr.txt)
[ -z "$leftovers" ] || fail "left in the working folder: $leftovers"

if [ -f ZarvoEUupdate.zip ]; then
  unzip -tqq ZarvoEUupdate.zip >/dev/null || fail "unzip finds the archive damaged"
  mkdir unpacked
  7za x -y -ounpacked ZarvoEUupdate.zip >/dev/null || fail "7za cannot extract the archive"

  # Every file and folder of the staging folder, plus the three made by the run.
  expected=$( (cd staging-before && find . -mindepth 1 | sed 's|^\./||'
    printf '%s\n' '$FileList.txt' '$FolderList.txt' '$md5.bin') | sort)
  actual=$(cd unpacked && find . -mindepth 1 | sed 's|^\./||' | sort)
  [ "$expected" = "$actual" ] || fail "archive entries differ:
$(diff <(echo "$expected") <(echo "$actual"))"
  while IFS= read -r file; do
    cmp -s "staging-before/$file" "unpacked/$file" || fail "$file differs in the archive"
  done < <(cd staging-before && find . -type f)

  # A list file: its header count, then UTF-16LE lines ended by 0x000A alone.
  list_lines() { tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8; }
  list_count() { od -An -tu1 -N2 "$1" | awk '{print $1 + 256 * $2}'; }
  list_check() {  # file: well formed, count matching
    local file="unpacked/$1" lines
    [ -f "$file" ] || { fail "$1 is not in the archive"; return; }
    lines=$(list_lines "$file" | wc -l)
    [ "$(list_count "$file")" -eq "$lines" ] || fail "$1 counts $(list_count "$file") lines, holds $lines"
    [ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' ')" = 0a00 ] || fail "$1 does not end with 0x000A"
    if list_lines "$file" | grep -q $'\r'; then fail "$1 holds a carriage return"; fi
  }
  list_check '$FileList.txt'
  list_check '$FolderList.txt'

  # File list, second form: every file relative to the staging folder.
  expected_files=$( (cd staging-before && find . -type f | sed 's|^\./||'
    printf '%s\n' '$FileList.txt' '$FolderList.txt') | tr '/' '\\' | sort)
  [ "$(list_lines 'unpacked/$FileList.txt' | sort)" = "$expected_files" ] ||
    fail "file list differs:
$(diff <(echo "$expected_files") <(list_lines 'unpacked/$FileList.txt' | sort))"

  # Folder list, first form: a line for every folder that has entries (a
  # folder's line may repeat after each of its subfolders).
  expected_folders=$(printf '%s\n' 'FlashDrive\BSP' 'FlashDrive\NAVI' 'FlashDrive\NAVI\Map')
  [ "$(list_lines 'unpacked/$FolderList.txt' | sort -u)" = "$expected_folders" ] ||
    fail "folder list differs: $(list_lines 'unpacked/$FolderList.txt' | tr '\n' ' ')"

  # The digest: MD5 of the listed files' contents in list order, leaving out
  # the configuration file, recomputed here.
  if [ "$(stat -c %s 'unpacked/$md5.bin' 2>/dev/null)" != 16 ]; then
    fail '$md5.bin is not 16 bytes'
  else
    digest=$(list_lines 'unpacked/$FileList.txt' | grep -vF '$FileList-cfg.txt' | tr '\\' '/' |
      (cd unpacked && while IFS= read -r path; do cat -- "$path"; done) | md5sum | cut -c1-32)
    [ "$(od -An -tx1 'unpacked/$md5.bin' | tr -d ' \n')" = "$digest" ] ||
      fail "\$md5.bin is not the digest of the listed files ($digest)"
  fi
fi

# The Linux build, where it has been built (QUILLET_NATIVE names it), on the
# same staging folder: the same files and folders listed, the same texts
# printed. The order follows each platform's listing, so lines are compared
# as sets, and the "[MD5](i)" markers without their index.
if [ -n "${QUILLET_NATIVE:-}" ] && [ -x "$QUILLET_NATIVE" ] && [ -f ZarvoEUupdate.zip ]; then
  mkdir -p linux/FlashDrive
  cp -a staging-before/. linux/FlashDrive/
  ln -s "$(command -v 7za)" linux/7za
  (cd linux && "$QUILLET_NATIVE" </dev/null >stdout.bin 2>stderr.txt) || fail "the Linux build failed"
  mkdir linux/unpacked
  7za x -y -olinux/unpacked linux/ZarvoEUupdate.zip >/dev/null || fail "cannot extract the Linux archive"
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
  echo "Quillet.exe and the Linux build list the same entries and print the same texts"
fi

# Without an archiver in the working folder the command shell cannot start
# one: no archive, and a run that does not claim success.
mkdir -p alone/FlashDrive
cp -a staging-before/. alone/FlashDrive/
(cd alone && "$wine_run" "$prefix" "$quillet" </dev/null >stdout.bin 2>stderr.txt)
status=$?
[ "$status" -ne 0 ] || fail "exit code 0 with no archiver to run"
[ ! -e alone/ZarvoEUupdate.zip ] || fail "an archive appeared with no archiver to run"

if [ "$failures" -ne 0 ]; then
  echo "--- stdout"; cat -v stdout.bin; echo; echo "--- stderr"; cat stderr.txt
  exit 1
fi
echo "Quillet.exe under Wine: archive, lists and digest as expected"
