#!/bin/sh
# Runs a root test in a network namespace of its own, with private /run/netns and /sys: the
# namespaces, links, routes and loopback ports it makes can neither meet what another run (or a
# run that was killed earlier) left on the machine, nor outlive the test. As non-root the test
# runs as it is (the root suites skip themselves).
[ "$(id -u)" = 0 ] || exec "$@"
[ -d /run/netns ] || mkdir -p /run/netns
exec unshare --net --mount --propagation private -- /bin/sh -c '
  set -e
  mount -t tmpfs -o mode=0755 tv-netns /run/netns
  mount -t sysfs sysfs /sys
  ip link set lo up
  exec "$@"' own-netns "$@"
