#!/bin/sh
# Runs one Windows test program under Wine for CTest: wine-run.sh <wine> <program> [args...]
# The output goes through a file and is printed afterwards: a helper process that Wine starts
# on the program's behalf (a console host, say) can outlive it, and would otherwise hold
# CTest's pipe open until the test times out.
#
# A test program prints its banner before any test runs, so a failed run that printed nothing
# never reached the program's main: Wine did not start it. Such a run is tried once more, and
# says so with Wine's status; scripts/wine-tests.sh shows these lines even when the retry passes.
wine=$1
shift
out=$(mktemp) || exit 1
for attempt in 1 2; do
    "$wine" "$@" </dev/null >"$out" 2>&1
    status=$?
    if [ "$status" -eq 0 ] || [ -s "$out" ]; then
        break
    fi
    echo "wine-run: $(basename "$1") ended with status $status before printing anything (run $attempt)"
done
cat "$out"
rm -f "$out"
exit $status
