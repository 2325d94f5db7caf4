#!/usr/bin/env bash
# ./run screenshots: renders the application's windows to build/screenshots/*.png, offscreen,
# against the local service.
set -euo pipefail
B=${1:?usage: screenshots.sh BUILD_DIR}
B=$(cd "$B" && pwd)
OUT=$B/screenshots
WORK=$(mktemp -d /tmp/tavro-shots-XXXXXX)
svc=
cleanup() { [ -n "$svc" ] && kill "$svc" 2>/dev/null && wait "$svc" 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
mkdir -p "$OUT"
"$B/tools/service/tavro-service" --listen 127.0.0.1:0 --state-dir "$WORK/service" >"$WORK/service.log" 2>&1 &
svc=$!
for _ in $(seq 1 100); do [ -s "$WORK/service/ready" ] && break; sleep 0.1; done
[ -s "$WORK/service/ready" ] || { cat "$WORK/service.log" >&2; exit 1; }
host=$(sed -n 's/^host=//p' "$WORK/service/ready")
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config XDG_DATA_HOME=$WORK/home/.local/share \
       XDG_CACHE_HOME=$WORK/home/.cache
export TAVROVPN_WEB_HOST=$host TAVROVPN_AUTH_HOST=$host TAVROVPN_FAQ_HOST=$host TAVROVPN_CA_FILE=$WORK/service/ca.pem
export TAVROVPN_HELPER_JOB_FILE=$WORK/no-helper TAVROVPN_PKEXEC=/nonexistent TAVROVPN_BUNDLE=$B/TavroVPN.app
export QT_QPA_PLATFORM=offscreen
"$B/tools/screenshots/tavrovpn-screenshots" "$OUT"
echo "screenshots in $OUT"
