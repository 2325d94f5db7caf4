#!/bin/sh
# Installs the privileged helper (run as root through pkexec by the application):
#   install-helper.sh <bundle path> <uid of the user allowed to use the helper>
# (through pkexec, the uid of the user who runs it)
# Approving it grants that user's TavroVPN the right to start and stop VPN tunnels and to change the
# resolver through the helper, nothing more: the helper serves only root and that user, runs only
# its own root-owned copies of the tunnel launchers, set-dns.sh and the routing script (installed
# here), and only the requests and lines the application sends.
set -eu
B=$1
ALLOWED_UID=$2
LABEL=com.norvell.tvapphelper
DEST=/usr/local/libexec/tavrovpn
UNITS=${TAVROVPN_UNIT_DIR:-/etc/systemd/system}
ALLOW=/etc/$LABEL.allow
PROGRAMS="OpenVPN/openvpn OpenVPN/set-dns.sh openconnect/openconnect openconnect/vpnc-script-wrapper"

case "$ALLOWED_UID" in ''|*[!0-9]*) echo "install-helper: bad uid '$ALLOWED_UID'" >&2; exit 2 ;; esac
# Through pkexec the approval is for the user who asked: any other process of that session must not
# get another uid added. Root running the script directly may name any user.
if [ -n "${PKEXEC_UID+set}" ] && [ "$PKEXEC_UID" != "$ALLOWED_UID" ]; then
	echo "install-helper: uid '$ALLOWED_UID' is not the caller's ('$PKEXEC_UID')" >&2
	exit 2
fi

# Adds the user to the allow file; users approved before keep their right.
allow_user() {
	umask 022
	if [ -f "$ALLOW" ] && grep -qx "[[:space:]]*$1[[:space:]]*" "$ALLOW"; then return 0; fi
	{
		if [ -f "$ALLOW" ]; then grep -v '^[[:space:]]*$' "$ALLOW" || true; fi
		printf '%s\n' "$1"
	} > "$ALLOW.tmp"
	chown 0:0 "$ALLOW.tmp" && chmod 644 "$ALLOW.tmp" && mv -f "$ALLOW.tmp" "$ALLOW"
}

# Installed by the package: the helper, its programs and its units are the package's and stay as
# they are; approving only adds this user.
if [ -x /usr/libexec/tavrovpn/tvapphelper ] && [ -f "/usr/lib/systemd/system/$LABEL.socket" ]; then
	allow_user "$ALLOWED_UID"
	exit 0
fi
[ -x "$B/Contents/MacOS/tvapphelper" ] || { echo "install-helper: no helper in $B" >&2; exit 3; }
for p in $PROGRAMS; do
	[ -f "$B/Contents/MacOS/$p" ] || { echo "install-helper: no $p in $B" >&2; exit 3; }
done

umask 022
# Root's own, writable by root only: the helper refuses copies that anyone else could change.
install -d -o 0 -g 0 -m 755 "$DEST" "$DEST/OpenVPN" "$DEST/openconnect"
install -o 0 -g 0 -m 755 "$B/Contents/MacOS/tvapphelper" "$DEST/tvapphelper"
for p in $PROGRAMS; do
	install -o 0 -g 0 -m 755 "$B/Contents/MacOS/$p" "$DEST/$p"
done
if [ -x "$B/Contents/MacOS/tvapphelper-supervise" ]; then
	install -o 0 -g 0 -m 755 "$B/Contents/MacOS/tvapphelper-supervise" "$DEST/"
fi
allow_user "$ALLOWED_UID"

# Installs from before socket activation ran one service that restarted after every connection.
if [ -d /run/systemd/system ] && [ -f "$UNITS/$LABEL.service" ]; then
	systemctl disable --now "$LABEL.service" || true
fi
rm -f "$UNITS/$LABEL.service"
install -d -m 755 "$UNITS"
install -o 0 -g 0 -m 644 "$B/Contents/Resources/install/$LABEL.socket" "$UNITS/$LABEL.socket"
install -o 0 -g 0 -m 644 "$B/Contents/Resources/install/$LABEL@.service" "$UNITS/$LABEL@.service"
# The L2TP profile's leak block, applied by NetworkManager's dispatcher.
DISPATCHER=${TAVROVPN_DISPATCHER_DIR:-/etc/NetworkManager/dispatcher.d}
if [ -d "$(dirname "$DISPATCHER")" ]; then
	install -d -m 755 "$DISPATCHER"
	install -o 0 -g 0 -m 755 "$B/Contents/Resources/install/90-tavrovpn-leak-block" "$DISPATCHER/90-tavrovpn-leak-block"
fi

if [ -d /run/systemd/system ]; then
	systemctl daemon-reload
	systemctl enable --now "$LABEL.socket"
else
	echo "install-helper: systemd is not running here; the supervisor listens on the socket instead"
	if [ -x "$DEST/tvapphelper-supervise" ]; then
		setsid "$DEST/tvapphelper-supervise" --pidfile /run/$LABEL.supervise.pid -- "$DEST/tvapphelper" \
			</dev/null >/dev/null 2>&1 &
	fi
fi
