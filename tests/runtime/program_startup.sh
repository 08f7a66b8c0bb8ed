#!/bin/sh
# Starts the program the way a user does, with an empty application-data
# root, and checks what it leaves on disk.
set -eu
program="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export APPDATA="$work/appdata"
export USERNAME=ola
fail() { echo "FEIL: $*" >&2; exit 1; }

cd "$work"
"$program" --debug

root="$APPDATA/Tavlund"
for d in archive data/brekka export/html/varer maler/krossa tmp log etc; do
    [ -d "$root/$d" ] || fail "mappen $d mangler"
done
ini="$root/etc/tavlund.ini"
[ -f "$ini" ] || fail "tavlund.ini mangler"
for k in CREATED_TIME CREATED_USER MODIFIED_TIME MODIFIED_INIVERSION; do
    grep -q "^$k=" "$ini" || fail "$k mangler i tavlund.ini"
done
grep -q '^CREATED_USER=OLA' "$ini" || fail "feil bruker i tavlund.ini"

# With logging switched on in the settings, a second start writes the opening lines.
printf '[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n' >> "$ini"
"$program"
log="$root/log/brevglimt.log"
[ -f "$log" ] || fail "loggfilen mangler"
tags=$(sed -E 's/^.*[0-9]{2}:[0-9]{2}:[0-9]{2} //' "$log" | cut -d' ' -f1 | tr -d '\r' | tail -n 6 | tr '\n' ' ')
[ "$tags" = "START: INIFIL: BRUKER: LOGIN: Oppdaterer AVSLUTTER " ] || fail "uventede logglinjer: $tags"

echo "program_startup: 1 passed, 0 failed"
