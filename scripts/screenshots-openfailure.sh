#!/bin/sh
# Screenshots of the result box when the terminal's port cannot be opened, one per cause, on a
# virtual display (Xvfb): vardel runs as nobody against vardel-sim on a mocked port, and
#   permission  the port's node is rw for root and the dialout group only;
#   busy        a process called ModemManager (a stand-in) holds the port exclusively;
#   gone        the port's node vanishes between the search and the press of the button.
# Writes docs/open-permission.png, open-busy.png and open-gone.png, and prints the log line of
# each cause. Run as root (it changes the mocked node and runs vardel as another user).
# Usage: scripts/screenshots-openfailure.sh [BUILD_DIR [OUTDIR]]  (default: build docs)
set -eu
build=$(cd "${1:-build}" && pwd)
mkdir -p "${2:-docs}"
out=$(cd "${2:-docs}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "screenshots-openfailure: run as root" >&2; exit 1; }
[ -f "$build/configuration/configuration.xml" ] ||
    ./scripts/make-demo-package.sh "$build" "$build/configuration"

case "${VARDEL_CASE:-}" in
"")
    # Access control off: vardel runs as nobody, who cannot read root's X cookie.
    if [ -z "${VARDEL_ON_XVFB:-}" ]; then
        VARDEL_ON_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -ac" "$0" "$build" "$out"
    fi
    for cause in permission busy gone; do
        VARDEL_CASE=$cause "$build/vardel-sim" --mock --pace-9600 -- "$0" "$build" "$out"
    done
    exit 0
    ;;
esac

# Inside the mocked device's testbed: the terminal is /dev/ttyACM0.
window_id() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
wait_for() { # title, seconds; sets $found
    i=0
    found=$(window_id "$1")
    while [ -z "$found" ]; do
        i=$((i + 1))
        [ "$i" -gt $(($2 * 10)) ] && { echo "screenshots-openfailure: no window '$1'" >&2; return 1; }
        sleep 0.1
        found=$(window_id "$1")
    done
}

# nobody must reach the testbed and umockdev's socket; the pty behind the node is the port.
chmod 755 "$UMOCKDEV_DIR"
chmod 777 "$UMOCKDEV_DIR"/ioctl/*
pty=$(readlink /dev/ttyACM0)
work=$(mktemp -d)
chmod 777 "$work"
holder=
case "$VARDEL_CASE" in
permission)
    chown root:dialout "$pty"
    chmod 660 "$pty"
    ;;
busy)
    chmod 666 "$pty"
    # Opens the pty itself (no umockdev between) and holds it exclusively (TIOCEXCL), as
    # ModemManager does while it probes a new port.
    env -u LD_PRELOAD perl -e '$0 = "ModemManager"; open(my $f, "+<", shift) or die;
        ioctl($f, 0x540C, 0) or die; sleep 300;' "$pty" &
    holder=$!
    ;;
gone) chmod 666 "$pty" ;;
esac

(cd "$work" && exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$build/vardel") &
program=$!
wait_for '^Vardel$' 30
main=$found
sleep 2 # the first search lists the terminal
[ "$VARDEL_CASE" = gone ] && rm "$UMOCKDEV_DIR/dev/ttyACM0"
xdotool mousemove --window "$main" 365 376 click 1
wait_for '^Erreur ouverture$' 30
box=$found
sleep 0.5
import -window "$box" "$out/open-$VARDEL_CASE.png"
xdotool key Return
sleep 0.5
kill "$program" 2>/dev/null || true
[ -n "$holder" ] && kill "$holder" 2>/dev/null
wait "$program" 2>/dev/null || true
echo "screenshots-openfailure: $VARDEL_CASE: $(grep -h "Cause de l'échec d'ouverture" "$work"/*_logs.txt)"
rm -rf "$work"
