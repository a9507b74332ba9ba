#!/usr/bin/env bash
# Build the libFuzzer targets (fuzz preset) and run each in turn.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#       fuzz every target (or the ones named) SECONDS long; by default each
#       target as long as about 10 M executions take on a loaded 2-core
#       machine (the table below, from measured executions per second)
#   scripts/fuzz.sh --smoke     replay the corpora, then fuzz each target 3 s
# New inputs go to build/fuzz/corpus/<target>, findings to
# build/fuzz/findings/<target>/; the repository's seed corpora stay as they
# are. Exit status 1 when a target found something. ROVOD_FUZZ_JOBS=N runs
# N processes per target (libFuzzer's fork mode), for the slow targets.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/require.sh
# shellcheck disable=SC2086
require_packages $ROVOD_BUILD_PACKAGES clang-14 libclang-rt-14-dev

# target: default seconds, largest input
declare -A default_seconds=([fuzz_address]=150 [fuzz_sim_frames]=900 [fuzz_records]=1200
  [fuzz_intfile]=1500 [fuzz_reply]=3000 [fuzz_host_args]=15000 [fuzz_modbus_request]=600)
declare -A max_len=([fuzz_address]=64 [fuzz_sim_frames]=256 [fuzz_records]=1200
  [fuzz_intfile]=1024 [fuzz_reply]=600 [fuzz_host_args]=256 [fuzz_modbus_request]=261)
targets=(fuzz_address fuzz_sim_frames fuzz_records fuzz_intfile fuzz_reply fuzz_host_args fuzz_modbus_request)

smoke=0
seconds=
case "${1:-}" in
  --smoke) smoke=1 seconds=3 ;;
  "") ;;
  *)
    seconds=$1
    shift
    [ $# = 0 ] || targets=("$@")
    ;;
esac

start=$(date +%s)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"
echo "build: $(($(date +%s) - start)) s"

bin=$root/build/fuzz/tests/fuzz
failed=0
printf '%-16s %12s %8s %s\n' TARGET EXECUTIONS EXEC/S FINDINGS
for t in "${targets[@]}"; do
  seeds=$root/tests/fuzz/corpus/$t
  work=$root/build/fuzz/corpus/$t
  extra=()
  jobs=${ROVOD_FUZZ_JOBS:-1}
  [ "$jobs" -gt 1 ] && [ $smoke = 0 ] && extra=(-fork="$jobs" -ignore_crashes=0)
  # The smoke run is the same on every machine: a fixed seed from the seed
  # corpus alone, not from what earlier long runs left here.
  if [ $smoke = 1 ]; then
    work=$root/build/fuzz/smoke-corpus/$t
    rm -rf "$work"
    extra=(-seed=1)
  fi
  findings=$root/build/fuzz/findings/$t
  log=$root/build/fuzz/$t.log
  rm -rf "$findings"
  mkdir -p "$work" "$findings"
  rc=0
  : >"$log"
  if [ $smoke = 1 ]; then
    # Every seed, including the regression inputs, must pass as it is.
    "$bin/$t" -runs=0 "$seeds" >>"$log" 2>&1 || rc=$?
  fi
  if [ $rc = 0 ]; then
    "$bin/$t" -max_total_time="${seconds:-${default_seconds[$t]}}" -max_len="${max_len[$t]}" \
      -print_final_stats=1 "${extra[@]}" -artifact_prefix="$findings/" "$work" "$seeds" >>"$log" 2>&1 || rc=$?
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ "${extra[0]:-}" = "-fork=$jobs" ]; then
    # Fork mode prints no totals: its last progress line has them.
    execs=$(sed -n 's/^#\([0-9]*\): cov:.*/\1/p' "$log" | tail -1)
    secs=$(sed -n 's/^#[0-9]*: cov:.* time: \([0-9]*\)s.*/\1/p' "$log" | tail -1)
    [ -n "$execs" ] && [ "${secs:-0}" -gt 0 ] && speed=$((execs / secs))
  fi
  found=$(find "$findings" -type f | wc -l)
  printf '%-16s %12s %8s %s\n' "$t" "${execs:-?}" "${speed:-?}" "$found"
  if [ $rc != 0 ]; then
    failed=1
    echo "$t: failed (status $rc); see $log" >&2
    grep -E 'ERROR|expectation failed|SUMMARY|Test unit written' "$log" | head -5 >&2
  fi
done
echo "fuzz: $(($(date +%s) - start)) s in all"
exit $failed
