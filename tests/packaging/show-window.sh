#!/usr/bin/env bash
# Starts a private X server (Xvfb), starts the program on it, waits for its main window to be
# mapped, checks its title, class and icon, then ends the program with SIGTERM. With a third
# argument, a screenshot of the screen is saved there first (imagemagick's import).
#   show-window.sh <program> <work directory> [screenshot.png]
set -euo pipefail
app=$1
work=$2
screenshot=${3:-}
mkdir -p "$work"

xvfb_pid=
pid=
fail() {
    echo "show-window: FAILED: $*" >&2
    [ -s "$work/program.log" ] && sed 's/^/  program: /' "$work/program.log" >&2
    exit 1
}
. "$(dirname "$0")/stop-program.sh"
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        # A server still setting up can miss SIGTERM; it gets SIGKILL after 3 s.
        kill -TERM "$xvfb_pid" 2>/dev/null
        (sleep 3 && kill -KILL "$xvfb_pid" 2>/dev/null) >/dev/null 2>&1 &
        local watchdog=$!
        wait "$xvfb_pid" 2>/dev/null
        kill "$watchdog" 2>/dev/null
    fi
    true
}
trap cleanup EXIT

# -displayfd lets the server take a free display itself, so parallel runs never share one;
# it writes the number once it accepts clients.
# At 96 dpi, the desktop's usual, so the window keeps its designed size (it scales with the
# display, and Xvfb says 100 dpi unless told).
Xvfb -displayfd 3 -screen 0 1600x1000x24 -dpi 96 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display within 10 s"
export DISPLAY=":$(head -n 1 "$work/display")"

QT_QPA_PLATFORM=xcb "$app" >"$work/program.log" 2>&1 &
pid=$!

window=
for _ in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || fail "the program exited before showing its window"
    window=$(xwininfo -root -tree | awk '/"[^"]*Velmora[^"]*"/ { print $1; exit }')
    if [ -n "$window" ] && xwininfo -id "$window" | grep -q 'Map State: IsViewable'; then
        break
    fi
    window=
    sleep 0.2
done
[ -n "$window" ] || fail "no viewable window titled ...Velmora... within 30 s"

xwininfo -root -tree | grep -F "$window" | sed 's/^ */show-window: /'
xprop -id "$window" WM_CLASS | grep -qF '"rangefinder-assistant", "rangefinder-assistant"' ||
    fail "WM_CLASS is not rangefinder-assistant: $(xprop -id "$window" WM_CLASS)"
# -len keeps xprop from printing the whole picture; the header names its size.
icon=$(xprop -id "$window" -len 8 _NET_WM_ICON)
grep -q 'Icon (896 x 896)' <<<"$icon" || fail "the window has no 896x896 icon: $icon"

if [ -n "$screenshot" ]; then
    sleep 1 # the first paint follows the mapping
    import -window root "$screenshot" || fail "no screenshot"
    echo "show-window: screenshot in $screenshot"
fi

stop_program
echo "show-window: window $window on $DISPLAY shown, ended by SIGTERM"
