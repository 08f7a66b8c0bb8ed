#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the Debian package,
# then checks what a desktop and a package manager will see.
set -euo pipefail
build="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FEIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/brevglimt \
         share/applications/no.tavlund.Brevglimt.desktop \
         share/metainfo/no.tavlund.Brevglimt.metainfo.xml \
         share/icons/hicolor/scalable/apps/brevglimt.svg; do
    [ -f "$work/prefix/$f" ] || fail "mangler $f"
done
[ -x "$work/prefix/bin/brevglimt" ] || fail "brevglimt kan ikke kjøres"
desktop-file-validate "$work/prefix/share/applications/no.tavlund.Brevglimt.desktop"
appstreamcli validate --no-net "$work/prefix/share/metainfo/no.tavlund.Brevglimt.metainfo.xml" >/dev/null
grep -q '^Icon=brevglimt$' "$work/prefix/share/applications/no.tavlund.Brevglimt.desktop" || fail "feil ikon"

(cd "$build" && cpack --config CPackConfig.cmake -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
info=$(dpkg-deb -I "$deb")
depends=$(printf '%s\n' "$info" | sed -n 's/^ Depends: //p')
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6dbus6 libqt6network6 libpocofoundation libc6; do
    case "$depends" in *"$lib"*) ;; *) fail "pakken avhenger ikke av $lib" ;; esac
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/brevglimt ./usr/share/applications/no.tavlund.Brevglimt.desktop ./usr/share/icons/hicolor/scalable/apps/brevglimt.svg; do
    printf '%s\n' "$contents" | grep -q " $f\$" || fail "pakken mangler $f"
done
echo "install and package: ok"
