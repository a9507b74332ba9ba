#!/usr/bin/env bash
# The Windows test host's scenario on Linux: derude_wine.cpp built natively
# loads libzedadad.so and works the simulator's pty, with the same
# control-signal file. Where Wine cannot run, this still keeps the scenario
# honest; where it can, a difference between the two runs is Wine's or the
# win32 system's.
#
#   tests/windows/run_native.sh [LINUX_BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd)
sim=$build/tools/sim/rovod-sim
lib=$build/libzedadad.so
for f in "$sim" "$lib"; do
  [ -f "$f" ] || { echo "error: $f is missing: build the default preset first" >&2; exit 1; }
done

work=$build/windows-native
rm -rf "$work"
mkdir -p "$work"
${CXX:-g++} -std=c++20 -Wall -Wextra -Werror -I"$root/include" -rdynamic \
  "$here/derude_wine.cpp" -o "$work/derude" -ldl

sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; true; }
trap cleanup EXIT
"$sim" --pty --plc 1 --frozen --trace >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
port=$(head -n1 "$work/sim.out")
[ -n "$port" ] || { cat "$work/sim.log"; echo "FAIL simulator gave no pty"; exit 1; }

printf '; two-wire converter turned around by RTS\nSEND = RTS ON\nRECEIVE = RTS OFF\nDEBUG = ON\n' >"$work/ROVOD.INT"
status=0
(cd "$work" && timeout 120 ./derude "$port" 1 "$lib") >"$work/derude.log" 2>&1 || status=1
grep -E '^FAIL |passed, .* failed' "$work/derude.log" || true
if [ $status != 0 ]; then
  echo "---- test host output"; cat "$work/derude.log"
  echo "---- simulator trace"; tail -n 40 "$work/sim.log"
fi
exit $status
