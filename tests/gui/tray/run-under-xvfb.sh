#!/usr/bin/env bash
# Runs a test program on a private Xvfb display with the trayer tray host, started TRAY_DELAY
# seconds after the program (0 when unset). Exit 77 (skipped) only when Xvfb cannot start here.
set -u
prog=$1; shift
command -v Xvfb >/dev/null && command -v trayer >/dev/null || { echo "SKIPPED: Xvfb or trayer missing"; exit 77; }
dir=$(mktemp -d /tmp/tavro-xvfb-XXXXXX)
disp=
for n in $(seq 90 120); do
  [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
  Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  xpid=$!
  for _ in $(seq 1 50); do [ -e /tmp/.X11-unix/X$n ] && break; kill -0 $xpid 2>/dev/null || break; sleep 0.1; done
  if [ -e /tmp/.X11-unix/X$n ]; then disp=:$n; break; fi
  kill $xpid 2>/dev/null; wait $xpid 2>/dev/null
done
[ -n "$disp" ] || { cat "$dir/xvfb.log"; rm -rf "$dir"; echo "SKIPPED: Xvfb could not start"; exit 77; }
export DISPLAY=$disp QT_QPA_PLATFORM=xcb
delay=${TRAY_DELAY:-0}
case $delay in ''|*[!0-9]*) delay=0 ;; esac
(sleep "$delay"; exec trayer --edge top --align right --widthtype request --height 24) >"$dir/trayer.log" 2>&1 &
tpid=$!
"$prog" "$@"
rc=$?
kill $tpid $xpid 2>/dev/null; wait $tpid $xpid 2>/dev/null
rm -rf "$dir"
exit $rc
