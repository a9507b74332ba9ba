#!/usr/bin/env bash
# ZEDADAD.dll end to end under Wine: the test host DERUDE.exe (and the
# command-line host, when built) loads the DLL and works a COM port that is a
# pseudo-terminal served by the Linux controller simulator.
#
#   tests/windows/run_wine.sh [MINGW_BUILD_DIR] [ROVOD_SIM]
#
# Exit status: 0 passed, 1 failed, 77 Wine cannot run 32-bit programs on this
# machine (said loudly; scripts/test.sh decides what that means).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
sim=${2:-$root/build/default/tools/sim/rovod-sim}
com=COM5
plc=1

for f in "$build/ZEDADAD.dll" "$build/tests/windows/DERUDE.exe"; do
  [ -f "$f" ] || { echo "error: $f is missing: build the mingw preset first" >&2; exit 1; }
done
[ -x "$sim" ] || { echo "error: $sim is missing: build the default preset first" >&2; exit 1; }
command -v wine >/dev/null || { echo "error: wine is not installed (apt-get install wine wine32)" >&2; exit 1; }

# Debian's wine32 is an i386 program: the kernel must run 32-bit code itself.
# Under a user-mode emulator (qemu binfmt) Wine does not get through creating
# its prefix in useful time, so that counts as "cannot run" too.
skip() {
  echo "SKIPPED: the Wine suite cannot run on this machine: $*"
  echo "         (the PE table check above still ran; run this suite where i386 programs run natively)"
  exit 77
}
if ! timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  skip "its i386 programs do not start (a kernel booted with ia32_emulation=off runs no 32-bit code)"
fi
for fmt in /proc/sys/fs/binfmt_misc/qemu-i386*; do
  [ -f "$fmt" ] && grep -q '^enabled' "$fmt" && skip "i386 programs run only through qemu user emulation ($fmt)"
done

export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work="$build/wine-work"
rm -rf "$work"
mkdir -p "$work"
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

started=$(date +%s)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Wine prefix: $WINEPREFIX"
  timeout 240 wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; echo "FAIL wineboot"; exit 1; }
fi

# The simulator serves controller $plc on a fresh pty and names its slave.
"$sim" --pty --plc "$plc" --frozen --trace >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
pty=$(head -n1 "$work/sim.out")
[[ "$pty" == /* ]] || pty=/dev/$pty
[ -c "$pty" ] || { cat "$work/sim.out" "$work/sim.log"; echo "FAIL simulator gave no pty"; exit 1; }

# COM5 is that pty: the registry entry keeps Wine's device manager from
# pointing com5 back at /dev/ttyS4, and the link is what Wine opens.
wine reg add 'HKLM\Software\Wine\Ports' /v "$com" /t REG_SZ /d "$pty" /f >/dev/null 2>&1 ||
  echo "note: the registry entry for $com could not be written; the dosdevices link alone maps it"
ln -sfn "$pty" "$WINEPREFIX/dosdevices/$(tr '[:upper:]' '[:lower:]' <<<"$com")"
echo "== $com -> $pty (controller $plc)"

# Deployed as at a plant: the DLL beside the host, the control-signal file
# in the host's working directory. Switched mode: RTS on while sending.
cp "$build/tests/windows/DERUDE.exe" "$build/ZEDADAD.dll" "$work/"
printf '; two-wire converter turned around by RTS\r\nSEND = RTS ON\r\nRECEIVE = RTS OFF\r\nDEBUG = ON\r\n' >"$work/ROVOD.INT"

status=0
echo "== DERUDE.exe (test host) on $com"
(cd "$work" && timeout 180 wine DERUDE.exe "$com" "$plc") >"$work/derude.log" 2>&1 || status=1
grep -E '^(ok|FAIL|skip) |passed, .* failed' "$work/derude.log" || true
if [ $status != 0 ]; then
  echo "---- DERUDE.exe output"; cat "$work/derude.log"
  echo "---- simulator trace"; tail -n 40 "$work/sim.log"
fi

# The command-line host, when the mingw build made it.
if [ -f "$build/DERUDE.exe" ]; then
  mkdir -p "$work/host" && cp "$build/DERUDE.exe" "$build/ZEDADAD.dll" "$work/host/"
  echo "== DERUDE.exe (command-line host): info, write and read back"
  if (cd "$work/host" && timeout 60 wine DERUDE.exe info && \
      timeout 60 wine DERUDE.exe write 01A0030 42.5 --port "$com" && \
      timeout 60 wine DERUDE.exe read 01A0030 --port "$com" --json) >"$work/host.log" 2>&1 &&
     grep -q '"result":0' "$work/host.log" && grep -q '"value":42.5' "$work/host.log"; then
    echo "ok   command-line host: info, write 01A0030 42.5, read back"
  else
    cat "$work/host.log"; echo "FAIL command-line host"; status=1
  fi
fi

echo "== Wine suite: $([ $status = 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - started )) s"
exit $status
