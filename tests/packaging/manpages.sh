#!/bin/sh
# Renders every manual page as man(1) shows it and checks the letters that come out: each page
# renders without a warning, every letter outside ASCII is one that French writes (a wrong
# escape such as \(ae shows up as a foreign letter), and the texts the program shows to the
# operator come out whole, accents included.
# Usage: manpages.sh MAN_DIR
set -eu
dir=$1
status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "manpages: $*" >&2
    status=1
}

# The operator's words that each page quotes, one "page|text" a line.
expected="vardel.1|Démarrer la mise à jour"

for page in "$dir"/*.1; do
    name=$(basename "$page")
    # Wide lines and no hyphenation, so that a quoted text is never broken in two.
    text=$(LC_ALL=C.UTF-8 MANWIDTH=1000 man --warnings -l "$page" 2> "$work/warnings" |
        sed 's/.\x08//g')
    [ -s "$work/warnings" ] && fail "$name: $(cat "$work/warnings")"
    [ -n "$text" ] || fail "$name renders nothing"
    foreign=$(printf '%s\n' "$text" |
        perl -CS -Mutf8 -ne 'print "$1\n" while /([^\x00-\x7F\x{2010}àâçéèêëîïôùûüÿœÀÂÇÉÈÊËÎÏÔÙÛÜŸŒ])/g' |
        sort -u | tr '\n' ' ')
    [ -z "$foreign" ] || fail "$name renders letters French does not write: $foreign"
    printf '%s\n' "$expected" | while IFS='|' read -r wanted words; do
        [ "$wanted" = "$name" ] || continue
        printf '%s\n' "$text" | grep -qF "$words" || {
            echo "manpages: $name does not show \"$words\"" >&2
            exit 1
        }
    done || status=1
done
[ "$status" -eq 0 ] && echo "manpages: every page in $dir renders its letters"
exit "$status"
