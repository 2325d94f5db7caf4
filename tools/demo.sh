#!/usr/bin/env bash
# ./run demo: the application against the embedded local service, with a real OpenVPN server and a
# real ocserv in network namespaces (root) and the helper under the respawn supervisor; with
# TAVROVPN_DEMO_PROTOCOL=L2TP, NetworkManager with its L2TP plugin in a namespace instead.
# Runs in a private mount namespace with /etc overlaid, so the tunnels' DNS changes never reach the
# machine's own resolver configuration.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B=${1:?usage: demo.sh BUILD_DIR}
B=$(cd "$B" && pwd)
shift
DEMO=$B/demo
APP=$B/TavroVPN.app/Contents/MacOS/TavroVPN

if [ "$(id -u)" -eq 0 ] && [ "${TAVROVPN_DEMO_IN_NS:-}" != 1 ]; then
  rm -rf "$DEMO/etc-upper" "$DEMO/etc-work"; mkdir -p "$DEMO/etc-upper" "$DEMO/etc-work"
  exec unshare -m --propagation private env TAVROVPN_DEMO_IN_NS=1 bash -c \
    'mount -t overlay overlay -o "lowerdir=/etc,upperdir=$0/etc-upper,workdir=$0/etc-work" /etc && exec bash "$@"' \
    "$DEMO" "$0" "$B" "$@"
fi

say() { echo "demo: $*"; }
PIDS=()
cleanup() {
  set +e
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  if [ "$(id -u)" -eq 0 ]; then
    OVPN_FIXTURE_DIR=$DEMO/ovpn "$ROOT/tools/fixtures/ovpn-fixture.sh" down >/dev/null 2>&1
    [ -x "$ROOT/tools/fixtures/oc-fixture.sh" ] && OC_FIXTURE_DIR=$DEMO/oc "$ROOT/tools/fixtures/oc-fixture.sh" down >/dev/null 2>&1
    [ -e "$DEMO/nm" ] && NM_FIXTURE_DIR=$DEMO/nm "$ROOT/tools/fixtures/nm-fixture.sh" down >/dev/null 2>&1
  fi
}
trap cleanup EXIT INT TERM

rm -rf "$DEMO/home" "$DEMO/service"; mkdir -p "$DEMO/home" "$DEMO/service"
export HOME=$DEMO/home XDG_CONFIG_HOME=$DEMO/home/.config XDG_DATA_HOME=$DEMO/home/.local/share \
       XDG_CACHE_HOME=$DEMO/home/.cache

# Logged in with the demo account; OpenVPN chosen unless TAVROVPN_DEMO_PROTOCOL names another
# ("OpenConnect", "L2TP", or "auto" for the automatic cycle).
proto=${TAVROVPN_DEMO_PROTOCOL:-OpenVPN}
auto=0
case "$proto" in auto) auto=1; proto=OpenVPN ;; OpenVPN|OpenConnect|L2TP) ;; *) say "unknown protocol $proto"; exit 2 ;; esac

svc_args=(--listen 127.0.0.1:0 --state-dir "$DEMO/service" --account tb000001:secret1)
if [ "$(id -u)" -eq 0 ] && [ "$proto" = L2TP ]; then
  say "starting NetworkManager with its L2TP plugin in a network namespace"
  NM_FIXTURE_DIR=$DEMO/nm "$ROOT/tools/fixtures/nm-fixture.sh" down >/dev/null 2>&1 || true
  nm_env=$(NM_FIXTURE_DIR=$DEMO/nm "$ROOT/tools/fixtures/nm-fixture.sh" up)
  eval "$nm_env"   # DBUS_SYSTEM_BUS_ADDRESS: NetworkManager's own bus, for the helper and the application
  # The region's server is the namespace's gateway, which runs no L2TP/IPsec server.
  svc_args+=(--openvpn-host 10.217.0.1)
  say "L2TP: this kernel has no PPP, L2TP or ESP, so the profile is provisioned and activated but the IPsec phase times out (VPN state 6) and the window ends in 未接続"
elif [ "$(id -u)" -eq 0 ]; then
  say "starting a real OpenVPN server in a network namespace"
  OVPN_FIXTURE_DIR=$DEMO/ovpn "$ROOT/tools/fixtures/ovpn-fixture.sh" down >/dev/null 2>&1 || true
  OVPN_FIXTURE_DIR=$DEMO/ovpn "$ROOT/tools/fixtures/ovpn-fixture.sh" up
  svc_args+=(--openvpn-host 10.213.0.2 --ovpn-default "$DEMO/ovpn/client/config.ovpn")
  if [ -x "$ROOT/tools/fixtures/oc-fixture.sh" ]; then
    say "starting a real ocserv in a network namespace"
    OC_FIXTURE_DIR=$DEMO/oc "$ROOT/tools/fixtures/oc-fixture.sh" down >/dev/null 2>&1 || true
    if oc_out=$(OC_FIXTURE_DIR=$DEMO/oc "$ROOT/tools/fixtures/oc-fixture.sh" up 2>&1); then
      echo "$oc_out"
      # shellcheck disable=SC1091
      . "$DEMO/oc/env"
      svc_args+=(--openconnect-host "$OC_FIXTURE_SERVER")
    else
      echo "$oc_out" >&2; say "ocserv fixture failed; OpenConnect will not connect"
    fi
  fi
else
  say "not root: no tunnel servers (connecting will fail honestly)"
fi

say "starting the local service"
"$B/tools/service/tavro-service" "${svc_args[@]}" >"$DEMO/service.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 100); do [ -s "$DEMO/service/ready" ] && break; sleep 0.1; done
[ -s "$DEMO/service/ready" ] || { cat "$DEMO/service.log" >&2; exit 1; }
host=$(sed -n 's/^host=//p' "$DEMO/service/ready")
export TAVROVPN_WEB_HOST=$host TAVROVPN_AUTH_HOST=$host TAVROVPN_FAQ_HOST=$host
export TAVROVPN_CA_FILE=$DEMO/service/ca.pem
say "service at https://$host"

say "starting the helper under the respawn supervisor"
export TVAPPHELPER_SOCKET=$DEMO/tvapphelper.ipc TVAPPHELPER_ALLOW_FILE=$DEMO/helper.allow
# set-dns.sh keeps its record of the resolver here rather than in the machine's /run.
export TAVROVPN_DNS_STATE_DIR=$DEMO/dns-state
# The network preferences and keychain of the L2TP service stay in the demo folder too.
export TVAPPHELPER_STATE_DIR=$DEMO/helper-state
id -u > "$TVAPPHELPER_ALLOW_FILE"; chmod 644 "$TVAPPHELPER_ALLOW_FILE"
"$B/tools/supervisor/tvapphelper-supervise" --pidfile "$DEMO/supervise.pid" -- "$B/helper/tvapphelper" \
  >"$DEMO/helper.log" 2>&1 &
PIDS+=($!)
# The demo's helper is installed: its job file is the supervisor's pid file.
export TAVROVPN_HELPER_JOB_FILE=$DEMO/supervise.pid

mkdir -p "$XDG_CONFIG_HOME/norvell/tavrovpn"
# The L2TP demo connects by itself after the login: provisioning, activation and its end are the show.
connect_auto=0; [ "$proto" = L2TP ] && connect_auto=1
cat > "$XDG_CONFIG_HOME/norvell/tavrovpn/defaults.json" <<JSON
{"username": "tb000001", "password": "secret1", "ProtcolSelAuto": $auto, "ProtcolChoice": "$proto",
 "Region": "日本", "regionNumber": "0", "ConnectStartAuto": $connect_auto}
JSON
chmod 600 "$XDG_CONFIG_HOME/norvell/tavrovpn/defaults.json"

if [ -z "${DISPLAY:-}" ]; then
  say "no display: running under Xvfb with a tray host (screenshot: DISPLAY=:77 import -window root x.png)"
  Xvfb :77 -screen 0 1280x800x24 -nolisten tcp >"$DEMO/xvfb.log" 2>&1 &
  PIDS+=($!)
  export DISPLAY=:77
  for _ in $(seq 1 50); do [ -e /tmp/.X11-unix/X77 ] && break; sleep 0.1; done
  trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
  PIDS+=($!)
fi
say "running TavroVPN (quit from its tray menu or window)"
"$APP" "$@"
