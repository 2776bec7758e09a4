#!/bin/sh
# Takes the whole screen with the workshop window (vardel --atelier) during an update of eight
# simulated terminals, on virtual displays (Xvfb) of 1366x768 and 1024x600. Each terminal is on
# a mocked line that behaves like a real 9600-baud one (replies in pieces, 30 ms of work per
# frame, as in the demo), so the picture, taken some seconds in, shows the downloads under way.
# A small window manager (twm) draws the title bar. The run happens in a folder of its own
# (its log and journal), with a configuration folder of its own (no broker).
# Usage: scripts/screenshots-workshop.sh [BUILD_DIR [OUTDIR]]  (default: build docs)
set -eu
build=${1:-build}
out=${2:-docs}
mkdir -p "$out"
[ -f "$build/configuration/configuration.xml" ] ||
    ./scripts/make-demo-package.sh "$build" "$build/configuration"

if [ -n "${VARDEL_SCREEN:-}" ]; then
    . "$(dirname "$0")/xwindows.sh"
    start_twm
    work=$(mktemp -d)
    mkdir -p "$work/config"
    (cd "$work" && XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/config" \
        exec "$OLDPWD/$build/vardel-sim" --mock --devices 8 --pace-9600 --piece 16 --work 30 \
        -- "$OLDPWD/$build/vardel" --atelier 2> "$work/run.txt") &
    demo=$!
    wait_for 'Atelier$' 30
    window=$found
    sleep "${VARDEL_SHOT_AFTER:-14}" # the eight terminals found and downloading
    # The fourth terminal chosen from the keyboard: its detail below the table.
    xdotool windowactivate --sync "$window" 2> /dev/null || xdotool windowfocus "$window"
    xdotool key Tab Tab Tab Down Down Down
    sleep 1
    import -window root "$out/workshop-$VARDEL_SCREEN.png"
    kill "$demo" 2> /dev/null || true
    wait "$demo" 2> /dev/null || true
    stop_twm
    rm -rf "$work"
    echo "screenshots-workshop: $out/workshop-$VARDEL_SCREEN.png"
    exit 0
fi

for size in 1366x768 1024x600; do
    VARDEL_SCREEN=$size xvfb-run -a -s "-screen 0 ${size}x24" "$0" "$build" "$out"
done
