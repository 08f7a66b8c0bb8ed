#!/bin/sh
# Shows the strip working against a small local POP3 server holding a dozen
# sample messages, with a temporary application-data root of its own.
set -eu
build="${1:-build/release}"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$build/tools/pop3server/scripted-pop3-server" --port 0 --user demo --password demo \
    --maildir "$here/demo-mail" >"$work/server.out" &
server=$!
n=0
until grep -q '^PORT ' "$work/server.out" 2>/dev/null; do
    n=$((n + 1))
    if [ $n -gt 100 ]; then echo "Demo-tjeneren startet ikke" >&2; exit 1; fi
    sleep 0.05
done
port=$(sed -n 's/^PORT //p' "$work/server.out" | head -n 1)

# The password "demo" as the settings file stores it.
mkdir -p "$work/appdata/Tavlund/etc"
printf '[Pop3]\r\nServerName=127.0.0.1:%s\r\nServerUser=demo\r\nServerPassword=zegps2\r\nStartupCheck=1\r\nScheduler=1\r\nScheduleMinutes=1\r\nShowList=1\r\nShowOnNew=1\r\nShowListOnNew=1\r\n' \
    "$port" >"$work/appdata/Tavlund/etc/DEMO.INI"

echo "Demo: POP3-tjener på 127.0.0.1:$port. Lukk stripen med X for å avslutte."
APPDATA="$work/appdata" USERNAME=demo "$build/app/brevglimt"
