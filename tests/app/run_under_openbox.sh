#!/usr/bin/env bash
# Runs a test program on its own Xvfb display with openbox as the window
# manager, and stops both afterwards.
set -euo pipefail
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
export XDG_CONFIG_HOME="$work/config" # openbox's default settings, not the user's
openbox >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.05; done
wmctrl -m >/dev/null 2>&1 || { echo "openbox did not start" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb
"$@"
