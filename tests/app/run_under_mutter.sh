#!/usr/bin/env bash
# Runs a test program under GNOME's compositor: mutter as a headless Wayland
# display server with one virtual monitor, the program on its XWayland
# display. mutter gets a session bus of its own; everything started here is
# stopped afterwards. Where mutter cannot run, exits 77 (skipped) and says why.
set -euo pipefail
skip() { echo "SKIP: $*" >&2; exit 77; }
for tool in mutter Xwayland dbus-daemon wmctrl; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (tools/install-deps.sh)"
done

work=$(mktemp -d)
pids=()
cleanup() {
    # mutter stops its Xwayland; a child left over is stopped by its id.
    local children=()
    for p in "${pids[@]}"; do
        while read -r c; do children+=("$c"); done < <(pgrep -P "$p" 2>/dev/null || true)
    done
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    for c in "${children[@]}"; do
        for _ in $(seq 40); do kill -0 "$c" 2>/dev/null || break; sleep 0.05; done
        kill "$c" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A private runtime folder (Wayland and X sockets' auth, the bus) and
# default settings, not the user's.
mkdir -m 700 "$work/run" "$work/config"
export XDG_RUNTIME_DIR="$work/run"
export XDG_CONFIG_HOME="$work/config"
export GSETTINGS_BACKEND=memory

dbus-daemon --session --nofork --address="unix:path=$work/bus" --print-address=3 3>"$work/busaddr" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/busaddr" ] && break; sleep 0.05; done
[ -s "$work/busaddr" ] || skip "no session bus could be started for mutter"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/busaddr")
export DBUS_SESSION_BUS_ADDRESS

mutter --wayland --headless --virtual-monitor 1280x800 --wayland-display=brevglimt-test-wayland \
    >"$work/mutter.log" 2>&1 &
mutter_pid=$!
pids=("$mutter_pid" "${pids[@]}") # stopped before its bus
display=""
for _ in $(seq 200); do
    display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$work/mutter.log")
    [ -n "$display" ] && break
    kill -0 "$mutter_pid" 2>/dev/null || break
    sleep 0.05
done
[ -n "$display" ] || skip "mutter did not start an X display: $(tail -n 3 "$work/mutter.log" | tr '\n' ' ')"
export DISPLAY="$display"
auth=$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -name '.mutter-Xwaylandauth.*' | head -n 1)
[ -n "$auth" ] || skip "mutter left no XWayland auth file in its runtime folder"
export XAUTHORITY="$auth"
for _ in $(seq 200); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.05; done
wmctrl -m >/dev/null 2>&1 || skip "mutter's XWayland display $display has no window manager: $(tail -n 3 "$work/mutter.log" | tr '\n' ' ')"

export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
"$@"
