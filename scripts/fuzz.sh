#!/usr/bin/env bash
# Build the libFuzzer targets (fuzz preset) and run each in turn.
#   scripts/fuzz.sh [SECONDS]   fuzz every target SECONDS long (default 900,
#                               about 10 M executions of the slowest here)
#   scripts/fuzz.sh --smoke     replay the corpora, then fuzz each target 5 s
# New inputs go to build/fuzz/corpus/<target>, findings to
# build/fuzz/findings/<target>/; the repository's seed corpora stay as they
# are. Exit status 1 when a target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/require.sh
# shellcheck disable=SC2086
require_packages $ROVOD_BUILD_PACKAGES clang-14 libclang-rt-14-dev

smoke=0
seconds=900
case "${1:-}" in
  --smoke) smoke=1 seconds=5 ;;
  "") ;;
  *) seconds=$1 ;;
esac
targets=(fuzz_address fuzz_intfile fuzz_reply fuzz_records fuzz_sim_frames fuzz_host_args)

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
  findings=$root/build/fuzz/findings/$t
  log=$root/build/fuzz/$t.log
  mkdir -p "$work" "$findings"
  rc=0
  if [ $smoke = 1 ]; then
    # Every seed, including the regression inputs, must pass as it is.
    "$bin/$t" -runs=0 "$seeds" >"$log" 2>&1 || rc=$?
  fi
  if [ $rc = 0 ]; then
    "$bin/$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
      "$work" "$seeds" >>"$log" 2>&1 || rc=$?
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
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
