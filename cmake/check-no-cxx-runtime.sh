#!/bin/sh
# check-no-cxx-runtime.sh NM PROGRAM FILE...: fails, naming each symbol,
# when the objects, archives or shared objects FILE... that PROGRAM is
# linked from together leave a symbol of the C++ runtime (libstdc++ or
# libc++, libsupc++, the unwinder) undefined, and then removes PROGRAM, so
# that the next build links and checks it again. The reference is caught on
# every tier, also where a static libc++ would quietly satisfy it.
nm=$1 program=$2 what=${2##*/}
shift 2
"$nm" -g -A "$@" 2>/dev/null | awk -v what="$what" '
	NF < 2 { next }
	{ name = $NF; type = $(NF - 1) }
	type == "U" || type == "w" { if (!(name in used)) used[name] = $1; next }
	{ defined[name] = 1 }
	END {
		bad = 0
		for (name in used) {
			if (name in defined)
				continue
			if (name ~ /^(_ZS|_ZNS|_ZNKS|_ZT[IVS]|_Zn[wa]|_Zd[la]|__cxa_|__gxx_|_Unwind_|__dynamic_cast)/) {
				sub(/:$/, "", used[name])
				printf "%s: %s references %s of the C++ runtime\n", what, used[name], name
				bad = 1
			}
		}
		exit bad
	}' >"${TMPDIR:-/tmp}/check-no-cxx-runtime.$$"
status=$?
if [ -s "${TMPDIR:-/tmp}/check-no-cxx-runtime.$$" ]; then
	if command -v c++filt >/dev/null; then c++filt; else cat; fi <"${TMPDIR:-/tmp}/check-no-cxx-runtime.$$" >&2
fi
rm -f "${TMPDIR:-/tmp}/check-no-cxx-runtime.$$"
[ $status -eq 0 ] || rm -f "$program"
exit $status
