#!/bin/bash
# Packs the example staging folder: builds Quillet, lays out a scratch working folder
# (out/example/) holding a copy of examples/FlashDrive and a link to the system's 7za,
# and runs Quillet there as a user would. The archive is out/example/ZarvoEUupdate.zip;
# quillet-check then checks it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/ensure-packages.sh cmake make g++ zlib1g-dev libdeflate-dev googletest libgmock-dev p7zip-full

cmake --preset native >/dev/null
cmake --build --preset native --target Quillet quillet-check

work="$root/out/example"
rm -rf "$work"
mkdir -p "$work"
cp -a examples/FlashDrive "$work/FlashDrive"
# Git keeps no empty folders; the example has one.
mkdir -p "$work/FlashDrive/NAVI/Logs"
ln -s "$(command -v 7za)" "$work/7za"

cd "$work"
set +e
echo | "$root/build/native/packer/Quillet"
status=$?
set -e
echo
echo "Quillet exited with code $status"
if [ -f ZarvoEUupdate.zip ]; then
  echo "Archive: $work/ZarvoEUupdate.zip"
  7za l ZarvoEUupdate.zip | sed -n '/^-----/,$p'
  echo
  "$root/build/native/check/quillet-check" ZarvoEUupdate.zip || status=$?
fi
exit $status
