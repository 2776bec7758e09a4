#!/bin/sh
# Runs every test function of a Qt test program but the ones named, so that a long test can be
# run as two at once: runexcept.sh PROGRAM FUNCTION...
# Only the shell's own words are used: the test's environment (a sanitizer preloaded, its
# options) would otherwise reach helper programs such as sed, and fail them.
set -eu
program=$1
shift
listed=$("$program" -functions)
functions=""
for f in $listed; do
    name=${f%"()"}
    case " $* " in
    *" $name "*) ;;
    *) functions="$functions $name" ;;
    esac
done
[ -n "$functions" ] || { echo "runexcept.sh: no test function left to run" >&2; exit 1; }
# shellcheck disable=SC2086 # one word per function
exec "$program" $functions
