#!/usr/bin/env bash
# The installed package as other programs use it: the consumer built with
# find_package(zedadad) and with pkg-config, each loading the driver at run
# time and linked with it, against the simulator on a pty.
#
#   tests/package/run.sh PREFIX ROVOD_SIM
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(cd "$1" && pwd)
sim=$2
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null

pc="env PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zedadad.pc | head -n1)") pkg-config"
libdir=$($pc --variable=libdir zedadad)
mkdir -p "$work/pc"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror $($pc --cflags zedadad) -DZEDADAD_LIBRARY="\"$libdir/libzedadad.so.0\"" \
  "$here/consumer.c" -o "$work/pc/consumer" -rdynamic -ldl
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror $($pc --cflags zedadad) "$here/consumer.c" -o "$work/pc/consumer_linked" \
  $($pc --libs zedadad) -Wl,-rpath,"$libdir"

"$sim" --pty --plc 1 --frozen >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
port=$(head -n1 "$work/sim.out")
[ -n "$port" ] || { cat "$work/sim.log"; echo "FAIL simulator gave no pty"; exit 1; }

status=0
for program in cmake/consumer cmake/consumer_linked pc/consumer pc/consumer_linked; do
  if out=$(env -i "$work/$program" "$port" 2>"$work/err.log"); then
    echo "$out ($program)"
  else
    echo "$out"; echo "FAIL $program"; cat "$work/err.log"; status=1
  fi
done
exit $status
