#!/bin/sh
# The demo: installs what is missing, builds, makes a demo package beside build/vardel and starts
# vardel against a simulated terminal on a mocked serial port that behaves like a real line: every
# byte at 9600 baud, replies handed over 16 bytes at a time, 30 ms of work on each frame.
# Press "Démarrer la mise à jour" and watch both bars to "Installation réalisée avec succès".
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) it runs the same demo on a virtual display
# (Xvfb), presses the button itself and saves screenshots in build/demo/.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/configure-shipped.sh build
cmake --build build -j "$(nproc)"
./scripts/make-demo-package.sh build build/configuration

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec ./build/vardel-sim --mock --pace-9600 --piece 16 --work 30 -- ./build/vardel
fi

cat <<'MSG'

No display here. To watch the demo, run this command in a desktop session (or over ssh -X).
Running it now on a virtual display (Xvfb): the button is pressed for you and screenshots of
the window are saved in build/demo/.
MSG
exec ./scripts/screenshots.sh build build/demo
