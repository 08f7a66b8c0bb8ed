#!/usr/bin/env bash
# Under Xvfb: a second start for the same user brings the hidden strip of the
# running copy back and ends with status 0; another user gets its own copy.
set -euo pipefail
program="$1"
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FEIL: $*" >&2
    # Whether the display itself went away, and what the X server said.
    if kill -0 "${pids[0]:-0}" 2>/dev/null; then echo "Xvfb kjører fortsatt på ${DISPLAY:-}" >&2; else echo "Xvfb har avsluttet" >&2; fi
    tail -n 20 "$work/xvfb.log" >&2 2>/dev/null || true
    exit 1
}

export APPDATA="$work/appdata" USERNAME=ola XDG_RUNTIME_DIR="$work/run"
# No session bus: the desktop's keyring is never touched.
unset DBUS_SESSION_BUS_ADDRESS
mkdir -p "$XDG_RUNTIME_DIR" "$APPDATA/Tavlund/etc"
chmod 700 "$XDG_RUNTIME_DIR"
# A stored server and no check at start: the strip shows without network.
for user in OLA KARI; do
    printf '[Pop3]\r\nServerName=127.0.0.1:9\r\nStartupCheck=0\r\nShowList=0\r\n' >"$APPDATA/Tavlund/etc/$user.INI"
done

# A display number nobody uses, chosen by the server itself.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
unset QT_QPA_PLATFORM

strip_visible() { xdotool search --onlyvisible --name '^Brevglimt(Form)?$' >/dev/null 2>&1; }
wait_until() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }

"$program" &
first=$!
pids+=($first)
wait_until strip_visible || fail "stripen kom ikke fram"

# "Skjul" from the bar's menu, as the user chooses it.
xdotool mousemove 40 10 click 3
sleep 0.5
xdotool key Down Down Down Return
wait_until sh -c '! xdotool search --onlyvisible --name "^Brevglimt(Form)?$" >/dev/null 2>&1' \
    || fail "stripen ble ikke skjult"

timeout 20 "$program" || fail "den andre starten endte med feil"
wait_until strip_visible || fail "stripen kom ikke tilbake"
kill -0 "$first" || fail "den første kopien har avsluttet"

# A socket file left by a copy that crashed is taken over.
kill -KILL "$first"
wait "$first" 2>/dev/null || true
sock=$(ls "$XDG_RUNTIME_DIR"/brevglimt-*.sock)
[ -S "$sock" ] || fail "ingen socket igjen etter krasjet"
"$program" &
pids+=($!)
wait_until strip_visible || fail "ny kopi startet ikke etter krasj"

# Another user runs a copy of its own beside it.
"$program" --user kari 2>/dev/null &
other=$!
pids+=($other)
sleep 2
kill -0 "$other" || fail "en annen bruker fikk ikke sin egen kopi"
[ "$(ls "$XDG_RUNTIME_DIR"/brevglimt-*.sock | wc -l)" = 2 ] || fail "ventet to sockets"
echo "single_copy: 1 passed, 0 failed"
