#!/usr/bin/env bash
# Build and run every benchmark; each prints its ratio against its baseline.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
# shellcheck disable=SC2086
require_packages $ROVOD_BUILD_PACKAGES
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
shopt -s nullglob
for source in bench/*.cpp; do
  name=$(basename "$source" .cpp)
  echo "== $name"
  "build/default/bench/$name"
done
