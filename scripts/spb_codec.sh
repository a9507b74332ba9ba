#!/usr/bin/env bash
# Eclipse Tahu's Sparkplug B codec (the npm package sparkplug-payload) for the
# gateway's Sparkplug test host, which runs it on node: installed once into
# build/npm. A missing node or npm is named (installed as root), as every
# other tool the tests need.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
require_packages nodejs
command -v npm >/dev/null || require_packages npm
[ -f build/npm/node_modules/sparkplug-payload/package.json ] && exit 0
mkdir -p build/npm
npm install --prefix build/npm --no-audit --no-fund --no-save --loglevel=error sparkplug-payload@1.0.3 \
  || { echo "error: npm could not install sparkplug-payload into build/npm" >&2; exit 1; }
