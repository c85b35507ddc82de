#!/usr/bin/env bash
# Builds the daemon from its sources alone against installed libraries, the
# way a firmware build finds the device's: libubox headers without extern "C"
# guards, and a libubus.h that includes them outside its own guard. Then checks
# that a libubus.h without the two remote extensions stops configuration with
# a message naming them.
#
#   build_against_installed.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

cmake --install "$build" --component platform --prefix "$work/prefix" >/dev/null

# The device's libubox headers carry no guards of their own.
for h in "$work"/prefix/include/libubox/*.h; do
	awk '/^#ifdef __cplusplus$/ { skip = 1; next }
	     skip && /^#endif/ { skip = 0; next }
	     !skip' "$h" >"$h.new"
	mv "$h.new" "$h"
done
! grep -l 'extern "C"' "$work"/prefix/include/libubox/*.h
# ... and its libubus.h pulls them in before its own guard opens.
ubus_h=$work/prefix/include/libubus.h
{
	awk '/^#ifdef __cplusplus$/ && !done { while ((getline l < inc) > 0) print l; done = 1 } 1' \
		inc=<(grep '^#include <libubox/' "$ubus_h") <(grep -v '^#include <libubox/' "$ubus_h")
} >"$ubus_h.new"
mv "$ubus_h.new" "$ubus_h"

# The sources alone: nothing of platform/ comes along.
mkdir "$work/tree"
cp -r "$src/CMakeLists.txt" "$src/cmake" "$src/src" "$src/tools" "$work/tree/"

configure() { # PREFIX BUILD_DIR
	cmake -S "$work/tree" -B "$2" -DKESTRAD_SYSTEM_LIBS=ON -DCMAKE_PREFIX_PATH="$1" \
		-DKESTRAD_TESTS=OFF -DKESTRAD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

configure "$work/prefix" "$work/b1" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/b1" -j "$(nproc)" --target kestrad timeout >"$work/build.log" 2>&1 ||
	{ cat "$work/build.log"; exit 1; }
status=0
"$work/b1/bin/kestrad" -x 2>"$work/usage" || status=$?
[ "$status" -eq 1 ] && grep -q '^Usage: ' "$work/usage" ||
	{ echo "the daemon built against the installed libraries does not run:" >&2; cat "$work/usage" >&2; exit 1; }
echo "built and ran kestrad against the installed libraries"

# A public libubus: no remote extensions.
cp -r "$work/prefix" "$work/public"
sed -i '/vimb_connect(/d; /ubus_replace_object(/d' "$work/public/include/libubus.h"
if configure "$work/public" "$work/b2" >"$work/public.log" 2>&1; then
	echo "configuration went on against a libubus.h without the remote extensions" >&2
	exit 1
fi
# CMake folds the message over lines.
tr -s ' \n' ' ' <"$work/public.log" | grep -q 'does not declare vimb_connect and ubus_replace_object' ||
	{ echo "configuration failed without naming the missing extensions:" >&2; cat "$work/public.log" >&2; exit 1; }
echo "a libubus.h without vimb_connect and ubus_replace_object stops configuration"
