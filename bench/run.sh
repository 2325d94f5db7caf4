#!/usr/bin/env bash
# Run every benchmark script bench/*.bench.sh with the build directory as argument.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd); B=${1:-$ROOT/build-bench}
rc=0
for s in "$ROOT"/bench/*.bench.sh; do
  [ -f "$s" ] || continue
  echo "== $(basename "$s" .bench.sh)"
  bash "$s" "$B" || rc=1
done
exit $rc
