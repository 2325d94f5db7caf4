#!/usr/bin/env bash
# Time from the connect click to "接続中" against the OpenVPN fixture, next to its floor (designed
# waits + openvpn's own hold-release -> CONNECTED time, measured in the same run). Needs root; the
# run happens in a private mount namespace with /etc overlaid.
set -uo pipefail
B=$(cd "${1:?usage: openvpnflow.bench.sh BUILD_DIR}" && pwd) || exit 1
ROOT=$(cd "$(dirname "$0")/.." && pwd)
EXE=$B/bench/bench_openvpnflow
if [ "$(id -u)" -ne 0 ]; then
    echo "openvpnflow: skipped (needs root)"
    exit 0
fi
[ -x "$EXE" ] || { echo "openvpnflow: $EXE is not built" >&2; exit 1; }
exec env TAVROVPN_SOURCE_DIR="$ROOT" TAVROVPN_BINARY_DIR="$B" TAVROVPN_BUNDLE="$B/TavroVPN.app" \
    QT_QPA_PLATFORM=offscreen "$EXE"
