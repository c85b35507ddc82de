#!/usr/bin/env bash
# Builds the OpenWrt package as the firmware build would, from the feed
# Makefile's own recipes: Build/Prepare copies the sources into an empty
# build folder, the daemon is configured and built from that copy alone
# against libubox, libubus and libuci installed as shared objects, and
# Package/kestrad/install lays out the package. Then every ELF in it must
# need nothing but libc and the libraries of the package's DEPENDS.
#
#   openwrt_package.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
feed=$src/packaging/openwrt/kestrad
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

run() { # LOG COMMAND...: quiet unless it fails
	local log=$work/$1
	shift
	"$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

# The target's libraries: the project's, as shared objects.
run platform.log cmake -S "$src" -B "$work/platform" -DKESTRAD_PLATFORM_SHARED=ON \
	-DKESTRAD_TESTS=OFF -DKESTRAD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
run platform.log cmake --build "$work/platform" -j "$(nproc)" --target ubox ubus uci
run platform.log cmake --install "$work/platform" --component platform --prefix "$work/staging"

# A recipe of the Makefile, as the firmware build would run it.
. "$src/scripts/lib.sh"
recipe() { # NAME
	package_recipe "$feed/Makefile" "$1" "$work/build-dir" "$work/install-dir" "$work/ipkg" "$src"
}

depends=$(sed -n 's/^[[:space:]]*DEPENDS:=//p' "$feed/Makefile")
[ -n "$depends" ] || { echo "no DEPENDS in $feed/Makefile" >&2; exit 1; }

# Build/Prepare, then cmake.mk's configure, build and install, on the copy
# alone: the copy lies elsewhere, so a file the recipe leaves out is missing.
bash -euc "$(recipe Build/Prepare)"
run configure.log cmake -S "$work/build-dir" -B "$work/build-dir/build" -DKESTRAD_SYSTEM_LIBS=ON \
	-DKESTRAD_TESTS=OFF -DKESTRAD_BENCH=OFF -DCMAKE_BUILD_TYPE=MinSizeRel \
	-DCMAKE_PREFIX_PATH="$work/staging" -DCMAKE_INSTALL_PREFIX=/usr
run build.log cmake --build "$work/build-dir/build" -j "$(nproc)"
run install.log env DESTDIR="$work/install-dir" cmake --install "$work/build-dir/build"

(cd "$feed" && bash -euc "$(recipe Package/kestrad/install)")

elves=()
while IFS= read -r -d '' f; do
	[ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && elves+=("$f")
done < <(find "$work/ipkg" -type f -print0)
[ ${#elves[@]} -gt 0 ] || { echo "the package installs no program" >&2; exit 1; }
"$here/check_needed.sh" --exactly "$depends" "${elves[@]}"
echo "package kestrad: ${#elves[@]} program(s), DEPENDS $depends"
