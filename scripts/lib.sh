# Shared by the scripts: install what a fresh machine lacks, then configure
# and build a tree.

# Debian packages the build, the tests and the tools need.
KESTRAD_PACKAGES=(
	cmake make g++ pkg-config
	libgtest-dev libgmock-dev libbenchmark-dev
	nlohmann-json3-dev
	strace util-linux mount iproute2 net-tools busybox
)

install_missing_packages() {
	local missing=()
	for p in "${KESTRAD_PACKAGES[@]}"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
			missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "installing: ${missing[*]}"
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -q
	apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build_tree DIR [cmake options...]
build_tree() {
	local dir=$1
	shift
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)"
}
