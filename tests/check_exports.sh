#!/usr/bin/env bash
# ZevMain must be the only function the shared library defines for others.
set -euo pipefail
lib=$1
defined=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWiI]$/ {print $3}' | sort)
if [ "$defined" != "ZevMain" ]; then
  echo "expected ZevMain as the only exported function of $lib, got:"
  echo "$defined"
  exit 1
fi
undefined=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//')
for sym in err Mox5UnCook; do
  grep -qx "$sym" <<<"$undefined" || { echo "$lib does not import $sym"; exit 1; }
done
echo "ok: $lib exports ZevMain only and imports the host's err and Mox5UnCook"
