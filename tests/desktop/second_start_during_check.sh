#!/usr/bin/env bash
# Under a window manager (run through tests/app/run_under_openbox.sh): the
# strip is hidden and started again while its mail server takes two seconds
# to answer with a refusal. The running copy shows its strip, checks, shows
# the failure box, and stays alive once the box is closed; three rounds.
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
fail() { echo "FEIL: $*" >&2; [ -n "${SHOT:-}" ] && import -window root "$SHOT"; exit 1; }

export APPDATA="$work/appdata" USERNAME=ola XDG_RUNTIME_DIR="$work/run" XDG_CACHE_HOME="$work/cache"
# No session bus: the desktop's keyring is never touched.
unset DBUS_SESSION_BUS_ADDRESS
mkdir -p "$APPDATA/Tavlund/etc"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# A POP3 server that waits two seconds, then refuses.
python3 - "$work/port" <<'PY' &
import socket, sys, threading, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 0))
s.listen(8)
with open(sys.argv[1], "w") as f:
    f.write(str(s.getsockname()[1]))
def serve(c):
    time.sleep(2)
    try:
        c.sendall(b"-ERR opptatt\r\n")
    finally:
        c.close()
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
printf '[Pop3]\r\nServerName=127.0.0.1:%s\r\nServerUser=ola\r\nServerPassword=zbdf2\r\nStartupCheck=1\r\nShowList=0\r\n' \
    "$(cat "$work/port")" >"$APPDATA/Tavlund/etc/OLA.INI"

wait_until() { for _ in $(seq 150); do "$@" && return 0; sleep 0.1; done; return 1; }
# The program's mapped windows: the strip is 442 pixels wide, a box is not.
windows() { xdotool search --onlyvisible --name '^Brevglimt$' 2>/dev/null || true; }
width() { xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *Width: //p'; }
strip() { for w in $(windows); do [ "$(width "$w")" = 442 ] && echo "$w"; done; return 0; }
box() { for w in $(windows); do [ "$(width "$w")" != 442 ] && echo "$w"; done; return 0; }
strip_mapped() { [ -n "$(strip)" ]; }
strip_hidden() { [ -z "$(strip)" ]; }
box_open() { [ -n "$(box)" ]; }
box_closed() { [ -z "$(box)" ]; }
close_box() {
    wait_until box_open || fail "$1: ingen feilboks"
    # Closed from its title bar, as the user closes it; a window found a
    # moment before it was replaced is tried again.
    local b
    for _ in $(seq 20); do
        b=$(box | head -n 1)
        [ -n "$b" ] && wmctrl -i -c "$b" 2>/dev/null && break
        sleep 0.2
    done
    wait_until box_closed || fail "$1: feilboksen lukket seg ikke"
}

"$program" &
first=$!
pids+=($first)
wait_until strip_mapped || fail "stripen kom ikke fram"
close_box "oppstart"

for round in 1 2 3; do
    # "Skjul" from the bar's menu, as the user chooses it: the third item
    # of the menu that opens at the pointer.
    # The pointer rests before the press, so the release cannot fall on the
    # menu's first item as a late motion would make it.
    xdotool mousemove 40 10
    sleep 0.3
    xdotool click 3
    sleep 0.5
    xdotool mousemove 80 64
    sleep 0.3
    xdotool click 1
    wait_until strip_hidden || fail "runde $round: stripen ble ikke skjult"
    timeout 20 "$program" || fail "runde $round: den andre starten endte med feil"
    close_box "runde $round"
    sleep 0.5
    kill -0 "$first" 2>/dev/null || fail "runde $round: den første kopien døde"
    strip_mapped || fail "runde $round: stripen er ikke synlig"
done
echo "second_start_during_check: 3 passed, 0 failed"
