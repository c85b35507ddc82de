#!/usr/bin/env bash
# The device's `ubus` and the project's `vimb` side by side: each case of
# CASES runs through both against the same vimbd and objects, and their
# stdout, stderr (program name normalised) and exit status must agree.
#
#   run.sh BUILD_DIR CASES [NAME...]     (only the named cases;
#                                        UBUS_CLI_TIMES=1 prints each one's time)
#
# A case is one line: NAME KIND ARGS..., ARGS as shell words, with $SOCK
# (vimbd's unix socket), $TCP (its TCP address, as `tcp:ADDR:PORT`) and
# $NOSOCK (a path nobody listens on). KIND says how it runs:
#   run      the command alone, stdin from /dev/null;
#   monitor  (ARGS start with a pattern) in the background while
#            `call obj/one twice` passes through vimbd, ended with SIGTERM
#            (a background job ignores SIGINT) once a line of its output
#            matches the pattern (grep -E; `-`: it ends by itself). Client
#            ids are numbered in order of appearance, since they differ
#            from run to run; the monitor's own "remove" on its way out and
#            a line the signal cut short are left out.
# Cases the two may not agree on are named in KNOWN below, with the reason.
set -uo pipefail
build=$1
cases=$2
shift 2
only=("$@")
[ -n "${KESTRAD_REFERENCE:-}" ] || { echo "ubus_cli_diff: skipped: KESTRAD_REFERENCE is unset (scripts/reference)"; exit 77; }
ubus=$KESTRAD_REFERENCE/bin/ubus
shim=$KESTRAD_REFERENCE/lib/libvimbshim.so
vimb=$build/bin/vimb
for f in "$ubus" "$shim" "$vimb" "$build/bin/vimbd" "$build/tests/echo_object"; do
	[ -e "$f" ] || { echo "ubus_cli_diff: $f is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/ubus-cli.XXXXXX)
pids=()
current= # a monitor under test
cleanup() {
	for p in "${pids[@]}" $current; do kill "$p" 2>/dev/null; done
	wait 2>/dev/null
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

SOCK=$work/vimbd.sock
NOSOCK=$work/nobody.sock
# A free port: vimbd fails at once on one that is taken.
for try in 1 2 3 4 5 6 7 8; do
	port=$((20000 + RANDOM % 30000))
	"$build/bin/vimbd" -l 127.0.0.1:$port -s "$SOCK" --monitor-tcp 2>"$work/vimbd.err" &
	vpid=$!
	for _ in $(seq 500); do
		[ -S "$SOCK" ] && break
		kill -0 $vpid 2>/dev/null || break
		sleep 0.01
	done
	[ -S "$SOCK" ] && break
	kill $vpid 2>/dev/null
	wait $vpid 2>/dev/null
	vpid=
done
[ -n "$vpid" ] || { echo "ubus_cli_diff: vimbd did not start: $(cat "$work/vimbd.err")" >&2; exit 1; }
pids+=("$vpid")
TCP=tcp:127.0.0.1:$port

for name in obj/one 192.0.2.2-@kestrad; do
	"$build/tests/echo_object" "$SOCK" "$name" >"$work/published" &
	pids+=("$!")
	for _ in $(seq 500); do grep -q published "$work/published" && break; sleep 0.01; done
	grep -q published "$work/published" || { echo "ubus_cli_diff: $name not published" >&2; exit 1; }
	: >"$work/published"
done

# An unfiltered monitor of its own tells when a monitor under test is
# registered (its own output may filter out the answer).
env LD_PRELOAD="$shim" "$ubus" -s "$SOCK" monitor >"$work/watcher" 2>&1 &
pids+=("$!")
registrations() { grep -c 'status: {"status":0,"objid":3}' "$work/watcher"; }
for _ in $(seq 500); do [ "$(registrations)" -gt 0 ] && break; sleep 0.01; done

# name: reason, for differences the project keeps on purpose.
declare -A KNOWN=(
)

# run_one PROGRAM OUT_PREFIX KIND ARGS...
run_one() {
	local prog=$1 out=$2 kind=$3
	shift 3
	local pre=()
	[ "$prog" = "$ubus" ] && pre=(env LD_PRELOAD="$shim")
	case $kind in
	run)
		"${pre[@]}" "$prog" "$@" </dev/null >"$out.out" 2>"$out.err"
		echo $? >"$out.rc"
		;;
	monitor)
		local want=$1
		shift
		local before
		before=$(registrations)
		"${pre[@]}" "$prog" "$@" </dev/null >"$out.out" 2>"$out.err" &
		local m=$!
		current=$m
		# The watcher sees vimbd accept it as a monitor.
		for _ in $(seq 1000); do
			[ "$(registrations)" -gt "$before" ] && break
			kill -0 $m 2>/dev/null || break
			sleep 0.01
		done
		if kill -0 $m 2>/dev/null; then
			env LD_PRELOAD="$shim" "$ubus" -s "$SOCK" call obj/one twice >/dev/null 2>&1
			for _ in $(seq 1000); do
				[ "$want" != - ] && grep -Eq "$want" "$out.out" && break
				kill -0 $m 2>/dev/null || break
				sleep 0.01
			done
			kill -TERM $m 2>/dev/null
		fi
		wait $m
		echo $? >"$out.rc"
		current=
		h='[0-9a-f]'
		awk -v id="$h$h$h$h$h$h$h$h" '/"method":"remove"/ { next }
		     { out = ""; s = $0
		       while (match(s, id)) {
		           x = substr(s, RSTART, 8)
		           if (!(x in seen)) seen[x] = sprintf("ID%d", ++n)
		           out = out substr(s, 1, RSTART - 1) seen[x]; s = substr(s, RSTART + 8)
		       }
		       lines[++count] = out s }
		     END { for (i = 1; i <= count; i++) print lines[i] }' "$out.out" >"$out.norm"
		# A last line without its newline was cut short by the signal.
		[ -z "$(tail -c1 "$out.out")" ] || sed -i '$d' "$out.norm"
		mv "$out.norm" "$out.out"
		;;
	esac
	sed -i "s#$prog#PROG#g" "$out.err"
}

failed=0 total=0 known=0
while IFS= read -r line; do
	case $line in '' | '#'*) continue ;; esac
	eval "set -- $line"
	name=$1 kind=$2
	shift 2
	if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then continue; fi
	total=$((total + 1))
	[ -z "${UBUS_CLI_TIMES:-}" ] || t0=$(date +%s%N)
	run_one "$ubus" "$work/ref" "$kind" "$@"
	run_one "$vimb" "$work/our" "$kind" "$@"
	# slow answers after its caller gave up; that late answer must not land
	# in a later case's monitor. The object serves one call at a time, so a
	# call queued behind it returns only once the late answer has gone.
	case " $* " in *" slow "*)
		env LD_PRELOAD="$shim" "$ubus" -s "$SOCK" -t 10 call obj/one twice >/dev/null 2>&1 || true ;;
	esac
	[ -z "${UBUS_CLI_TIMES:-}" ] || echo "$name $((($(date +%s%N) - t0) / 1000000)) ms"
	d=$(for part in out err rc; do
		diff -u --label "ubus $part" --label "vimb $part" "$work/ref.$part" "$work/our.$part"
	done)
	[ -z "$d" ] && continue
	if [ -n "${KNOWN[$name]:-}" ]; then
		known=$((known + 1))
		echo "ubus_cli_diff: $name differs on purpose: ${KNOWN[$name]}"
		continue
	fi
	failed=$((failed + 1))
	echo "=== $name: $line"
	echo "$d"
done <"$cases"
echo "ubus_cli_diff: $total cases, $failed unexplained differences, $known named"
[ $failed -eq 0 ]
