#!/bin/sh
# Starts the program the way a user does, with an empty application-data
# root, ends it with SIGTERM as a desktop logout would, and checks what it
# leaves on disk.
set -eu
program="$1"
work=$(mktemp -d)
pid=""
trickler=""
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    [ -n "$trickler" ] && kill "$trickler" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export APPDATA="$work/appdata"
export USERNAME=ola
# The one-copy socket lies in the test's own folders, never the user's.
export XDG_RUNTIME_DIR="$work/run" XDG_CACHE_HOME="$work/cache"
# No session bus: the desktop's keyring is never touched, and the start
# says that the passwords stay in the settings file.
unset DBUS_SESSION_BUS_ADDRESS
mkdir -m 700 "$XDG_RUNTIME_DIR"
fail() { echo "FEIL: $*" >&2; exit 1; }

root="$APPDATA/Tavlund"
ini="$root/etc/tavlund.ini"
log="$root/log/brevglimt.log"

# Waits up to steps * 50 ms for the command to succeed; fails with message.
wait_for() {
    steps=$1 message=$2
    shift 2
    n=0
    until "$@"; do
        n=$((n + 1))
        [ $n -le "$steps" ] || fail "$message"
        sleep 0.05
    done
}
settings_written() {
    kill -0 "$pid" 2>/dev/null || fail "programmet avsluttet for tidlig"
    grep -q '^MODIFIED_INIVERSION=' "$ini" 2>/dev/null
}
program_gone() { ! kill -0 "$pid" 2>/dev/null; }
# The program has its SIGTERM handler in place (bit 15 of the caught set):
# a signal before that would end it as the default action does.
sigterm_caught() {
    mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)
    [ -n "$mask" ] && [ $(( 0x$mask & 0x4000 )) -ne 0 ]
}

# Runs the program until its settings file is on disk, then sends SIGTERM
# and waits (bounded) for it to finish its shutdown.
run_and_terminate() {
    "$program" "$@" &
    pid=$!
    wait_for 200 "programmet startet ikke" settings_written
    wait_for 200 "programmet tok ikke imot SIGTERM" sigterm_caught
    sleep 0.3
    kill -TERM "$pid"
    wait_for 200 "programmet avsluttet ikke etter SIGTERM" program_gone
    wait "$pid" || fail "programmet avsluttet med feilkode etter SIGTERM"
    pid=""
}

cd "$work"
run_and_terminate --debug

for d in archive data/brekka export/html/varer maler/krossa tmp log etc; do
    [ -d "$root/$d" ] || fail "mappen $d mangler"
done
[ -f "$ini" ] || fail "tavlund.ini mangler"
for k in CREATED_TIME CREATED_USER MODIFIED_TIME MODIFIED_INIVERSION; do
    grep -q "^$k=" "$ini" || fail "$k mangler i tavlund.ini"
done
grep -q '^CREATED_USER=OLA' "$ini" || fail "feil bruker i tavlund.ini"
# Settings and folders are the user's alone.
[ "$(stat -c %a "$ini")" = 600 ] || fail "tavlund.ini kan leses av andre: $(stat -c %a "$ini")"
[ "$(stat -c %a "$root/tmp")" = 700 ] || fail "tmp-mappen kan leses av andre: $(stat -c %a "$root/tmp")"

# With logging switched on in the settings, the next run writes its opening
# lines and, after SIGTERM, its closing lines.
printf '[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n' >> "$ini"
run_and_terminate
[ -f "$log" ] || fail "loggfilen mangler"
[ "$(stat -c %a "$log")" = 600 ] || fail "loggfilen kan leses av andre: $(stat -c %a "$log")"
tags=$(sed -E 's/^.*[0-9]{2}:[0-9]{2}:[0-9]{2} //' "$log" | cut -d' ' -f1 | tr -d '\r' | tail -n 7 | tr '\n' ' ')
[ "$tags" = "START: INIFIL: BRUKER: LOGIN: ADVARSEL: Oppdaterer AVSLUTTER " ] || fail "uventede logglinjer: $tags"
grep -q "ADVARSEL: ingen nøkkelring (Secret Service) på skrivebordet, så passordene blir liggende i innstillingsfilen $root/etc/OLA.INI" "$log" \
    || fail "ingen advarsel om at passordene blir i innstillingsfilen: $(grep ADVARSEL "$log")"
# A mail server that accepts and then sends its greeting one byte every few
# seconds: SIGTERM during the check still ends the program at once, and the
# session's log is written to its end.
python3 - "$work/trickle" <<'PY' &
import socket, sys, time, os
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
with open(sys.argv[1] + ".port", "w") as f:
    f.write(str(s.getsockname()[1]))
c, _ = s.accept()
open(sys.argv[1] + ".accepted", "w").close()
try:
    for b in b"+OK slow\r\n":
        c.send(bytes([b]))
        time.sleep(5)
except OSError:
    pass
PY
trickler=$!
wait_for 100 "testtjeneren startet ikke" test -s "$work/trickle.port"
printf '[Pop3]\r\nServerName=127.0.0.1:%s\r\nServerUser=ola\r\nServerPassword=zbdf2\r\nStartupCheck=1\r\n' \
    "$(cat "$work/trickle.port")" >"$root/etc/OLA.INI"
: >"$log"
"$program" &
pid=$!
wait_for 200 "programmet koblet ikke til testtjeneren" test -e "$work/trickle.accepted"
sleep 0.5
kill -TERM "$pid"
wait_for 100 "programmet avsluttet ikke etter SIGTERM mens tjeneren svarte sakte" program_gone
wait "$pid" || true
pid=""
kill "$trickler" 2>/dev/null || true
wait "$trickler" 2>/dev/null || true
trickler=""
last=$(sed -E 's/^.*[0-9]{2}:[0-9]{2}:[0-9]{2} //' "$log" | cut -d' ' -f1 | tr -d '\r' | tail -n 1)
[ "$last" = "AVSLUTTER" ] || fail "loggen ble ikke skrevet ferdig etter SIGTERM: $(tail -n 3 "$log")"

# Without a runtime folder, and with the cache folder's "brevglimt" taken by
# another user (or open to others when not run as root), the program still
# starts and its log says that nothing keeps a second copy from starting.
: >"$log"
printf '[Pop3]\r\nServerName=127.0.0.1:9\r\nStartupCheck=0\r\n' >"$root/etc/OLA.INI"
mkdir -p "$XDG_CACHE_HOME/brevglimt"
if [ "$(id -u)" = 0 ]; then chown 65534:65534 "$XDG_CACHE_HOME/brevglimt"; else chmod 755 "$XDG_CACHE_HOME/brevglimt"; fi
(unset XDG_RUNTIME_DIR; run_and_terminate)
grep -q "ADVARSEL: kan ikke hindre at programmet kjører i flere kopier samtidig: mappen $XDG_CACHE_HOME/brevglimt" "$log" \
    || fail "ingen advarsel om den manglende enkeltkopi-sperren: $(grep ADVARSEL "$log")"

# A per-user settings file far larger than any real one is neither read nor
# changed, and the log says so; the program starts all the same.
: >"$log"
{ printf '[Pop3]\r\nServerName=127.0.0.1:9\r\nStartupCheck=0\r\n'; head -c 5000000 /dev/zero | tr '\0' 'x'; } >"$root/etc/OLA.INI"
before=$(sha256sum <"$root/etc/OLA.INI")
run_and_terminate
[ "$(sha256sum <"$root/etc/OLA.INI")" = "$before" ] || fail "den for store innstillingsfilen ble endret"
grep -q "FEIL: INIFIL: leser ikke .*OLA.INI og endrer den ikke: filen er større enn 4 MiB" "$log" \
    || fail "ingen feilmelding om den for store innstillingsfilen: $(tail -n 5 "$log")"
echo "program_startup: 4 passed, 0 failed"
