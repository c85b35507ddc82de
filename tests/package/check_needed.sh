#!/usr/bin/env bash
# Reads the NEEDED entries of ELF files as OpenWrt's packaging does before it
# builds a package, and fails naming every library that neither libc nor a
# package of DEPENDS provides.
#
#   check_needed.sh [--exactly] 'DEPENDS' FILE...
#
# DEPENDS is the feed Makefile's value, e.g. '+libubox +libubus +libuci'.
# With --exactly, each library the dependencies provide must also be needed:
# a dependency nothing uses is reported too.
set -euo pipefail
exactly=
if [ "${1:-}" = --exactly ]; then
	exactly=1
	shift
fi
depends=$1
shift

# The libraries each package installs on the device.
provides() {
	case $1 in
	libc) echo 'libc.so libc.so.* ld-musl-*.so.1 ld-linux*.so.* libm.so.* libpthread.so.* librt.so.* libdl.so.*' ;;
	libubox) echo 'libubox.so libubox.so.*' ;;
	libubus) echo 'libubus.so libubus.so.*' ;;
	libuci) echo 'libuci.so libuci.so.*' ;;
	libblobmsg-json) echo 'libblobmsg_json.so libblobmsg_json.so.*' ;;
	libstdcpp) echo 'libstdc++.so.*' ;;
	libgcc) echo 'libgcc_s.so.*' ;;
	*) echo "check_needed.sh: no library list for package $1" >&2; exit 2 ;;
	esac
}

packages=(libc)
for d in $depends; do
	case $d in
	+*) packages+=("${d#+}") ;;
	esac
done

needed=$(for f in "$@"; do
	readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p'
done | sort -u)

missing=()
for lib in $needed; do
	found=
	for p in "${packages[@]}"; do
		for pattern in $(provides "$p"); do
			# shellcheck disable=SC2053 # the pattern is a glob on purpose
			[[ $lib == $pattern ]] && found=1
		done
	done
	[ -n "$found" ] || missing+=("$lib")
done
if [ ${#missing[@]} -gt 0 ]; then
	echo "Package kestrad is missing dependencies for the following libraries:"
	printf '%s\n' "${missing[@]}"
	exit 1
fi

if [ -n "$exactly" ]; then
	for p in "${packages[@]:1}"; do
		used=
		for pattern in $(provides "$p"); do
			for lib in $needed; do
				# shellcheck disable=SC2053
				[[ $lib == $pattern ]] && used=1
			done
		done
		[ -n "$used" ] || { echo "nothing installed needs the dependency $p"; exit 1; }
	done
fi
echo "needed:" $needed
