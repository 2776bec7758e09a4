#!/bin/sh
# Runs every benchmark given, each to its end even when one before it failed, then names those
# that failed, with their exit status; the status is 1 when one did. With --short, each runs in
# its short mode.
#
#     runall.sh [--short] PROGRAM...
set -u
mode=
if [ "${1:-}" = "--short" ]; then
    mode=--short
    shift
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 [--short] PROGRAM..." >&2
    exit 2
fi
failed=
count=0
for program in "$@"; do
    name=$(basename "$program")
    count=$((count + 1))
    printf '\n== %s\n' "$name${mode:+ $mode}"
    status=0
    "$program" $mode || status=$?
    if [ "$status" -gt 128 ]; then
        failed="$failed
  $name: ended by signal $((status - 128))"
    elif [ "$status" -ne 0 ]; then
        failed="$failed
  $name: exit status $status"
    fi
done
printf '\n'
if [ -n "$failed" ]; then
    echo "Benchmarks that failed:$failed"
    exit 1
fi
echo "All $count benchmarks ran to their end."
