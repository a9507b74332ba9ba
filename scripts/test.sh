#!/usr/bin/env bash
# Configure, build and run every test suite: the preset builds (GCC, the
# sanitizers, clang), the 32-bit layout check, the Windows DLL, the plain
# CMake build a user makes, and the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh

# shellcheck disable=SC2086
require_packages $ROVOD_BUILD_PACKAGES clang-format clang-14 libclang-rt-14-dev gcc-multilib g++-multilib \
  g++-mingw-w64-i686 binutils-mingw-w64-i686 pkg-config dpkg-dev gnuplot-nox umockdev

jobs=$(nproc)

echo "== format (clang-format)"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
echo "ok"

echo "== host interface: 32-bit record layout (g++ -m32), the header as C"
g++ -m32 -std=c++20 -Wall -Wextra -Werror -Iinclude -Isrc -fsyntax-only tests/abi/layout32.cpp
gcc -m32 -std=c11 -Wall -Wextra -Werror -Iinclude -fsyntax-only tests/abi/header_c.c
gcc -std=c11 -Wall -Wextra -Werror -Iinclude -fsyntax-only tests/abi/header_c.c
echo "ok"

for preset in default asan clang; do
  echo "== $preset: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

echo "== fuzz: corpora replayed, then every libFuzzer target fuzzed briefly"
scripts/fuzz.sh --smoke

ROVOD_JOBS=$jobs scripts/test_reliability.sh

echo "== mingw: cross-build ZEDADAD.dll (i686)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"

echo "== windows: PE tables of ZEDADAD.dll and the DERUDE.exe hosts"
hosts=(build/mingw/tests/windows/DERUDE.exe)
[ -f build/mingw/DERUDE.exe ] && hosts+=(build/mingw/DERUDE.exe)
tests/windows/check_pe.sh build/mingw/ZEDADAD.dll "${hosts[@]}"

echo "== windows: the test host's scenario on Linux (libzedadad.so, simulator on a pty)"
tests/windows/run_native.sh build/default

echo "== windows: ZEDADAD.dll under Wine (natively or through qemu), and the x86-64 build"
tests/windows/wine_stage.sh "$jobs"

scripts/test_package.sh build/mingw
