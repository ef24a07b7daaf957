#!/bin/sh
# The Linux side of the test-only 7za.exe (archiver_shim.cpp): runs Debian's
# 7za in the working folder with the arguments the stand-in hands over, then
# leaves 7za's exit status in the status file beside this script, written
# under another name first so that it appears complete.
# Usage: 7za-linux.sh STATUS-FILE-NAME [ARGUMENT...]
status_file="$(dirname "$0")/$1"
shift
# 7za reads the file names in the locale's encoding; they are UTF-8 here.
LC_ALL=C.UTF-8 7za "$@"
status=$?
echo "$status" >"$status_file.part"
mv -f "$status_file.part" "$status_file"
