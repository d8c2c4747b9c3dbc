#!/bin/sh
# Runs one Windows test program under Wine for CTest: wine-run.sh <wine> <program> [args...]
# The output goes through a file and is printed afterwards: a helper process that Wine starts
# on the program's behalf (a console host, say) can outlive it, and would otherwise hold
# CTest's pipe open until the test times out.
wine=$1
shift
out=$(mktemp) || exit 1
"$wine" "$@" </dev/null >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status
