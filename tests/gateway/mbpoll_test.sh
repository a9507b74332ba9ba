#!/usr/bin/env bash
# Debian's mbpoll, a Modbus master as an operator uses one, against the
# gateway and a simulated controller: a value read in both word orders, a
# setpoint written and read back, an unmapped register refused.
#
#   mbpoll_test.sh ROVOD_GATEWAY ROVOD_SIM DRIVER_LIB
set -euo pipefail
gateway=$1 sim=$2 driver=$3
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
  return 1
}

"$sim" --pty --plc 1 --frozen >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
ln -s "/dev/$(head -n1 "$work/sim.out")" "$work/line"
port=$(free_port)
cat >"$work/gateway.yaml" <<YAML
broker: {host: 127.0.0.1, port: $(free_port)}
lines:
  - name: boiler
    port: ./line
    interval_ms: 100
    gates:
      - {address: 01A0010, name: setpoint, writable: true}
      - {address: 01A0011, name: flow}
modbus:
  port: $port
  lines:
    - line: boiler
      units: {1: 1}
      registers:
        - {gate: setpoint, register: 0}
        - {gate: flow, register: 0}
        - {gate: flow, register: 2, word_order: low_first}
YAML
"$gateway" --driver "$driver" -c "$work/gateway.yaml" 2>"$work/gateway.log" &
pids+=($!)
for _ in $(seq 100); do grep -q 'line boiler: online' "$work/gateway.log" && break; sleep 0.05; done

fail() { cat "$work/gateway.log"; echo "FAIL $*"; exit 1; }
host=127.0.0.1
mbpoll() { command mbpoll -m tcp -p "$port" -a 1 -1 "$@" 2>&1; }

# mbpoll counts references from 1: register 0 is reference 1.
out=$(mbpoll -t 3:float -B -r 1 -c 1 $host) || fail "mbpoll read: $out"
grep -qP '^\[1\]:\s+12\.5$' <<<"$out" || fail "flow high word first: $out"
out=$(mbpoll -t 3:float -r 3 -c 1 $host) || fail "mbpoll read: $out"
grep -qP '^\[3\]:\s+12\.5$' <<<"$out" || fail "flow low word first: $out"
out=$(mbpoll -t 4:float -B -r 1 $host 75.5) || fail "mbpoll write: $out"
grep -q 'Written 1 references' <<<"$out" || fail "setpoint write: $out"
out=$(mbpoll -t 4:float -B -r 1 -c 1 $host) || fail "mbpoll read back: $out"
grep -qP '^\[1\]:\s+75\.5$' <<<"$out" || fail "setpoint read back: $out"
out=$(mbpoll -t 3 -r 100 -c 1 $host) && fail "an unmapped register was answered: $out"
grep -q 'Illegal data address' <<<"$out" || fail "unmapped register: $out"
! grep -q Sanitizer "$work/gateway.log" || fail "a sanitizer's report from the gateway"
echo "ok: mbpoll read 12.5 in both word orders, wrote 75.5 and read it back, got 'Illegal data address' for an unmapped register"
