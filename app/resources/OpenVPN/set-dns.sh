#!/bin/sh
# set-dns.sh openvpn ADDRESS         make ADDRESS the system's only resolver while the tunnel is up
# set-dns.sh localhost [ADDRESS...]  put back the resolver that was in force before the switch
#
# Runs as root with arguments that came, in the end, from a VPN server: every address must be an
# IP literal before it is used, and no argument is ever evaluated.
#
# Where /etc/resolv.conf is systemd-resolved's (its stub or its file), the address is given to
# resolved for the tunnel's own link (the tun device that routes to it), with the routing domain
# "~." so that every name goes there; the file is not touched, and the restore reverts that link.
# Elsewhere /etc/resolv.conf becomes a link to a file of ours: a network manager that rewrites the
# resolver on a lease renewal leaves a link alone, so the tunnel's server stays in force. Where the
# link cannot be made (the file is a mount point) the file itself is rewritten.
# What was in force before the switch (the file's bytes and mode, or the symlink itself) is kept in
# a root-only state folder and comes back exactly. The listed addresses are only a fallback for
# when that record is gone. A resolver that someone else rewrote since the switch is left alone.
#
# TAVROVPN_RESOLV_CONF and TAVROVPN_DNS_STATE_DIR move the places (tests); the file of ours lives
# next to the state folder.
set -u
umask 022

RESOLV=${TAVROVPN_RESOLV_CONF:-/etc/resolv.conf}
STATE=${TAVROVPN_DNS_STATE_DIR:-/run/tavrovpn}
SAVED=$STATE/resolv.conf.saved
LINK=$STATE/resolv.conf.link
ABSENT=$STATE/resolv.conf.absent
RESOLVED=$STATE/resolved.link
LIVE=$(dirname "$STATE")/tavrovpn-resolv.conf
MARKER='# Written by TavroVPN set-dns.sh for the OpenVPN tunnel; the previous resolver returns when it ends.'

die() {
    echo "set-dns.sh: $*" >&2
    exit 1
}

# Dotted quad, each part 0-255 without leading zeros (what inet_pton accepts).
is_ipv4() (
    case $1 in '' | *[!0-9.]* | .* | *. | *..*) exit 1 ;; esac
    IFS=.
    # shellcheck disable=SC2086 # split at the dots: only digits and dots are left
    set -- $1
    [ $# -eq 4 ] || exit 1
    for part; do
        case $part in '' | 0?* | ????*) exit 1 ;; esac
        [ "$part" -le 255 ] || exit 1
    done
    exit 0
)

# Up to eight groups of 1-4 hex digits, at most one "::", optionally ending in a dotted quad.
is_ipv6() (
    a=$1
    case $a in '' | *[!0-9A-Fa-f:.]* | *:::* | *::*::*) exit 1 ;; esac
    [ ${#a} -le 45 ] || exit 1
    case $a in
    *.*)
        v4=${a##*:}
        [ "$v4" != "$a" ] || exit 1
        is_ipv4 "$v4" || exit 1
        a=${a%"$v4"}0:0
        ;;
    esac
    case $a in :[!:]* | *[!:]: | :) exit 1 ;; esac
    compressed=0
    case $a in *::*) compressed=1 ;; esac
    n=0
    IFS=:
    for group in $a; do
        [ -n "$group" ] || continue
        case $group in ?????* | *.*) exit 1 ;; esac
        n=$((n + 1))
    done
    if [ $compressed -eq 1 ]; then [ $n -le 7 ]; else [ $n -eq 8 ]; fi
)

is_ip() { is_ipv4 "$1" || is_ipv6 "$1"; }

is_ours() {
    if [ -L "$RESOLV" ]; then
        [ "$(readlink "$RESOLV")" = "$LIVE" ] && [ -f "$LIVE" ] && [ ! -L "$LIVE" ] &&
            [ "$(head -n 1 "$LIVE" 2>/dev/null)" = "$MARKER" ]
    else
        [ -f "$RESOLV" ] && [ "$(head -n 1 "$RESOLV" 2>/dev/null)" = "$MARKER" ]
    fi
}

# resolv.conf hands names to systemd-resolved, and resolved answers.
uses_resolved() {
    [ -L "$RESOLV" ] || return 1
    case $(readlink "$RESOLV") in */run/systemd/resolve/*) ;; *) return 1 ;; esac
    command -v resolvectl >/dev/null 2>&1 && resolvectl dns >/dev/null 2>&1
}

# The tun device the route to the address goes through, as "NAME IFINDEX"; nothing otherwise.
tunnel_link() {
    dev=$(ip -o route get "$1" 2>/dev/null | sed -n 's/.* dev \([^ ]*\).*/\1/p' | head -n 1)
    case $dev in '' | *[!A-Za-z0-9_.@-]*) return 1 ;; esac
    info=$(ip -d -o link show dev "$dev" 2>/dev/null) || return 1
    case $info in *" tun type tun "*) ;; *) return 1 ;; esac
    index=${info%%:*}
    case $index in '' | *[!0-9]*) return 1 ;; esac
    echo "$dev $index"
}

# Gives the address to resolved for the tunnel's link; false (nothing changed) where that is not
# the way here.
switch_resolved() { # $1: address
    is_ours && return 1
    uses_resolved || return 1
    link=$(tunnel_link "$1") || return 1
    make_state_dir
    { printf '%s\n' "$link" >"$RESOLVED.tmp" && mv -f "$RESOLVED.tmp" "$RESOLVED"; } || die "cannot record the link"
    dev=${link% *}
    if resolvectl dns "$dev" "$1" && resolvectl domain "$dev" '~.' && resolvectl default-route "$dev" yes; then
        return 0
    fi
    resolvectl revert "$dev" 2>/dev/null
    rm -f "$RESOLVED"
    die "systemd-resolved did not take the tunnel's server"
}

# Reverts the link recorded by switch_resolved, if it is still the same device.
restore_resolved() {
    [ -f "$RESOLVED" ] || return 0
    read -r dev index <"$RESOLVED"
    rm -f "$RESOLVED"
    case $dev in '' | *[!A-Za-z0-9_.@-]*) return 0 ;; esac
    info=$(ip -o link show dev "$dev" 2>/dev/null) || return 0
    [ "${info%%:*}" = "$index" ] || return 0
    resolvectl revert "$dev"
}

# Puts a new file in place of RESOLV without ever writing through a symlink: a temporary file next
# to it is renamed over it. Where the rename is impossible (RESOLV bind-mounted) a plain file is
# rewritten in place instead.
install_from() { # $1: source file, copied with its mode
    dir=$(dirname "$RESOLV")
    tmp=$(mktemp "$dir/.resolv.conf.tavrovpn.XXXXXX") || return 1
    if cp -p "$1" "$tmp" && mv -f "$tmp" "$RESOLV"; then return 0; fi
    rm -f "$tmp"
    [ -f "$RESOLV" ] && [ ! -L "$RESOLV" ] && cat "$1" >"$RESOLV"
}

install_text() { # $1: text
    work=$(mktemp "$STATE/new.XXXXXX") || return 1
    printf '%s' "$1" >"$work" && chmod 644 "$work" && install_from "$work"
    rc=$?
    rm -f "$work"
    return $rc
}

install_link() { # $1: link target
    tmp=$(dirname "$RESOLV")/.resolv.conf.tavrovpn.link.$$
    rm -f "$tmp"
    ln -s "$1" "$tmp" && mv -f "$tmp" "$RESOLV" && return 0
    rm -f "$tmp"
    return 1
}

# Someone wrote through the link into our file since the switch: their text becomes the plain
# file again, so that nothing depends on ours.
settle_foreign() {
    [ -L "$RESOLV" ] && [ "$(readlink "$RESOLV")" = "$LIVE" ] && ! is_ours || return 0
    if [ -f "$LIVE" ] && [ ! -L "$LIVE" ]; then install_from "$LIVE" || return 0; fi
    rm -f "$LIVE"
}

clear_state() { rm -f "$SAVED" "$LINK" "$ABSENT" "$LIVE"; }

make_state_dir() {
    { mkdir -p "$STATE" && chmod 700 "$STATE"; } || die "cannot create $STATE"
    { [ -d "$STATE" ] && [ ! -L "$STATE" ]; } || die "$STATE is not a folder"
}

switch_to() { # $1: address
    is_ip "$1" || die "not an IP address, nothing changed"
    [ -d "$RESOLV" ] && die "$RESOLV is a folder"
    settle_foreign
    switch_resolved "$1" && return 0
    make_state_dir
    # Still ours from a tunnel that never restored: the record of the original stays as it is.
    if ! is_ours; then
        clear_state
        if [ -L "$RESOLV" ]; then
            target=$(readlink "$RESOLV") || die "cannot read the link $RESOLV"
            { printf '%s' "$target" >"$LINK.tmp" && mv -f "$LINK.tmp" "$LINK"; } || die "cannot record the link"
        elif [ -f "$RESOLV" ]; then
            { cp -p "$RESOLV" "$SAVED.tmp" && mv -f "$SAVED.tmp" "$SAVED"; } || die "cannot save $RESOLV"
        elif [ ! -e "$RESOLV" ]; then
            : >"$ABSENT"
        else
            die "$RESOLV is not a file"
        fi
    fi
    text="$MARKER
nameserver $1
"
    # Ours: a plain file that only root writes (a link planted in its place is replaced).
    work=$(mktemp "$STATE/live.XXXXXX") || die "cannot write $LIVE"
    if printf '%s' "$text" >"$work" && chmod 644 "$work" && mv -f "$work" "$LIVE" &&
        { [ "$(readlink "$RESOLV" 2>/dev/null)" = "$LIVE" ] || install_link "$LIVE"; }; then
        return 0
    fi
    rm -f "$work" "$LIVE"
    install_text "$text" || die "cannot write $RESOLV"
}

restore() { # $@: the addresses in force before, a fallback only
    restore_resolved
    settle_foreign
    if ! is_ours; then
        clear_state
        exit 0
    fi
    if [ -f "$LINK" ]; then
        install_link "$(cat "$LINK")" || die "cannot put the link back"
    elif [ -f "$SAVED" ]; then
        install_from "$SAVED" || die "cannot restore $RESOLV"
    elif [ -f "$ABSENT" ]; then
        rm -f "$RESOLV"
    else
        text=
        for a; do
            is_ip "$a" && text="${text}nameserver $a
"
        done
        [ -n "$text" ] || die "nothing to restore"
        make_state_dir
        install_text "$text" || die "cannot write $RESOLV"
    fi
    clear_state
}

case ${1:-} in
openvpn)
    [ $# -eq 2 ] || die "usage: set-dns.sh openvpn ADDRESS"
    switch_to "$2"
    ;;
localhost)
    shift
    restore "$@"
    ;;
*)
    die "usage: set-dns.sh openvpn ADDRESS | localhost [ADDRESS...]"
    ;;
esac
