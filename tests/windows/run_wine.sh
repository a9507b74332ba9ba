#!/usr/bin/env bash
# ZEDADAD.dll end to end under Wine: the 32-bit test host DERUDE.exe loads
# the real i686 DLL and works COM5, a pseudo-terminal that the Linux
# controller simulator serves, then once more with Wine presenting itself
# as Windows XP; the command-line host then reads on the same port. With
# the x86-64 build (third argument) its DLL runs the same host
# scenario under wine64, and win32_line.exe checks the win32 system on COM1
# to COM10, whose far end is pty_peer.
#
#   tests/windows/run_wine.sh [MINGW_BUILD_DIR] [ROVOD_SIM] [MINGW64_BUILD_DIR]
#
# wine32 is an i386 program: wine_route.sh picks how this machine runs it
# (natively, or through qemu registered with binfmt_misc) and says which.
# Where neither works the suite fails with the reason: it is never skipped.
# ROVOD_WINE_ROUTE=qemu forces the emulated route; ROVOD_WINE_CACHE moves
# the prefix cache. Exit status: 0 passed, 1 failed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
sim=${2:-$root/build/default/tools/sim/rovod-sim}
build64=${3:+$(cd "$3" && pwd)}
com=COM5
plc=1
wine64=/usr/lib/wine/wine64

need=("$build/ZEDADAD.dll" "$build/tests/windows/DERUDE.exe")
[ -n "$build64" ] && need+=("$build64/ZEDADAD.dll" "$build64/DERUDE.exe" "$build64/tests/windows/DERUDE.exe" "$build64/tests/windows/win32_line.exe")
for f in "${need[@]}"; do
  [ -f "$f" ] || { echo "error: $f is missing: build the mingw (and mingw64) preset first" >&2; exit 1; }
done
[ -x "$sim" ] || { echo "error: $sim is missing: build the default preset first" >&2; exit 1; }
command -v wine >/dev/null && [ -x $wine64 ] ||
  { echo "error: wine is not installed (apt-get install wine wine32:i386 wine64)" >&2; exit 1; }

# The server saves the registry as it goes down: wait for it.
stop_server() { [ -d "${WINEPREFIX:-/nonexistent}" ] && /usr/lib/wine/wineserver -k 2>/dev/null && /usr/lib/wine/wineserver -w; true; }

started=$(date +%s)
work="$build/wine-work"
WINEPREFIX=$work/prefix stop_server
rm -rf "$work"
mkdir -p "$work"
. "$here/wine_route.sh"

sim_pid='' peer_pid=''
cleanup() {
  set +e  # every step runs, whatever the one before did
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null && wait "$peer_pid" 2>/dev/null
  stop_server
  wine_route_release
}
trap cleanup EXIT

if ! wine_route_select "$work"; then
  echo "FAIL Wine cannot run this machine's i386 programs: $WINE_ROUTE_WHY"
  exit 1
fi
case $WINE_ROUTE in
  native) echo "== Wine route: native (the kernel runs i386 programs itself)" ;;
  qemu) echo "== Wine route: qemu (i386 programs through qemu-i386-static${wine_route_entry:+, registered as $wine_route_name until the suite ends})" ;;
esac
# Emulated, each 32-bit Wine process spends most of a minute starting up.
limit32=120
[ $WINE_ROUTE = qemu ] && limit32=900

# A Wine prefix, made once per Wine version by wine64 and kept outside the
# clone; each run works in a copy, since it maps its own ports and the
# prefix's server is killed at the end. The DLLs are hard links (the prefix
# is over 1 GB, and Wine never writes them); the registry and .ini files are
# real copies.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,iexplore.exe=d"
version=$($wine64 --version)
cache=${ROVOD_WINE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rovod}/wine-$(sed 's/^wine-//; s/[^A-Za-z0-9.]\+/-/g; s/-$//' <<<"$version")
make_cache() {
  local fresh=$cache.new.$$ t0
  t0=$(date +%s)
  echo "== Wine prefix: making $cache"
  rm -rf "$cache" "$fresh"
  if ! WINEPREFIX=$fresh timeout $((limit32 * 3)) $wine64 wineboot -i >"$work/wineboot.log" 2>&1 ||
    ! WINEPREFIX=$fresh timeout 60 /usr/lib/wine/wineserver -w; then
    cat "$work/wineboot.log"
    echo "FAIL wineboot"
    exit 1
  fi
  touch "$fresh/rovod-ready"
  mv -T "$fresh" "$cache"
  echo "   made in $(($(date +%s) - t0)) s"
}
copy_cache() {
  rm -rf "$work/prefix"
  cp -al "$cache" "$work/prefix" 2>/dev/null || cp -a "$cache" "$work/prefix"
  find "$work/prefix" -maxdepth 3 \( -name '*.reg' -o -name '*.ini' \) -exec sh -c 'cp --remove-destination "$1" "$1.x" && mv "$1.x" "$1"' _ {} \;
  rm -f "$work/prefix/rovod-ready"
}
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9  # one run at a time makes or copies the cache
[ -f "$cache/rovod-ready" ] && [ -f "$cache/system.reg" ] && [ -d "$cache/drive_c/windows/syswow64" ] || make_cache
copy_cache
flock -u 9
export WINEPREFIX=$work/prefix

# The simulator serves controller $plc on COM5; with the x86-64 build,
# pty_peer is the far end of COM1..COM4 and COM6..COM10.
"$sim" --pty --plc "$plc" --frozen --trace >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
ports=("$com")
if [ -n "$build64" ]; then
  ${CXX:-g++} -std=c++20 -O1 -Wall -Wextra -Werror "$here/pty_peer.cpp" -o "$work/pty_peer"
  "$work/pty_peer" >"$work/peer.out" 2>"$work/peer.log" &
  peer_pid=$!
  ports+=(COM1 COM2 COM3 COM4 COM6 COM7 COM8 COM9 COM10)
fi
pty_of() {
  local out=$1 pty
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
  pty=$(head -n1 "$out")
  [[ "$pty" == /* ]] || pty=/dev/$pty
  [ -c "$pty" ] || { cat "$out"; echo "FAIL no pty in $out" >&2; exit 1; }
  echo "$pty"
}
sim_pty=$(pty_of "$work/sim.out")
[ -n "$peer_pid" ] && peer_pty=$(pty_of "$work/peer.out")

# Each port is mapped twice: a registry value, which keeps Wine's device
# manager from pointing comN back at /dev/ttyS(N-1), and the dosdevices link,
# which is what Wine opens. One wine64 process imports all the values.
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for p in "${ports[@]}"; do
    printf '"%s"="%s"\r\n' "$p" "$([ $p = $com ] && echo "$sim_pty" || echo "$peer_pty")"
  done
} >"$work/ports.reg"
import() { timeout 120 $wine64 reg import 'C:\ports.reg' >>"$work/wine64.log" 2>&1; }
cp "$work/ports.reg" "$WINEPREFIX/drive_c/"
if ! import; then
  echo "== the cached prefix does not start: made again"
  stop_server
  flock 9
  make_cache
  copy_cache
  flock -u 9
  cp "$work/ports.reg" "$WINEPREFIX/drive_c/"
  import || { cat "$work/wine64.log"; echo "FAIL wine64 reg import"; exit 1; }
fi
for p in "${ports[@]}"; do
  ln -sfn "$([ $p = $com ] && echo "$sim_pty" || echo "$peer_pty")" "$WINEPREFIX/dosdevices/${p,,}"
done
# Wine makes its device map of serial ports once, as it starts: the start
# for the import may have made it before the import's values were in (it
# then lists COM1 alone). The next start makes it from every port.
# From here one server stays up for every run: a server that ends after its
# idle time can drop a client that connects at that moment ("wine client
# error: recvmsg: Connection reset by peer").
stop_server
/usr/lib/wine/wineserver -p >>"$work/wineserver.log" 2>&1 || { echo "FAIL wineserver -p"; exit 1; }
echo "== $com -> $sim_pty (controller $plc)${peer_pid:+; COM1..COM10 -> $peer_pty (pty_peer)}"
echo "   prefix ready after $(($(date +%s) - started)) s"

# Deployed as at a plant: the DLL beside the host, the control-signal file
# in the host's working directory. Switched mode: RTS on while sending.
status=0
host_scenario() {  # label, build dir, wine loader, time limit
  local dir="$work/$1" t0
  t0=$(date +%s)
  mkdir -p "$dir"
  cp "$2/tests/windows/DERUDE.exe" "$2/ZEDADAD.dll" "$dir/"
  printf '; two-wire converter turned around by RTS\r\nSEND = RTS ON\r\nRECEIVE = RTS OFF\r\nDEBUG = ON\r\n' >"$dir/ROVOD.INT"
  echo "== DERUDE.exe ($1 test host) on $com"
  if ! (cd "$dir" && timeout "$4" "$3" DERUDE.exe "$com" "$plc") >"$dir/derude.log" 2>&1; then
    status=1
    echo "---- DERUDE.exe output"; cat "$dir/derude.log"
    echo "---- simulator trace"; tail -n 40 "$work/sim.log"
  fi
  grep -E '^(FAIL|skip) |passed, .* failed' "$dir/derude.log" || echo "FAIL no summary"
  echo "   $1 test host: $(($(date +%s) - t0)) s"
}
host_scenario i686 "$build" wine "$limit32"

# Once more with Wine presenting itself as Windows XP, as at many plants.
# Wine's KERNEL32 still has every newer function: the imports are
# check_win_api.sh's; this run covers what the DLL does on XP's answers.
xp='HKCU\Software\Wine'
if timeout 120 $wine64 reg add "$xp" /v Version /d winxp /f >>"$work/wine64.log" 2>&1; then
  host_scenario i686-winxp "$build" wine "$limit32"
  if grep -q '^host: Windows 5\.1 ' "$work/i686-winxp/derude.log"; then
    echo "ok   Wine presented Windows XP (5.1) to the test host"
  else
    grep '^host:' "$work/i686-winxp/derude.log"; echo "FAIL Wine did not present Windows XP"; status=1
  fi
  timeout 120 $wine64 reg delete "$xp" /v Version /f >>"$work/wine64.log" 2>&1 || { echo "FAIL wine64 reg delete $xp /v Version"; status=1; }
else
  cat "$work/wine64.log"; echo "FAIL wine64 reg add $xp /v Version /d winxp"; status=1
fi

# The command-line host, when the mingw build made it: one process reads
# back the value the test host has just written to A0040.
if [ -f "$build/DERUDE.exe" ]; then
  t0=$(date +%s)
  mkdir -p "$work/host" && cp "$build/DERUDE.exe" "$build/ZEDADAD.dll" "$work/host/"
  echo "== DERUDE.exe (command-line host): read back what the test host wrote"
  if (cd "$work/host" && timeout "$limit32" wine DERUDE.exe read "$(printf %02X $plc)A0040" --port "$com" --json) \
    >"$work/host.log" 2>&1 && grep -q '"result":0' "$work/host.log" && grep -q '"value":12.5' "$work/host.log"; then
    echo "ok   command-line host: read $(printf %02X $plc)A0040 gives 12.5"
  else
    cat "$work/host.log"; echo "FAIL command-line host"; status=1
  fi
  echo "   command-line host: $(($(date +%s) - t0)) s"
fi

if [ -n "$build64" ]; then
  host_scenario x86-64 "$build64" $wine64 60
  t0=$(date +%s)
  echo "== win32_line.exe (x86-64): the win32 system on COM1..COM10, far end pty_peer"
  if ! (cd "$work" && timeout 60 $wine64 "$build64/tests/windows/win32_line.exe" COM1) >"$work/line.log" 2>&1; then
    status=1
    cat "$work/line.log"; echo "---- pty_peer"; cat "$work/peer.log"
  fi
  grep -E '^FAIL |passed, .* failed' "$work/line.log" || echo "FAIL no summary"
  echo "   win32_line: $(($(date +%s) - t0)) s"

  # The x86-64 command-line host: the ports of the device map in COM order,
  # and the value the test host wrote.
  t0=$(date +%s)
  echo "== DERUDE.exe (x86-64 command-line host): ports, read, scan"
  mkdir -p "$work/host64" && cp "$build64/DERUDE.exe" "$build64/ZEDADAD.dll" "$work/host64/"
  names=
  if (cd "$work/host64" && timeout 60 $wine64 DERUDE.exe ports --json) >"$work/host64.log" 2>&1; then
    names=$(grep -o '"name":"COM[0-9]*"' "$work/host64.log" | sed 's/.*"\(COM[0-9]*\)"/\1/')
  fi
  missing=$(printf '%s\n' "${ports[@]}" | grep -vxF -f <(printf '%s\n' "$names") || true)
  if [ -n "$names" ] && [ -z "$missing" ] && sort -V -C <<<"$names"; then
    echo "ok   command-line host: ports lists the ${#ports[@]} mapped COM names, in COM order"
  else
    cat "$work/host64.log"; echo "FAIL command-line host (x86-64): ports"; status=1
  fi
  if (cd "$work/host64" && timeout 60 $wine64 DERUDE.exe read "$(printf %02X $plc)A0040" --port "$com" --json) \
    >"$work/host64.log" 2>&1 && grep -q '"value":12.5' "$work/host64.log"; then
    echo "ok   command-line host: read $(printf %02X $plc)A0040 gives 12.5"
  else
    cat "$work/host64.log"; echo "FAIL command-line host (x86-64): read"; status=1
  fi
  # The round trip as the host's clock (the performance counter) times it.
  rtt=
  if (cd "$work/host64" && timeout 60 $wine64 DERUDE.exe scan --plc "$plc" --baud 9600 --port "$com" --json) \
    >"$work/host64.log" 2>&1; then
    rtt=$(grep -o '"rtt_ms":[0-9.]*' "$work/host64.log" | cut -d: -f2)
  fi
  if [ -n "$rtt" ] && awk -v ms="$rtt" 'BEGIN { exit !(ms >= 0.5 && ms < 1000) }'; then
    echo "ok   command-line host: scan finds controller $plc, round trip $rtt ms"
  else
    cat "$work/host64.log"; echo "FAIL command-line host (x86-64): scan round trip '$rtt' ms"; status=1
  fi
  echo "   x86-64 command-line host: $(($(date +%s) - t0)) s"
fi

echo "== Wine suite ($WINE_ROUTE route): $([ $status = 0 ] && echo passed || echo FAILED) in $(($(date +%s) - started)) s"
exit $status
