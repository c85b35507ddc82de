#!/usr/bin/env bash
# Types what the README and the scripts' own output tell a user to type:
# each README code block that starts `scripts/run-satellite` or
# `scripts/run-mesh` and then shows `$ scripts/run-... --shell [ADDR]`
# followed by `# COMMAND` lines is replayed (the script started with the
# block's arguments, the commands fed to that shell on standard input), and
# so are the lines the started script prints for a second terminal (fed to
# its --shell, and to the first satellite's for the mesh). Every command
# must exit 0 and none may print that it could not reach its bus or find
# something. Followers (vimb monitor, logread -f) are left out.
#
#   typed_commands.sh SOURCE_DIR    (as root; the scripts use SOURCE_DIR/build)
set -euo pipefail
src=$(cd "$1" && pwd)
cd "$src"
. scripts/lib.sh
if [ "$(id -u)" -ne 0 ]; then
	[ -z "${KESTRAD_REQUIRE_ROOT:-}" ] || { echo "typed_commands: needs root" >&2; exit 1; }
	echo "skipped: needs root (namespaces)"
	exit 77
fi
work=$(mktemp -d)
launcher=
stop() {
	[ -n "$launcher" ] || return 0
	kill -TERM "$launcher" 2>/dev/null || true
	wait "$launcher" 2>/dev/null || true
	launcher=
}
trap 'stop; rm -rf "$work"' EXIT
export KESTRAD_SATELLITE_DIR=$work/satellite KESTRAD_MESH_DIR=$work/mesh
failures=0

# The README's sessions: "start SCRIPT ARGS", "shell ARGS", "type COMMAND".
awk '
	/^    \$ scripts\/run-(satellite|mesh)/ {
		line = substr($0, 7); shell = (line ~ / --shell( |$)/)
		if (shell) { sub(/^scripts\/run-[a-z]+ /, "", line); print "shell " line; typing = 1 }
		else { print "start " line; typing = 0 }
		next
	}
	typing && /^    # / { print "type " substr($0, 7); next }
	{ typing = 0 }
' README.md >"$work/sessions"
grep -q '^type ' "$work/sessions" || { echo "typed_commands: no typed lines found in README.md" >&2; exit 1; }

# type_into NAME SHELL-ARGS < LINES: feeds the lines to the running
# script's shell, each followed by its exit status, and checks them.
type_into() {
	local name=$1 shell=$2 n=0 line
	local in=$work/$name.in out=$work/$name.out
	: >"$in"
	while IFS= read -r line; do
		case ${line%%#*} in '' | vimb\ monitor* | *logread\ *-f*) continue ;; esac
		n=$((n + 1))
		printf '%s\necho "@@ %d $?"\n' "$line" "$n" >>"$in"
		printf '%s\n' "$line" >"$work/$name.$n"
	done
	[ "$n" -gt 0 ] || return 0
	# shellcheck disable=SC2086 # the shell's arguments
	"$script" $shell <"$in" >"$out" 2>&1 || true
	for i in $(seq "$n"); do
		local status
		status=$(sed -n "s/^@@ $i //p" "$out")
		if [ "$status" != 0 ]; then
			echo "FAILED ($name, status ${status:-none}): $(cat "$work/$name.$i")"
			failures=$((failures + 1))
		fi
	done
	if grep -E 'Failed to connect|not found|Command failed|No such file|can.t (open|execute)' "$out"; then
		echo "FAILED ($name): the output above, of:"
		cat "$in"
		failures=$((failures + 1))
	fi
	echo "$name: $n commands typed"
}

# start SCRIPT ARGS: the script in the background until it prints how to
# end it; its lines for a second terminal land in $work/printed.
script=
start() {
	stop
	script=scripts/$1
	shift
	# emptied here: the job's own redirection may come after the first look
	: >"$work/started.out"
	"$script" "$@" >>"$work/started.out" 2>&1 &
	launcher=$!
	if ! KESTRAD_WAIT_S=300 wait_for "$script $*" "$launcher" grep -q '^Ctrl-C' "$work/started.out"; then
		cat "$work/started.out" >&2
		exit 1
	fi
	sed -n '/^In another terminal/,/^[^ ]/{/^    /s/^    //p}' "$work/started.out" >"$work/printed"
}

session=0 shell= skip= shells=0
flush() {
	shells=$((shells + 1))
	[ -n "$shell" ] && [ -z "$skip" ] && type_into "readme-$session.$shells" "$shell" <"$work/typed"
	shell=
	: >"$work/typed"
}
: >"$work/typed"
while IFS= read -r entry; do
	case $entry in
	start\ *)
		flush
		session=$((session + 1))
		read -r -a args <<<"${entry#start scripts/run-}"
		skip=
		if [[ " ${args[*]} " == *" --procd "* ]]; then
			use_userland
			if [ -z "${KESTRAD_USERLAND:-}" ]; then
				[ -z "${KESTRAD_REQUIRE_USERLAND:-}" ] || { echo "typed_commands: no device userland" >&2; exit 1; }
				echo "skipped: ${entry#start } (no device userland)"
				skip=1
				continue
			fi
		fi
		start "run-${args[0]}" "${args[@]:1}"
		# What it printed, into its own shell; the mesh's also into its
		# first satellite's.
		type_into "printed-$session" --shell <"$work/printed"
		if [ "${args[0]}" = mesh ]; then
			addr=$(sed -n 's/^# \([0-9.]*\) .*/\1/p' "$work/printed" | head -1)
			[ -z "$addr" ] || type_into "printed-$session-$addr" "--shell $addr" <"$work/printed"
		fi
		;;
	shell\ *) flush; shell=${entry#shell } ;;
	type\ *) printf '%s\n' "${entry#type }" >>"$work/typed" ;;
	esac
done <"$work/sessions"
flush
stop
[ "$failures" -eq 0 ] || { echo "$failures typed command(s) failed"; exit 1; }
echo "every typed command answered"
