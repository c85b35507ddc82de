#!/bin/sh
# no_cxx_runtime_check.sh CHECK NM REFERENCE_OBJECT FILE...: the check finds
# the reference object's use of the C++ runtime, and none in FILE...
check=$1 nm=$2 reference=$3
shift 3
out=$("$check" "$nm" /nonexistent/program "$reference" 2>&1) && { echo "not caught: $reference"; exit 1; }
echo "$out" | grep -Eq 'references (operator new|_Znw)' || { echo "caught, but not as expected: $out"; exit 1; }
"$check" "$nm" /nonexistent/program "$@"
