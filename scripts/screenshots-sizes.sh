#!/bin/sh
# Takes the whole screen with vardel's main window on virtual displays (Xvfb) of the sizes an
# operator's PC may have: 1366x768 (a laptop), 1024x600 and 800x600 (small panel PCs and
# netbooks). A small window manager (twm) draws the title bar, so each picture shows where the
# window and its title bar and menu fall on the screen; where the window scrolls, a second
# picture shows its lower part. Two simulated terminals are plugged in, so the terminal-count
# label shows its two lines.
# Usage: scripts/screenshots-sizes.sh [BUILD_DIR [OUTDIR]]  (default: build docs)
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
    (cd "$work" && exec "$OLDPWD/$build/vardel-sim" --mock --devices 2 -- "$OLDPWD/$build/vardel") &
    demo=$!
    wait_for '^Vardel$' 30
    sleep 3 # the first search lists both terminals
    import -window root "$out/mainwindow-$VARDEL_SCREEN.png"
    # Where the window scrolls, its lower part too: the wheel over the bars' captions.
    height=${VARDEL_SCREEN#*x}
    if [ "$height" -lt 700 ]; then
        window=$found
        xdotool mousemove --window "$window" 380 420 click --repeat 10 --delay 50 5
        sleep 1
        import -window root "$out/mainwindow-$VARDEL_SCREEN-scrolled.png"
    fi
    kill "$demo" 2> /dev/null || true
    wait "$demo" 2> /dev/null || true
    stop_twm
    rm -rf "$work"
    echo "screenshots-sizes: $out/mainwindow-$VARDEL_SCREEN.png"
    exit 0
fi

for size in 1366x768 1024x600 800x600; do
    VARDEL_SCREEN=$size xvfb-run -a -s "-screen 0 ${size}x24" "$0" "$build" "$out"
done
