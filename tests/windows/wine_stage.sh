#!/usr/bin/env bash
# The test command's Windows stage after the i686 build: Wine and the x86-64
# build's packages, the x86-64 build, then run_wine.sh with both builds.
# Prints the stage's time; budget 9 min on a fresh machine, 4 min cached.
#
#   tests/windows/wine_stage.sh [JOBS]
#   tests/windows/wine_stage.sh --packages   only install what the Windows
#                                            stages need (both mingw-w64, Wine, qemu)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/require.sh
stage_start=$(date +%s)

# wine32 comes from Debian's i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" != 0 ]; then
    echo "error: wine32 needs the i386 architecture: sudo dpkg --add-architecture i386" >&2
    exit 1
  fi
  dpkg --add-architecture i386
  apt_updated=0 # the i386 package lists are needed now
fi
require_packages g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 wine64 qemu-user-static gcc-multilib \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
[ "${1:-}" = --packages ] && exit 0

echo "== mingw64: cross-build the x86-64 test build (ZEDADAD.dll, DERUDE.exe, win32_line.exe)"
# A folder configured with the posix thread model is made afresh.
cmake --preset mingw64 >/dev/null 2>&1 || cmake --preset mingw64 --fresh >/dev/null
cmake --build --preset mingw64 -j "${1:-$(nproc)}"

rc=0
tests/windows/run_wine.sh build/mingw build/default/tools/sim/rovod-sim build/mingw64 || rc=$?
echo "== Windows stage: $(($(date +%s) - stage_start)) s"
exit $rc
