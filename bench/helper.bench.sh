#!/usr/bin/env bash
# 1000 back-to-back CMD_SCNETWORK + GET_VER exchanges through the helper under its supervisor, under
# systemd-socket-activate --accept, and through the installed socket unit where systemd runs, next
# to a plain Unix-socket echo of the same exchange measured in the same run. Needs root (the helper
# serves root and the users of its allow file, which must be root's).
set -uo pipefail
B=$(cd "${1:?usage: helper.bench.sh BUILD_DIR}" && pwd) || exit 1
EXE=$B/bench/bench_helper
if [ "$(id -u)" -ne 0 ]; then
    echo "helper: skipped (needs root)"
    exit 0
fi
[ -x "$EXE" ] || { echo "helper: $EXE is not built" >&2; exit 1; }
exec "$EXE" "$B" "${EXCHANGES:-1000}"
