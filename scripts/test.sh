#!/usr/bin/env bash
# Configure, build and run every test suite: the preset builds (GCC, the
# sanitizers, clang), the 32-bit layout check, the Windows DLL, the plain
# CMake build a user makes, and the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh

# shellcheck disable=SC2086
require_packages $ROVOD_BUILD_PACKAGES clang-format clang-14 libclang-rt-14-dev gcc-multilib g++-multilib \
  dpkg-dev gnuplot-nox umockdev ccache

# The plain GCC build (packages stage) compiles what the default preset
# compiled, with the same flags but -Werror: through ccache it takes the
# default preset's objects. The cache lives in the build folder.
export CCACHE_DIR=$PWD/build/ccache CCACHE_NOHASHDIR=1 CCACHE_IGNOREOPTIONS=-Werror ROVOD_CCACHE=1

# What only the Windows stages need is installed meanwhile, while the Linux
# builds run; they wait for it.
mkdir -p build
tests/windows/wine_stage.sh --packages >build/windows-packages.log 2>&1 &
windows_packages=$!
windows_packages_ready() {
  wait "$windows_packages" || { cat build/windows-packages.log; echo "error: the Windows packages" >&2; exit 1; }
}

jobs=$(nproc)

# Each stage's time, so that the run's budget can be kept stage by stage.
stage_start=$SECONDS
stage_name=
stage() {
  [ -n "$stage_name" ] && echo "-- $stage_name: $((SECONDS - stage_start)) s (total $SECONDS s)"
  stage_name=$1
  stage_start=$SECONDS
  [ -n "$1" ] && echo "== $1"
  return 0
}

stage "npm: Eclipse Tahu's Sparkplug B codec for the gateway's Sparkplug test host"
scripts/spb_codec.sh
echo "ok"

stage "format (clang-format)"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
echo "ok"

stage "host interface: 32-bit record layout (g++ -m32), the header as C"
g++ -m32 -std=c++20 -Wall -Wextra -Werror -Iinclude -Isrc -fsyntax-only tests/abi/layout32.cpp
gcc -m32 -std=c11 -Wall -Wextra -Werror -Iinclude -fsyntax-only tests/abi/header_c.c
gcc -std=c11 -Wall -Wextra -Werror -Iinclude -fsyntax-only tests/abi/header_c.c
echo "ok"

for preset in default asan clang; do
  stage "$preset: configure, build, test"
  if [ "$preset" = default ]; then
    CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache cmake --preset "$preset" >/dev/null
  else
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

stage "fuzz: corpora replayed, then every libFuzzer target fuzzed briefly"
scripts/fuzz.sh --smoke

stage "tsan: the reliability and gateway tests"
ROVOD_JOBS=$jobs scripts/test_reliability.sh

stage "mingw: cross-build ZEDADAD.dll (i686)"
windows_packages_ready
# A folder configured with the posix thread model stops the configure
# (cmake/windows.cmake): it is made afresh.
cmake --preset mingw >/dev/null 2>&1 || cmake --preset mingw --fresh >/dev/null
cmake --build --preset mingw -j "$jobs"

stage "windows: PE tables of ZEDADAD.dll and the DERUDE.exe hosts, the oldest Windows of the DLL"
hosts=(build/mingw/tests/windows/DERUDE.exe)
[ -f build/mingw/DERUDE.exe ] && hosts+=(build/mingw/DERUDE.exe)
tests/windows/check_pe.sh build/mingw/ZEDADAD.dll "${hosts[@]}"
tests/windows/check_win_api.sh build/mingw/ZEDADAD.dll

stage "windows: the test host's scenario on Linux (libzedadad.so, simulator on a pty)"
tests/windows/run_native.sh build/default

stage "windows: ZEDADAD.dll under Wine (natively or through qemu), and the x86-64 build"
tests/windows/wine_stage.sh "$jobs"

stage "packages: the plain builds, the install, the .deb and the zip"
scripts/test_package.sh build/mingw
stage ""
