#!/bin/sh
# build-deb.sh BUILD_DIR: a Release build of the product alone (Debian's hardening flags) and its
# Debian package, BUILD_DIR/tavrovpn_<version>_<arch>.deb. Honours CMAKE_ARGS (e.g. ccache) and
# TAVROVPN_NPM_DIR (the flag set).
set -eu
SRC=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:?usage: build-deb.sh BUILD_DIR}

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

npm_dir=${TAVROVPN_NPM_DIR:-$SRC/.cache/npm}
# The icon and flag rendering runs Qt, which otherwise makes itself a runtime folder in /tmp.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
	mkdir -p "$OUT/runtime" && chmod 700 "$OUT/runtime"
	export XDG_RUNTIME_DIR="$OUT/runtime"
fi
# shellcheck disable=SC2086
cmake -S "$SRC" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVROVPN_BUILD_TESTS=OFF \
	-DTAVROVPN_INSTALLED_BUNDLE=/usr/lib/tavrovpn/TavroVPN.app -DTAVROVPN_NPM_DIR="$npm_dir" \
	${CMAKE_ARGS:-} >/dev/null
cmake --build "$OUT" -j "$(nproc)"
rm -f "$OUT"/tavrovpn_*.deb
(cd "$OUT" && cpack --config CPackConfig.cmake >/dev/null)
ls "$OUT"/tavrovpn_*.deb
