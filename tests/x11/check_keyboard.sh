#!/usr/bin/env bash
# The real agent on a virtual X display, worked with keys alone as a user would: Tab to a
# threshold and Space, then Tab to "show test reminder" and Return. Everything runs on a
# display, a bus and folders of its own, and is ended by its process id.
#   check_keyboard.sh NIGHTWICK_BINARY [PICTURE_DIR]   (exit 77: a tool is missing)
# With PICTURE_DIR, it saves the screen with the focus on the threshold and on the command.
set -euo pipefail
program=$1 pictures=${2:-}
for tool in Xvfb xdotool xwininfo dbus-daemon; do
    command -v "$tool" >/dev/null ||
        { echo "SKIP: $tool is missing (Debian packages xvfb, xdotool, x11-utils, dbus-daemon)"; exit 77; }
done
[ -z "$pictures" ] || command -v import >/dev/null ||
    { echo "import is missing (Debian package imagemagick)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
finish() {
    # The agent first: it may hold its quit back while the card shows, for 4 s at most.
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2
    [ ! -s "$work/agent.log" ] || { echo "--- the agent said:" >&2; cat "$work/agent.log" >&2; }
    exit 1
}
# Runs the check until it holds, for at most about 10 s.
await() {
    for _ in $(seq 100); do
        if eval "$1" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    fail "$2"
}
snap() { [ -z "$pictures" ] || import -window root "$pictures/$1"; }

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids=($! "${pids[@]}")
await '[ -s "$work/display" ]' "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n 1 "$work/display")"

# One private bus stands for both: logind and UPower are simply absent.
dbus-daemon --session --nofork --print-address=4 4>"$work/bus" 2>"$work/bus.log" &
pids=($! "${pids[@]}")
await '[ -s "$work/bus" ]' "the D-Bus daemon did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$work/runtime"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

"$program" >"$work/agent.log" 2>&1 &
pids=($! "${pids[@]}")
await 'xdotool search --onlyvisible --name "^Nightwick$"' "the settings window did not appear"
window=$(xdotool search --onlyvisible --name "^Nightwick$" | head -n 1)
await '[ "$(xdotool getwindowfocus)" = "$window" ]' "the settings window did not get the keyboard"

settings=$XDG_CONFIG_HOME/nightwick/nightwick.conf
xdotool key Tab space
await 'grep -qx "threshold=5" "$settings"' "Tab and Space did not choose 5 %"
echo "threshold chosen with Tab, Space: $(grep '^threshold=' "$settings")"
snap settings-threshold-focused.png

# 10 %, 15 %, 20 %, on, off, then the command.
xdotool key Tab Tab Tab Tab Tab Tab
snap settings-command-focused.png
xdotool key Return
# The card's window is titled "nightwick" (Qt adds " — Nightwick" on X11); the settings
# window is "Nightwick".
card='xwininfo -root -tree | grep -E "^ *0x[0-9a-f]+ \"nightwick[^\"]*\": .* 560x[0-9]+\+"'
await "$card" "Return on \"show test reminder\" showed no card"
echo "card after Return: $(eval "$card" | head -n 1 | sed 's/^ *//')"
snap reminder-card-by-keyboard.png
echo "PASS: keyboard-only run on $DISPLAY"
