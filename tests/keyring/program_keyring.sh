#!/bin/sh
# The program as a user starts it, in a session whose keyring runs (started
# through tests/support/secret_service_session.sh keyring): a settings file
# with a scrambled POP3 password and an SMTP password; one start moves both
# into the keyring and empties them in the file; a second start still logs
# in, with the password from the keyring, and lists the mailbox.
set -eu
program="$1"
pop3server="$2"
work=$(mktemp -d)
pid=""
server=""
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FEIL: $*" >&2; exit 1; }
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || fail "ingen nøkkelring i gang; kjør gjennom secret_service_session.sh keyring"

export APPDATA="$work/appdata" USERNAME=ola QT_QPA_PLATFORM=offscreen
root="$APPDATA/Tavlund"
ini="$root/etc/OLA.INI"
log="$root/log/brevglimt.log"
transcript="$work/transcript"
password='sommer 2026/Blåbær'
smtp_password='utgående-42'
mkdir -p "$root/etc" "$work/mail"

# Two messages, and a server that lets in only ola with the password.
for n in 1 2; do
    printf 'From: Kari %s <kari%s@test.example>\r\nSubject: Melding %s\r\nDate: Wed, 09 Dec 2026 10:00:00 +0100\r\nMessage-ID: <m%s@test.example>\r\n\r\nHei.\r\n' \
        "$n" "$n" "$n" "$n" >"$work/mail/$n.eml"
done
"$pop3server" --user ola --password "$password" --maildir "$work/mail" --transcript "$transcript" >"$work/server.out" &
server=$!
n=0
until grep -q '^PORT ' "$work/server.out" 2>/dev/null; do
    n=$((n + 1))
    [ $n -le 100 ] || fail "POP3-tjeneren startet ikke"
    sleep 0.05
done
port=$(sed -n 's/^PORT //p' "$work/server.out")

# The settings as an earlier version left them: the POP3 password scrambled,
# the SMTP password as typed; logging on.
python3 - "$ini" "$port" "$password" "$smtp_password" <<'PY'
import sys
path, port, password, smtp = sys.argv[1:]
scrambled = "z" + "".join(chr(ord(c) + i + 1) for i, c in enumerate(password)) + "2"
with open(path, "w", encoding="utf-8", newline="") as f:
    f.write("[Pop3]\r\nServerName=127.0.0.1:%s\r\nServerUser=ola\r\nServerPassword=%s\r\n"
            "StartupCheck=1\r\nShowList=1\r\n" % (port, scrambled))
    f.write("[Smtp]\r\nServerName=smtp.test.example:587\r\nServerUser=ola@test.example\r\n"
            "ServerPassword=%s\r\nSMTPAuthenticationType=1\r\n" % smtp)
PY
chmod 600 "$ini"
printf '[STANDARD]\r\nLogToFile=1\r\n' >"$root/etc/tavlund.ini"

# The value of a key in a section of the per-user file.
setting() {
    python3 - "$ini" "$1" "$2" <<'PY'
import sys
path, section, key = sys.argv[1:]
current = None
for line in open(path, encoding="utf-8").read().splitlines():
    if line.startswith("[") and line.endswith("]"):
        current = line[1:-1]
    elif current == section and line.split("=", 1)[0] == key:
        print(line.split("=", 1)[1])
        break
else:
    print("<mangler>")
PY
}
sigterm_caught() {
    mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)
    [ -n "$mask" ] && [ $(( 0x$mask & 0x4000 )) -ne 0 ]
}
# Both passwords are out of the file (the move to the keyring follows the
# strip's start-up check).
moved() { [ "$(setting Pop3 ServerPassword)" = "" ] && [ "$(setting Smtp ServerPassword)" = "" ]; }
# Starts the program, waits until its start-up check has said goodbye to the
# server (and until the command in $2 succeeds), and ends it as a desktop
# log-out does.
run_once() {
    : >"$transcript"
    "$program" &
    pid=$!
    n=0
    until grep -q '^QUIT' "$transcript" && sigterm_caught && ${2:-true}; do
        n=$((n + 1))
        kill -0 "$pid" 2>/dev/null || fail "$1: programmet avsluttet for tidlig"
        [ $n -le 600 ] || fail "$1: ingen sjekk av postkassen: $(tr '\n' ' ' <"$transcript")"
        sleep 0.05
    done
    kill -TERM "$pid"
    wait "$pid" || fail "$1: programmet avsluttet med feil"
    pid=""
}
# The entries the keyring holds for an account (server, user, kind), as
# secret-tool shows them.
entry() { secret-tool search --all server "$1" user "$2" kind "$3" 2>&1; }

run_once "første start" moved
[ "$(setting Pop3 ServerPassword)" = "" ] || fail "POP3-passordet står fortsatt i filen: $(setting Pop3 ServerPassword)"
[ "$(setting Smtp ServerPassword)" = "" ] || fail "SMTP-passordet står fortsatt i filen"
[ "$(stat -c %a "$ini")" = 600 ] || fail "innstillingsfilen kan leses av andre: $(stat -c %a "$ini")"
pop=$(entry 127.0.0.1 ola mailbox)
echo "$pop" | grep -qxF "secret = $password" || fail "nøkkelringen har ikke POP3-passordet: $pop"
echo "$pop" | grep -qxF "label = Brevglimt: ola på 127.0.0.1 (innboks)" || fail "posten har feil navn: $pop"
smtp=$(entry smtp.test.example ola@test.example smtp)
echo "$smtp" | grep -qxF "secret = $smtp_password" || fail "nøkkelringen har ikke SMTP-passordet: $smtp"
grep -q "INIFIL: passordet til ola på 127.0.0.1 (innboks) er flyttet fra $ini til nøkkelringen" "$log" \
    || fail "ingen INIFIL-linje om flyttingen: $(cat "$log")"
grep -q "INIFIL: passordet til ola@test.example på smtp.test.example (SMTP) er flyttet" "$log" \
    || fail "ingen INIFIL-linje om SMTP-passordet"

# The second start finds the password only in the keyring. Without the list
# of the last check it reads every header again: the mailbox is listed.
rm -f "$root"/tmp/pop3-liste-*.cache
: >"$log"
run_once "andre start"
grep -qxF "PASS $password" "$transcript" || fail "andre start logget ikke inn med passordet: $(tr '\n' ' ' <"$transcript")"
for command in STAT "TOP 1 0" "TOP 2 0"; do
    grep -q "^$command" "$transcript" || fail "andre start listet ikke postkassen ($command mangler): $(tr '\n' ' ' <"$transcript")"
done
! grep -q "INIFIL: passordet" "$log" || fail "andre start flyttet passordet på nytt"
! grep -qF "$password" "$log" || fail "passordet står i loggen"
[ "$(setting Pop3 ServerPassword)" = "" ] || fail "POP3-passordet kom tilbake i filen"
echo "program_keyring: 2 passed, 0 failed"
