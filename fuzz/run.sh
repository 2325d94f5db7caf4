#!/usr/bin/env bash
# Build the fuzz targets with clang and run each for a bounded time (FUZZ_SECONDS, default 60).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd); B=${1:-$ROOT/build-fuzz}; shift || true
SECS=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVROVPN_FUZZ=ON -DTAVROVPN_BUILD_APP=OFF -DTAVROVPN_BUILD_TESTS=OFF >/dev/null
cmake --build "$B" -j "$(nproc)"
rc=0
for f in "$B"/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f"); corpus="$B/corpus/$name"; mkdir -p "$corpus"
  seeds="$ROOT/fuzz/seeds/${name#fuzz_}"; [ -d "$seeds" ] || seeds=""
  echo "== $name (${SECS}s)"
  "$f" -max_total_time="$SECS" -rss_limit_mb=2048 -print_final_stats=1 "$corpus" $seeds || rc=1
done
exit $rc
