#!/usr/bin/env bash
# The build as a user does it and the packages it makes: the plain CMake
# Release build from a clean folder, its install used by a consumer outside
# the tree, the Debian package installed and run, and the Windows zip.
#
#   scripts/test_package.sh [MINGW_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
plain=build/plain
prefix=$PWD/build/plain-install

echo "== plain build: cmake -S . -B $plain -DCMAKE_BUILD_TYPE=Release (no preset)"
rm -rf "$plain" "$prefix"
cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$plain" -j "$jobs" >"$plain.log" 2>&1 || { cat "$plain.log"; exit 1; }
if grep -q 'warning:' "$plain.log"; then
  grep 'warning:' "$plain.log"; echo "FAIL the plain build warns"; exit 1
fi
echo "ok: built without warnings"

echo "== BUILD_TESTING=OFF leaves the tests out"
cmake -S . -B build/plain-notest -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
targets=$(cmake --build build/plain-notest --target help)
for t in unit_tests line_tests tools_tests; do
  if grep -qw "$t" <<<"$targets"; then echo "FAIL $t is still built"; exit 1; fi
done
grep -qw zedadad <<<"$targets" && grep -qw rovod <<<"$targets" || { echo "FAIL the driver or the tools are gone"; exit 1; }
echo "ok: driver and tools, no tests"

# rovod run from an install: it must load the driver installed beside it,
# with no environment at all.
installed_read() {
  local root=$1 bin=$2 lib=$3 out
  out=$(cd / && env -i "$bin/rovod" -v read 01A0005 2>&1) || { echo "$out"; echo "FAIL $bin/rovod read"; exit 1; }
  grep -qF "rovod: driver $lib" <<<"$out" || { echo "$out"; echo "FAIL $bin/rovod did not load $lib"; exit 1; }
  grep -E '^01A0005 ' <<<"$out"
  echo "ok: $bin/rovod read 01A0005 with $lib${root:+ ($root)}"
}

echo "== install: cmake --install $plain --prefix $prefix"
cmake --install "$plain" --prefix "$prefix" >/dev/null
for f in lib/libzedadad.so lib/libzedadad.so.0 lib/libzedadad.so.0.1.0 include/zedadad/zedadad.h \
  lib/cmake/zedadad/zedadadConfig.cmake lib/pkgconfig/zedadad.pc bin/rovod bin/rovod-sim \
  share/man/man1/rovod.1 share/man/man1/rovod-sim.1; do
  [ -e "$prefix/$f" ] || { echo "FAIL $prefix/$f is missing"; exit 1; }
done
soname=$(objdump -p "$prefix/lib/libzedadad.so.0.1.0" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libzedadad.so.0 ] || { echo "FAIL SONAME is '$soname'"; exit 1; }
installed_read "" "$prefix/bin" "$prefix/bin/../lib/libzedadad.so.0"

echo "== consumer (tests/package) against the install"
tests/package/run.sh "$prefix" "$prefix/bin/rovod-sim"

echo "== Debian package: cpack -G DEB"
(cd "$plain" && rm -f rovod_*.deb && cpack -G DEB >/dev/null 2>&1)
deb=$(ls "$PWD/$plain"/rovod_*.deb)
echo "ok: $(basename "$deb")"
scratch=build/deb-root
rm -rf "$scratch"
dpkg-deb -x "$deb" "$scratch"
installed_read "unpacked in $scratch" "$PWD/$scratch/usr/bin" "$PWD/$scratch/usr/bin/../lib/libzedadad.so.0"
if [ "$(id -u)" = 0 ]; then
  # Installed into the machine as a user would, then taken away again
  # unless it was there before.
  was_installed=$(dpkg-query -W -f='${Status}' rovod 2>/dev/null | grep -c 'install ok installed' || true)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "$deb" >/dev/null 2>&1
  installed_read "apt-get install" /usr/bin /usr/bin/../lib/libzedadad.so.0
  tests/package/run.sh /usr /usr/bin/rovod-sim
  [ "$was_installed" = 1 ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq rovod >/dev/null 2>&1
elif [ "${CI:-}" = true ]; then
  echo "error: installing the .deb needs root"; exit 1
fi

mingw=${1:-build/mingw}
if [ -f "$mingw/CPackConfig.cmake" ]; then
  echo "== Windows zip: cpack in $mingw"
  (cd "$mingw" && rm -f zedadad-*-win32.zip && cpack >/dev/null)
  zip=$(ls "$mingw"/zedadad-*-win32.zip)
  rm -rf build/zip && mkdir -p build/zip && (cd build/zip && cmake -E tar xf "../../$zip")
  dir=$(ls -d build/zip/zedadad-*-win32)
  for f in ZEDADAD.dll DERUDE.exe ROVOD.INT DEPLOY.txt; do
    [ -f "$dir/$f" ] || { echo "FAIL $f is not in $(basename "$zip")"; exit 1; }
  done
  tests/windows/check_pe.sh "$dir/ZEDADAD.dll" "$dir/DERUDE.exe" >/dev/null
  echo "ok: $(basename "$zip"): ZEDADAD.dll, DERUDE.exe, ROVOD.INT, DEPLOY.txt; PE tables checked"
fi
