#!/usr/bin/env bash
# Configure, build and run every test suite: the plain build, the sanitizer
# build, and the 32-bit layout check.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh

# shellcheck disable=SC2086
require_packages $ROVOD_BUILD_PACKAGES gcc-multilib g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686

jobs=$(nproc)

echo "== 32-bit record layout (g++ -m32)"
g++ -m32 -std=c++20 -Wall -Wextra -Werror -Iinclude -Isrc -fsyntax-only tests/abi/layout32.cpp
echo "ok"

for preset in default asan; do
  echo "== $preset: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

echo "== mingw: cross-build ZEDADAD.dll (i686)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"

echo "== install"
rm -rf build/install
cmake --install build/default --prefix build/install >/dev/null
test -f build/install/lib/libzedadad.so
test -f build/install/include/zedadad/zedadad.h
echo "ok: build/install/lib/libzedadad.so and build/install/include/zedadad/zedadad.h"
