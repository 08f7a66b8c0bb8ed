#!/bin/sh
# Installs the Debian packages Brevglimt needs to build, run and test.
# Quiet and quick when everything is already there.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config make
qt6-base-dev qt6-base-dev-tools libqt6test6 libqt6svg6 qt6-wayland
qt6-l10n-tools qt6-translations-l10n libxcb1-dev
libpoco-dev libssl-dev
libgtest-dev libgmock-dev googletest
clang libclang-rt-14-dev
xdg-utils fonts-dejavu-core ca-certificates libxcb-cursor0 libxkbcommon-x11-0
dovecot-pop3d dovecot-imapd fetchmail iproute2 python3 python3-aiosmtpd python3-pyftpdlib python3-openssl openssl
xvfb xauth x11-utils imagemagick openbox wmctrl xdotool mutter xwayland kwin-x11 kwin-wayland procps
dbus-daemon dbus-bin desktop-file-utils appstream dpkg-dev file python3-debian
libsecret-1-dev gnome-keyring libsecret-tools
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installerer:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
