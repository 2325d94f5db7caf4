#!/usr/bin/env bash
# Server-list parsing: the client's parser against python3's xml.sax on the same generated
# 10 000-server file, both measured in this run (median CPU time of RUNS parses each).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd); B=${1:?usage: catalogue.bench.sh <builddir>}
BIN="$B/bench/bench_catalogue_parse"; PY="$ROOT/bench/catalogue/serverlist_sax.py"
RUNS=${RUNS:-20}; SERVERS=${SERVERS:-10000}
[ -x "$BIN" ] || { echo "catalogue: $BIN not built" >&2; exit 1; }
TMP=$(mktemp -d); trap 'rm -rf "$TMP"' EXIT
python3 "$PY" generate "$TMP/serverlist.xml" "$SERVERS"
read -r cpp n_cpp < <("$BIN" "$TMP/serverlist.xml" "$RUNS")
read -r py n_py < <(python3 "$PY" parse "$TMP/serverlist.xml" "$RUNS")
[ "$n_cpp" = "$n_py" ] || { echo "catalogue: server counts differ ($n_cpp vs $n_py)" >&2; exit 1; }
echo "server list, $n_cpp servers ($(stat -c %s "$TMP/serverlist.xml") bytes), median CPU time of $RUNS parses"
echo "  PexXmlParser (expat): ${cpp} s"
echo "  python3 xml.sax:      ${py} s"
python3 -c "import sys; c,p=map(float,sys.argv[1:]); print(f'  ratio python/ours:    {p/c:.2f}x')" "$cpp" "$py"
