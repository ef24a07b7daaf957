#!/bin/bash
# Makes the release packages with CPack, in out/packages/:
#   zarvo-release-tools_<version>_amd64.deb  quillet and quillet-check for Debian 12,
#                                            from the native build
#   zarvo-release-tools-<version>-win64.zip  Quillet.exe and quillet-check.exe, from
#                                            the Windows (mingw-w64) build
# They hold the programs of the presets' build folders (build/native,
# build/windows), so after scripts/test.sh they are the programs just tested.
# Installs what it needs from Debian's archive when it is missing.
# Usage: scripts/package.sh [deb] [zip]   (default both)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(deb zip)
for kind in "${kinds[@]}"; do
  case "$kind" in
    deb)
      # dpkg-dev's dpkg-shlibdeps computes the dependencies; scdoc writes the pages.
      scripts/ensure-packages.sh cmake make g++ googletest libgmock-dev zlib1g-dev libdeflate-dev dpkg-dev file scdoc
      cmake --preset native >/dev/null
      cmake --build --preset native --target Quillet quillet-check package_docs
      cpack --preset deb
      ;;
    zip)
      scripts/ensure-packages.sh cmake make googletest libz-mingw-w64-dev \
        g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
      cmake --preset windows >/dev/null
      cmake --build --preset windows --target Quillet quillet-check
      cpack --preset zip
      ;;
    *)
      echo "usage: $0 [deb] [zip]" >&2
      exit 2
      ;;
  esac
done
