#!/usr/bin/env bash
# The reliability tests under ThreadSanitizer: many instances on their own
# threads, a lost port, open/close cycles. (The plain and asan presets run
# them too, with the fault soak.) Budget: 3 minutes for build and run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${ROVOD_JOBS:-$(nproc)}
start=$SECONDS
echo "== tsan: configure, build, test (reliability label)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"
echo "tsan stage: $((SECONDS - start)) s (budget 180 s)"
