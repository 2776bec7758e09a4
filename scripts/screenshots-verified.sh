#!/bin/sh
# Screenshots of the result box when the terminal's application list decides, on a virtual
# display (Xvfb): the demo package with the entries each batch expects (batch 1: MIRANDOL0302
# and PAIEMENT120500, batch 2: EMV0201), installed by vardel against vardel-sim
#   verified  its list becomes what the package expects with each activation (--apps-after);
#   unverified  its list stays as it was: installed, to check, batch 2 never sent;
#   uptodate  it lists everything already (--apps): nothing is sent.
# Writes docs/box-verified.png, box-unverified.png and box-uptodate.png, and prints each
# result line of the log.
# Usage: scripts/screenshots-verified.sh [BUILD_DIR [OUTDIR]]  (default: build docs)
set -eu
build=$(cd "${1:-build}" && pwd)
mkdir -p "${2:-docs}"
out=$(cd "${2:-docs}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
# A build with AddressSanitizer runs under umockdev's preload library too.
export ASAN_OPTIONS="${ASAN_OPTIONS:-verify_asan_link_order=0:detect_leaks=0}"

if [ -z "${VARDEL_ON_XVFB:-}" ]; then
    VARDEL_ON_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$out"
fi

# The program reads the package beside itself: a copy of it beside a package of its own.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/vardel" "$work/vardel"
"$root/scripts/make-demo-package.sh" "$build" "$work/configuration" >/dev/null
sed -i -e 's|>paiement.bin</file>|&\n    <expect>MIRANDOL0302</expect>\n    <expect>PAIEMENT120500</expect>|' \
    -e 's|>telepar.cfg</file>|&\n    <expect>EMV0201</expect>|' \
    "$work/configuration/configuration.xml"
"$build/vardel-pack" sign "$work/configuration/configuration.xml"
"$build/vardel-pack" verify "$work/configuration"

. "$root/scripts/xwindows.sh"

shoot() { # name, the box's title (a pattern), vardel-sim's options...
    name=$1
    title=$2
    shift 2
    rm -f "$work"/*_logs.txt "$work"/*_rapport.txt
    (cd "$work" && exec "$build/vardel-sim" --mock --quiet "$@" -- "$work/vardel") &
    demo=$!
    wait_for '^Vardel$' 60
    main=$found
    sleep 2 # the first search lists the terminal
    xdotool mousemove --window "$main" 365 376 click 1 # the start button
    wait_for "$title" 180
    box=$found
    sleep 0.5
    import -window "$box" "$out/box-$name.png"
    xdotool key Return
    wait "$demo" || true
    echo "screenshots-verified: $name: $(grep -h -E ' - \[[^]]+\]$' "$work"/*_logs.txt | sed 's/^== [^=]* == //')"
}

shoot verified '^Installation r' \
    --apps-after MIRANDOL:0302,PAIEMENT:120500 --apps-after MIRANDOL:0302,PAIEMENT:120500,EMV:0201
shoot unverified '^Terminal install'
shoot uptodate '^Terminal d' --apps MIRANDOL:0302,PAIEMENT:120500,EMV:0201
echo "screenshots-verified: images in $out/"
