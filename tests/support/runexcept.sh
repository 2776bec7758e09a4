#!/bin/sh
# Runs every test function of a Qt test program but the ones named, so that a long test can be
# run as two at once: runexcept.sh PROGRAM FUNCTION...
set -eu
program=$1
shift
skip=""
for f in "$@"; do
    skip="$skip -e $f"
done
# shellcheck disable=SC2086 # one word per function
functions=$("$program" -functions | sed -n 's/()$//p' | grep -vxF $skip)
# shellcheck disable=SC2086
exec "$program" $functions
