#!/usr/bin/env bash
# ./run demo [--tour]: the application against the embedded local service, with a real OpenVPN
# server and a real ocserv in network namespaces (root) and the helper under the respawn supervisor;
# with TAVROVPN_DEMO_PROTOCOL=L2TP, NetworkManager with its L2TP plugin in a namespace instead.
# --tour brings up all three and drives the application through them without a person
# (tools/tour): a picture per step in build/demo/tour and a table of what each step showed.
# The servers and their files live in a fresh folder under /tmp that goes when the demo ends:
# ocserv's workers run as nobody and must reach it wherever the clone is (/root is 0700).
# As root the demo runs in private mount and network namespaces with /etc overlaid, so the tunnels'
# DNS changes, routes and leak block never reach the machine's own.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B=${1:?usage: demo.sh BUILD_DIR [--tour | application arguments]}
B=$(cd "$B" && pwd)
shift
DEMO=$B/demo
APP=$B/TavroVPN.app/Contents/MacOS/TavroVPN

if [ -z "${TAVROVPN_DEMO_SCRATCH:-}" ]; then
  S=$(mktemp -d /tmp/tavro-demo-XXXXXX)
  chmod 755 "$S"
  # The demo itself runs as a child, so the folder goes however it ends.
  trap 'rm -rf "$S"' EXIT
  trap ':' INT TERM
  export TAVROVPN_DEMO_SCRATCH=$S
  rc=0
  if [ "$(id -u)" -eq 0 ]; then
    mkdir "$S/etc-upper" "$S/etc-work"
    # Its own network namespace too: the servers' namespaces, the tunnels' routes and the helper's
    # leak block stay in it (the display and the session bus are reached through their files).
    [ -d /run/netns ] || mkdir -p /run/netns
    unshare -m -n --propagation private bash -c \
      'mount -t tmpfs -o mode=0755 tv-netns /run/netns && mount -t sysfs sysfs /sys && ip link set lo up &&
       mount -t overlay overlay -o "lowerdir=/etc,upperdir=$0/etc-upper,workdir=$0/etc-work" /etc && exec bash "$@"' \
      "$S" "$0" "$B" "$@" || rc=$?
  else
    bash "$0" "$B" "$@" || rc=$?
  fi
  exit "$rc"
fi
S=$TAVROVPN_DEMO_SCRATCH
TOUR=0
if [ "${1:-}" = --tour ]; then TOUR=1; shift; fi

say() { echo "demo: $*"; }
PIDS=()
cleanup() {
  set +e
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  if [ "$(id -u)" -eq 0 ]; then
    [ -e "$S/ovpn" ] && OVPN_FIXTURE_DIR=$S/ovpn "$ROOT/tools/fixtures/ovpn-fixture.sh" down >/dev/null 2>&1
    [ -e "$S/oc" ] && OC_FIXTURE_DIR=$S/oc "$ROOT/tools/fixtures/oc-fixture.sh" down >/dev/null 2>&1
    [ -e "$S/nm" ] && NM_FIXTURE_DIR=$S/nm "$ROOT/tools/fixtures/nm-fixture.sh" down >/dev/null 2>&1
  fi
}
trap cleanup EXIT INT TERM

rm -rf "$DEMO/home" "$DEMO/service"; mkdir -p "$DEMO/home" "$DEMO/service"
export HOME=$DEMO/home XDG_CONFIG_HOME=$DEMO/home/.config XDG_DATA_HOME=$DEMO/home/.local/share \
       XDG_CACHE_HOME=$DEMO/home/.cache
# Without a session's runtime folder Qt would make one in /tmp and leave it there.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then export XDG_RUNTIME_DIR=$S/runtime; mkdir -m 700 "$XDG_RUNTIME_DIR"; fi
# The demo's application is its own single instance, whatever else runs here.
export TAVROVPN_INSTANCE_SOCKET=$S/instance.sock

# Logged in with the demo account; OpenVPN chosen unless TAVROVPN_DEMO_PROTOCOL names another
# ("OpenConnect", "L2TP", or "auto" for the automatic cycle). The tour chooses for itself.
proto=${TAVROVPN_DEMO_PROTOCOL:-OpenVPN}
[ "$TOUR" = 1 ] && proto=OpenVPN
auto=0
case "$proto" in auto) auto=1; proto=OpenVPN ;; OpenVPN|OpenConnect|L2TP) ;; *) say "unknown protocol $proto"; exit 2 ;; esac

start_nm() {
  say "starting NetworkManager with its L2TP plugin in a network namespace"
  NM_FIXTURE_DIR=$S/nm "$ROOT/tools/fixtures/nm-fixture.sh" down >/dev/null 2>&1 || true
  nm_env=$(NM_FIXTURE_DIR=$S/nm "$ROOT/tools/fixtures/nm-fixture.sh" up)
  eval "$nm_env"   # DBUS_SYSTEM_BUS_ADDRESS: NetworkManager's own bus, for the helper and the application
}

svc_args=(--listen 127.0.0.1:0 --state-dir "$DEMO/service" --account tb000001:secret1)
if [ "$(id -u)" -eq 0 ] && [ "$proto" = L2TP ]; then
  start_nm
  # The region's server is the namespace's gateway, which runs no L2TP/IPsec server.
  svc_args+=(--openvpn-host 10.217.0.1)
  say "L2TP: this kernel has no PPP, L2TP or ESP, so the profile is provisioned and activated but the IPsec phase times out (VPN state 6) and the window ends in 未接続"
elif [ "$(id -u)" -eq 0 ]; then
  say "starting a real OpenVPN server in a network namespace"
  # A namespace left by a demo that was killed outright is taken down first.
  OVPN_FIXTURE_DIR=$S/ovpn "$ROOT/tools/fixtures/ovpn-fixture.sh" down >/dev/null 2>&1 || true
  OVPN_FIXTURE_DIR=$S/ovpn "$ROOT/tools/fixtures/ovpn-fixture.sh" up
  svc_args+=(--openvpn-host 10.213.0.2 --ovpn-default "$S/ovpn/client/config.ovpn")
  say "starting a real ocserv in a network namespace"
  OC_FIXTURE_DIR=$S/oc "$ROOT/tools/fixtures/oc-fixture.sh" down >/dev/null 2>&1 || true
  if oc_out=$(OC_FIXTURE_DIR=$S/oc "$ROOT/tools/fixtures/oc-fixture.sh" up 2>&1); then
    echo "$oc_out"
    # shellcheck disable=SC1091
    . "$S/oc/env"
    svc_args+=(--openconnect-host "$OC_FIXTURE_SERVER")
  else
    echo "$oc_out" >&2; say "ocserv fixture failed; OpenConnect will not connect"
  fi
  # The tour tries L2TP too: its attempt goes to the OpenVPN server's address, which runs no
  # L2TP/IPsec server.
  [ "$TOUR" = 1 ] && start_nm
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
  # A display number nobody uses here.
  for n in $(seq 77 127); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
    Xvfb :$n -screen 0 1280x800x24 -nolisten tcp >"$DEMO/xvfb.log" 2>&1 &
    xpid=$!
    for _ in $(seq 1 50); do [ -e /tmp/.X11-unix/X$n ] && break; kill -0 $xpid 2>/dev/null || break; sleep 0.1; done
    if [ -e /tmp/.X11-unix/X$n ]; then PIDS+=($xpid); export DISPLAY=:$n; break; fi
    kill $xpid 2>/dev/null; wait $xpid 2>/dev/null || true
  done
  [ -n "${DISPLAY:-}" ] || { cat "$DEMO/xvfb.log" >&2; say "Xvfb could not start"; exit 1; }
  say "no display: running under Xvfb $DISPLAY with a tray host (screenshot: DISPLAY=$DISPLAY import -window root x.png)"
  export QT_QPA_PLATFORM=xcb
  trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
  PIDS+=($!)
fi
if [ "$TOUR" = 1 ]; then
  say "touring TavroVPN: every step's picture goes to $DEMO/tour"
  "$B/tools/tour/tavrovpn-tour" "$DEMO/tour" || { say "logs: $DEMO/service.log $DEMO/helper.log"; exit 1; }
else
  say "running TavroVPN (quit from its tray menu or window)"
  "$APP" "$@"
fi
