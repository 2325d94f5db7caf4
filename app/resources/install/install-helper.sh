#!/bin/sh
# Installs the privileged helper (run as root through pkexec by the application):
#   install-helper.sh <bundle path> <uid of the user allowed to use the helper>
set -eu
B=$1
ALLOWED_UID=$2
LABEL=com.norvell.tvapphelper
DEST=/usr/local/libexec/tavrovpn
UNIT=/etc/systemd/system/$LABEL.service
ALLOW=/etc/$LABEL.allow

case "$ALLOWED_UID" in ''|*[!0-9]*) echo "install-helper: bad uid '$ALLOWED_UID'" >&2; exit 2 ;; esac
[ -x "$B/Contents/MacOS/tvapphelper" ] || { echo "install-helper: no helper in $B" >&2; exit 3; }

install -d -m 755 "$DEST"
install -m 755 "$B/Contents/MacOS/tvapphelper" "$DEST/tvapphelper"
[ -x "$B/Contents/MacOS/tvapphelper-supervise" ] && install -m 755 "$B/Contents/MacOS/tvapphelper-supervise" "$DEST/"
umask 022
printf '%s\n' "$ALLOWED_UID" > "$ALLOW.tmp" && chown 0:0 "$ALLOW.tmp" && chmod 644 "$ALLOW.tmp" && mv "$ALLOW.tmp" "$ALLOW"
install -m 644 "$B/Contents/Resources/install/$LABEL.service" "$UNIT"

if [ -d /run/systemd/system ]; then
	systemctl daemon-reload
	systemctl enable --now "$LABEL.service"
else
	echo "install-helper: systemd is not running here; starting the helper under the respawn supervisor"
	if [ -x "$DEST/tvapphelper-supervise" ]; then
		setsid "$DEST/tvapphelper-supervise" --pidfile /run/$LABEL.supervise.pid -- "$DEST/tvapphelper" \
			</dev/null >/dev/null 2>&1 &
	fi
fi
