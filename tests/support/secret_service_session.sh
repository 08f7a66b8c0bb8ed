#!/bin/sh
# Runs a command in a desktop session of its own, as far as the keyring goes:
#
#   secret_service_session.sh keyring COMMAND [ARGS...]
#       a private session bus (dbus-run-session) with GNOME Keyring as its
#       Secret Service (gnome-keyring-daemon --unlock --components=secrets),
#       whose login keyring is unlocked with the password in
#       $KEYRING_UNLOCK_PASSWORD (the command may lock it over D-Bus)
#   secret_service_session.sh bus COMMAND [ARGS...]
#       a private session bus without any Secret Service
#   secret_service_session.sh nobus COMMAND [ARGS...]
#       no session bus at all
#
# The keyrings, the runtime folder and the caches lie in a temporary folder,
# so the desktop's own keyring is never touched. The bus starts nothing on
# demand (its only service folder is empty), so nothing can outlive the
# command; the keyring daemon is stopped when the command ends, and
# dbus-run-session ends the bus. The command's exit status is passed on.
set -eu

if [ "${1:-}" = "--inside" ]; then
    # Within dbus-run-session: start the keyring, run the command, stop it.
    shift
    work="$1"
    shift
    keyring=""
    stop_keyring() {
        if [ -n "$keyring" ]; then
            kill "$keyring" 2>/dev/null || true
            wait "$keyring" 2>/dev/null || true
            keyring=""
        fi
    }
    trap stop_keyring EXIT
    printf '%s' "$KEYRING_UNLOCK_PASSWORD" |
        gnome-keyring-daemon --foreground --unlock --components=secrets >"$work/keyring.log" 2>&1 &
    keyring=$!
    # Ready once the default keyring (the login keyring) is there.
    ready() {
        dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets \
            org.freedesktop.Secret.Service.ReadAlias string:default 2>/dev/null | grep -q 'collection/login'
    }
    n=0
    until ready; do
        n=$((n + 1))
        if [ $n -gt 200 ] || ! kill -0 "$keyring" 2>/dev/null; then
            echo "secret_service_session: gnome-keyring-daemon kom ikke i gang:" >&2
            cat "$work/keyring.log" >&2
            exit 1
        fi
        sleep 0.05
    done
    status=0
    "$@" || status=$?
    stop_keyring
    exit $status
fi

mode="$1"
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/config" "$work/cache" "$work/services"
mkdir -m 700 "$work/run"
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" \
    XDG_RUNTIME_DIR="$work/run"
export KEYRING_UNLOCK_PASSWORD="${KEYRING_UNLOCK_PASSWORD:-nøkkel-til-testringen}"
export BREV_TEST_SESSION="$mode"
# Nothing reaches the desktop's own session: no bus, no display to
# start one on.
unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work/run</listen>
  <servicedir>$work/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

status=0
case "$mode" in
keyring)
    dbus-run-session --config-file="$work/bus.conf" -- "$0" --inside "$work" "$@" || status=$?
    ;;
bus)
    dbus-run-session --config-file="$work/bus.conf" -- "$@" || status=$?
    ;;
nobus)
    "$@" || status=$?
    ;;
*)
    echo "secret_service_session: ukjent valg $mode (keyring, bus eller nobus)" >&2
    exit 2
    ;;
esac
exit $status
