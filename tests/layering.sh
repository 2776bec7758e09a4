#!/bin/sh
# The folders include one another from the bottom up (scripts/layering.py), and the check sees
# an include that reaches up: a copy of the tree where system/ includes the model must fail,
# naming the file and line. layering.sh SOURCE_DIR
set -u
source_dir=$1
checker="$source_dir/scripts/layering.py"
if ! python3 "$checker" "$source_dir"; then
    echo "layering: the tree includes against the folders' order"
    exit 1
fi
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
for folder in system link crypto config model station ui app tools; do
    cp -R "$source_dir/$folder" "$copy/"
done
printf '#include "model/model.h"\n' >>"$copy/system/wallclock.cpp"
out=$(python3 "$checker" "$copy")
if [ $? -ne 1 ] || ! printf '%s\n' "$out" | grep -q "^system/wallclock.cpp:[0-9]*: system/ includes model/model.h"; then
    echo "layering: an include from system/ up to model/ went unseen: $out"
    exit 1
fi
echo "layering: a planted upward include is caught"
