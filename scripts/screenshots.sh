#!/bin/sh
# Runs the demo on a virtual display (Xvfb): vardel against vardel-sim on a mocked port that
# behaves like a real 9600-baud line (replies in pieces, 30 ms of work per frame), presses the
# start button, and takes screenshots of the main window during the
# installation, of the About dialog, and of the success box. Exits with vardel's status.
# Usage: scripts/screenshots.sh [BUILD_DIR [OUTDIR]]  (default: build docs)
set -eu
build=${1:-build}
out=${2:-docs}
mkdir -p "$out"
[ -f "$build/configuration/configuration.xml" ] ||
    ./scripts/make-demo-package.sh "$build" "$build/configuration"

if [ -z "${VARDEL_ON_XVFB:-}" ]; then
    VARDEL_ON_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$out"
fi

"$build/vardel-sim" --mock --pace-9600 --piece 16 --work 30 -- "$build/vardel" &
demo=$!

. "$(dirname "$0")/xwindows.sh"

wait_for '^Vardel$' 30
main=$found
sleep 2 # the first search lists the terminal
# The About dialog, from the "?" menu.
xdotool mousemove --window "$main" 10 10 click 1
sleep 0.5
xdotool key Down Return
wait_for '^A propos$' 10
about=$found
sleep 0.5
import -window "$about" "$out/about.png"
xdotool key Escape # real key events: a synthetic one upsets later dialogs
sleep 0.5
# The start button (its centre, below the 21-pixel menu bar).
xdotool mousemove --window "$main" 365 376 click 1
sleep 14
import -window "$main" "$out/mainwindow-installing.png"
# The success box ends the demo; close it once it shows.
wait_for '^Installation r' 180
box=$found
sleep 0.5
import -window "$box" "$out/success.png"
xdotool key Return
status=0
wait "$demo" || status=$?
echo "screenshots: vardel ended with status $status; images in $out/"
exit "$status"
