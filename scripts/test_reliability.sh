#!/usr/bin/env bash
# The reliability tests under ThreadSanitizer: many instances on their own
# threads, a lost port, open/close cycles. (The plain and asan presets run
# them too, with the fault soak.) And the gateway's tests, with the gateway,
# the simulator and the driver built with it: its lines, publisher, MQTT
# client and Modbus clients' threads, under many Modbus clients at once; a
# report in the gateway's log fails its test. Only those targets are built.
# Budget: 3 minutes for build and run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${ROVOD_JOBS:-$(nproc)}
start=$SECONDS
echo "== tsan: configure, build, test (reliability and gateway labels)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"
echo "tsan stage: $((SECONDS - start)) s (budget 180 s)"
