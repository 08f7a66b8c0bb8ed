#!/usr/bin/env bash
# Runs a test program under KDE's window manager KWin, and stops everything
# started here afterwards:
#   run_under_kwin.sh x11 <program> [args]      kwin_x11 on an Xvfb display of its own
#   run_under_kwin.sh wayland <program> [args]  kwin_wayland, headless, with a virtual
#                                               1280x800 output, the program on its
#                                               XWayland display
# KWin gets default settings of its own (two workspaces), a private runtime
# folder and, under Wayland, a session bus of its own. Where KWin cannot run,
# exits 77 (skipped) and says why.
set -euo pipefail
skip() { echo "SKIP: $*" >&2; exit 77; }
mode="${1:-}"
shift || true
[ "$mode" = x11 ] || [ "$mode" = wayland ] || { echo "usage: $0 x11|wayland <program> [args]" >&2; exit 2; }
[ $# -gt 0 ] || { echo "usage: $0 x11|wayland <program> [args]" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -m 700 "$work/run" "$work/config"
# KWin's crash handler would start it again, outliving this script.
export KDE_DEBUG=1
export XDG_RUNTIME_DIR="$work/run"
export XDG_CONFIG_HOME="$work/config"
printf '[Desktops]\nNumber=2\nRows=1\n' >"$work/config/kwinrc"

if [ "$mode" = x11 ]; then
    for tool in kwin_x11 Xvfb wmctrl xprop; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (tools/install-deps.sh)"
    done
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
    [ -s "$work/display" ] || skip "Xvfb did not start"
    export DISPLAY=":$(cat "$work/display")"
    for _ in $(seq 100); do xprop -root -len 0 >/dev/null 2>&1 && break; sleep 0.05; done
    kwin_running() { [ "$(wmctrl -m 2>/dev/null | sed -n 's/^Name: //p')" = KWin ]; }
    # A second try when KWin gives up at once (now and then it finds no
    # display on a busy machine).
    for _ in 1 2; do
        kwin_x11 >"$work/kwin.log" 2>&1 &
        kwin_pid=$!
        pids=("$kwin_pid" "${pids[@]}") # stopped before its X server
        for _ in $(seq 200); do
            kwin_running && break
            kill -0 "$kwin_pid" 2>/dev/null || break
            sleep 0.05
        done
        kwin_running && break
        kill -0 "$kwin_pid" 2>/dev/null && break # still starting: no second one beside it
    done
    kwin_running || skip "kwin_x11 did not start: $(grep -v '^$' "$work/kwin.log" | tail -n 6 | tr '\n' ' ')"
    export QT_QPA_PLATFORM=xcb
    "$@"
    exit
fi

for tool in kwin_wayland Xwayland dbus-run-session wmctrl; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (tools/install-deps.sh)"
done
# KWin runs the program as its session and ends with it. The program's
# command line goes to it, and its output and exit status come back, through
# files: KWin passes its session no arguments and gives it no terminal.
printf '%q ' "$@" >"$work/command"
cat >"$work/session.sh" <<'EOF'
#!/usr/bin/env bash
exec >"$BREV_KWIN_WORK/out" 2>&1
echo started >"$BREV_KWIN_WORK/started"
for _ in $(seq 200); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.05; done
if ! wmctrl -m >/dev/null 2>&1; then
    echo "SKIP: KWin's XWayland display $DISPLAY has no window manager"
    echo 77 >"$BREV_KWIN_WORK/status"
    exit
fi
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
eval "set -- $(cat "$BREV_KWIN_WORK/command")"
status=0
"$@" || status=$?
echo "$status" >"$BREV_KWIN_WORK/status"
EOF
chmod +x "$work/session.sh"
export BREV_KWIN_WORK="$work"

# The session bus listens in the work folder (the standard one leaves its
# socket file in /tmp) and starts nothing on demand, so nothing outlives it.
mkdir -m 700 "$work/bus"
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

# The installed program carries a file capability (to raise its limits),
# which a container without that capability refuses to start at all; a copy
# carries none.
run_kwin() {
    dbus-run-session --config-file="$work/bus.conf" -- "$1" --virtual --xwayland --width 1280 --height 800 --no-lockscreen \
        --no-global-shortcuts --no-kactivities --exit-with-session "$work/session.sh" \
        >"$work/kwin.log" 2>&1 &
    pids+=($!)
    wait "$!" || true
}
run_kwin "$(command -v kwin_wayland)"
if [ ! -e "$work/started" ]; then
    mkdir "$work/bin"
    cp "$(command -v kwin_wayland)" "$work/bin/kwin_wayland"
    run_kwin "$work/bin/kwin_wayland"
fi
[ -e "$work/started" ] || skip "kwin_wayland did not start: $(grep -v '^$' "$work/kwin.log" | tail -n 3 | tr '\n' ' ')"
cat "$work/out"
[ -s "$work/status" ] || { echo "KWin ended before the program: $(grep -v '^$' "$work/kwin.log" | tail -n 3 | tr '\n' ' ')" >&2; exit 1; }
exit "$(cat "$work/status")"
