#!/bin/sh
# Each program answers --version with its name, the project's version and its build, on the
# standard output, without a display: versions.sh VERSION PROGRAM...
set -u
version=$1
shift
status=0
for program in "$@"; do
    name=$(basename "$program")
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || ! printf '%s\n' "$out" | grep -qx "$name $version ([0-9]*)"; then
        echo "versions: $name --version gave status $rc and: $out"
        status=1
    fi
done
exit $status
