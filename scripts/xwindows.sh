# Sourced by the screenshot scripts: finding the program's windows on the virtual display.

window_id() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
# Waits for a window whose title matches (ASCII patterns: titles are UTF-8) and sets $found.
wait_for() { # title, seconds
    i=0
    found=$(window_id "$1")
    while [ -z "$found" ]; do
        i=$((i + 1))
        [ "$i" -gt $(($2 * 10)) ] && {
            echo "$(basename "$0" .sh): no window '$1'" >&2
            return 1
        }
        sleep 0.1
        found=$(window_id "$1")
    done
}

# A small window manager that draws the title bars: twm places windows where the program asks,
# without a click, and titles them with the X server's built-in font. Sets $wm (its process)
# and $twmrc (its settings file); stop_twm ends it.
start_twm() {
    twmrc=$(mktemp)
    for font in TitleFont MenuFont IconFont ResizeFont IconManagerFont; do
        echo "$font \"fixed\""
    done > "$twmrc"
    printf 'UsePPosition "on"\nRandomPlacement\nNoGrabServer\n' >> "$twmrc"
    twm -f "$twmrc" 2> /dev/null &
    wm=$!
    sleep 1 # managing the screen before the window maps
}
stop_twm() {
    kill "$wm" 2> /dev/null || true
    rm -f "$twmrc"
}
