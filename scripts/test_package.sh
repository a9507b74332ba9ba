#!/usr/bin/env bash
# The build as a user does it and the packages it makes: the plain CMake
# Release build from a clean folder (and with clang: the clang preset's
# build installed), its install used by a consumer outside
# the tree, the Debian package installed and run, and the Windows zip.
# The plain builds leave the tests out: the default preset is the same GCC
# Release build with the tests, and there any warning is an error.
#
#   scripts/test_package.sh [MINGW_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
plain=build/plain
prefix=$PWD/build/plain-install

# Under the test command (ROVOD_CCACHE) the compiler runs through ccache,
# which has the default preset's objects; the command is the user's all the same.
launcher=()
[ -n "${ROVOD_CCACHE:-}" ] && launcher=(env CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache)
echo "== plain build: cmake -S . -B $plain -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF (no preset${ROVOD_CCACHE:+; through ccache})"
rm -rf "$plain" "$prefix"
"${launcher[@]}" cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$plain" -j "$jobs" >"$plain.log" 2>&1 || { cat "$plain.log"; exit 1; }
if grep -q 'warning:' "$plain.log"; then
  grep 'warning:' "$plain.log"; echo "FAIL the plain build warns"; exit 1
fi
echo "ok: built without warnings"

echo "== BUILD_TESTING=OFF leaves the tests out"
targets=$(cmake --build "$plain" --target help)
for t in unit_tests line_tests tools_tests gateway_tests; do
  if grep -qw "$t" <<<"$targets"; then echo "FAIL $t is still built"; exit 1; fi
done
grep -qw zedadad <<<"$targets" && grep -qw rovod <<<"$targets" && grep -qw rovod-gateway <<<"$targets" ||
  { echo "FAIL the driver or the tools are gone"; exit 1; }
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

# The commissioning commands of an installed rovod, with no environment,
# against the installed simulator through a long stable-style port name.
installed_commissioning() {
  local bin=$1 work sim port link out
  work=$(mktemp -d)
  "$bin/rovod-sim" --pty --plc 1,5@19200 --frozen >"$work/sim.out" 2>"$work/sim.log" &
  sim=$!
  for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  port=$(head -n1 "$work/sim.out")
  link=$work/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0
  mkdir -p "$(dirname "$link")" && ln -s "/dev/$port" "$link"
  local fail=
  run() { out=$(cd / && env -i "$bin/rovod" --port "$link" "$@" 2>&1) || fail="rovod $*"; }
  run scan --plc 1..6 --baud 9600,19200
  found=$(awk '$1 ~ /^[0-9]+$/ && $3 ~ /^[0-9]+$/ { printf "%s@%s ", $1, $3 }' <<<"$out")
  [ -n "$fail" ] || [ "$found" = "1@9600 5@19200 " ] || fail="scan found '$found'"
  [ -n "$fail" ] || run check 01A0005 --reads 10
  [ -n "$fail" ] || grep -q '^01A0005 ' <<<"$out" || fail="check shows no row for 01A0005"
  [ -n "$fail" ] || run poll 01A0005 01I0012 --interval 50 --cycles 3 --csv "$work/poll.csv"
  [ -n "$fail" ] || [ "$(wc -l <"$work/poll.csv")" = 4 ] || fail="poll --csv did not write 3 rows"
  if [ -z "$fail" ] && command -v gnuplot >/dev/null; then
    (cd / && env -i PATH="$(dirname "$(command -v gnuplot)")" "$bin/rovod" plot "$work/poll.csv" \
      --out "$work/trend.png" >/dev/null 2>&1) || fail="rovod plot"
    [ -n "$fail" ] || [ "$(head -c 4 "$work/trend.png" | od -An -c | tr -d ' ')" = '211PNG' ] ||
      fail="plot wrote no PNG"
  fi
  [ -n "$fail" ] || run ports
  kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true
  if [ -n "$fail" ]; then
    echo "$out"; cat "$work/sim.log"; rm -rf "$work"; echo "FAIL $bin: $fail"; exit 1
  fi
  rm -rf "$work"
  echo "ok: $bin/rovod scan (1@9600 5@19200), check, poll --csv, plot, ports through a by-id style link"
}

# The installed gateway checks the installed example with no environment
# (it loads the driver beside it), and its unit starts the installed program.
installed_gateway() {
  local root=$1 out unit=$1/lib/systemd/system/rovod-gateway.service
  out=$(cd / && env -i "$root/bin/rovod-gateway" --check "$root/share/rovod/gateway.yaml" 2>&1) ||
    { echo "$out"; echo "FAIL $root/bin/rovod-gateway --check of the example"; exit 1; }
  grep -q '^rovod/boiler/setpoint/set ' <<<"$out" || { echo "$out"; echo "FAIL --check shows no set topic"; exit 1; }
  grep -qx "ExecStart=${2:-$root}/bin/rovod-gateway --config /etc/rovod/gateway.yaml" "$unit" ||
    { cat "$unit"; echo "FAIL $unit does not start ${2:-$root}/bin/rovod-gateway"; exit 1; }
  grep -q '^rovod/boiler/setpoint/history ' <<<"$out" || { echo "$out"; echo "FAIL the example has no store"; exit 1; }
  grep -qx "StateDirectory=rovod-gateway" "$unit" || { cat "$unit"; echo "FAIL $unit has no state directory for the store"; exit 1; }
  echo "ok: $root/bin/rovod-gateway --check of the installed example; the unit starts ${2:-$root}/bin/rovod-gateway"
}

echo "== install: cmake --install $plain --prefix $prefix"
cmake --install "$plain" --prefix "$prefix" >/dev/null
for f in lib/libzedadad.so lib/libzedadad.so.0 lib/libzedadad.so.0.1.0 include/zedadad/zedadad.h \
  lib/cmake/zedadad/zedadadConfig.cmake lib/pkgconfig/zedadad.pc bin/rovod bin/rovod-sim \
  share/man/man1/rovod.1 share/man/man1/rovod-sim.1 bin/rovod-gateway share/man/man1/rovod-gateway.1 \
  lib/systemd/system/rovod-gateway.service share/rovod/gateway.yaml; do
  [ -e "$prefix/$f" ] || { echo "FAIL $prefix/$f is missing"; exit 1; }
done
soname=$(objdump -p "$prefix/lib/libzedadad.so.0.1.0" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libzedadad.so.0 ] || { echo "FAIL SONAME is '$soname'"; exit 1; }
installed_read "" "$prefix/bin" "$prefix/bin/../lib/libzedadad.so.0"
installed_commissioning "$prefix/bin"
installed_gateway "$prefix"

# The clang preset has built every source as Release with clang, warnings as
# errors: its build is installed here rather than compiled a second time,
# and the plain clang configuration is only configured.
clang_preset=${ROVOD_CLANG_BUILD:-build/clang}
echo "== clang: plain configure (BUILD_TESTING=OFF); the $clang_preset build installed"
clang_build=build/plain-clang
rm -rf "$clang_build" "$clang_build-install"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$clang_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
[ -f "$clang_preset/CMakeCache.txt" ] || { echo "FAIL $clang_preset is not built (cmake --preset clang)"; exit 1; }
cmake --install "$clang_preset" --prefix "$PWD/$clang_build-install" >/dev/null
installed_read "clang" "$PWD/$clang_build-install/bin" "$PWD/$clang_build-install/bin/../lib/libzedadad.so.0"

echo "== consumer (tests/package) against the install"
tests/package/run.sh "$prefix" "$prefix/bin/rovod-sim"

echo "== Debian package: cpack -G DEB"
(cd "$plain" && rm -f rovod_*.deb && cpack -G DEB >/dev/null 2>&1)
deb=$(ls "$PWD/$plain"/rovod_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libmosquitto1 libyaml-cpp libmodbus5 libsqlite3 libprotobuf-lite; do
  grep -q "$lib" <<<"$depends" || { echo "Depends: $depends"; echo "FAIL the .deb does not depend on $lib"; exit 1; }
done
echo "ok: $(basename "$deb"), Depends: $depends"
scratch=build/deb-root
rm -rf "$scratch"
dpkg-deb -x "$deb" "$scratch"
installed_read "unpacked in $scratch" "$PWD/$scratch/usr/bin" "$PWD/$scratch/usr/bin/../lib/libzedadad.so.0"
installed_gateway "$PWD/$scratch/usr" /usr
if [ "$(id -u)" = 0 ]; then
  # Installed into the machine as a user would, then taken away again
  # unless it was there before.
  was_installed=$(dpkg-query -W -f='${Status}' rovod 2>/dev/null | grep -c 'install ok installed' || true)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "$deb" >/dev/null 2>&1
  installed_read "apt-get install" /usr/bin /usr/bin/../lib/libzedadad.so.0
  installed_commissioning /usr/bin
  installed_gateway /usr
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
  tests/windows/check_win_api.sh "$dir/ZEDADAD.dll" >/dev/null
  echo "ok: $(basename "$zip"): ZEDADAD.dll, DERUDE.exe, ROVOD.INT, DEPLOY.txt; PE tables and the DLL's Windows checked"
fi
