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
         share/icons/hicolor/scalable/apps/brevglimt.svg \
         share/doc/brevglimt/copyright; do
    [ -f "$work/prefix/$f" ] || fail "mangler $f"
done
[ -x "$work/prefix/bin/brevglimt" ] || fail "brevglimt kan ikke kjøres"
desktop-file-validate "$work/prefix/share/applications/no.tavlund.Brevglimt.desktop"
appstreamcli validate --no-net "$work/prefix/share/metainfo/no.tavlund.Brevglimt.metainfo.xml" >/dev/null
grep -q '^Icon=brevglimt$' "$work/prefix/share/applications/no.tavlund.Brevglimt.desktop" || fail "feil ikon"

(cd "$build" && cpack --config CPackConfig.cmake -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/brevglimt_*.deb)
info=$(dpkg-deb -I "$deb")
depends=$(printf '%s\n' "$info" | sed -n 's/^ Depends: //p')
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6dbus6 libqt6network6 libpocofoundation libc6; do
    case "$depends" in *"$lib"*) ;; *) fail "pakken avhenger ikke av $lib" ;; esac
done
# What the program loads at run time, which no linked library names: the
# SVG icon loader and Qt's own translations. Matched as whole package names.
packages=$(printf '%s\n' "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for pkg in libqt6svg6 qt6-translations-l10n; do
    printf '%s\n' "$packages" | grep -qx "$pkg" || fail "pakken avhenger ikke av $pkg"
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/brevglimt ./usr/share/applications/no.tavlund.Brevglimt.desktop ./usr/share/icons/hicolor/scalable/apps/brevglimt.svg \
         ./usr/share/doc/brevglimt/copyright; do
    printf '%s\n' "$contents" | grep -q " $f\$" || fail "pakken mangler $f"
done

dpkg-deb -x "$deb" "$work/unpacked"

# The copyright file in Debian's machine-readable format: it parses, and every
# Files paragraph names its copyright holder and a licence whose text it
# carries or a License paragraph gives.
/usr/bin/python3 - "$work/unpacked/usr/share/doc/brevglimt/copyright" <<'EOF' || fail "copyright-filen i pakken er ikke gyldig"
import sys
from debian import copyright

with open(sys.argv[1], encoding="utf-8") as f:
    c = copyright.Copyright(f, strict=True)
texts = {p.license.synopsis for p in c.all_license_paragraphs() if p.license.text.strip()}
files = list(c.all_files_paragraphs())
if not any("*" in p.files for p in files):
    sys.exit("no Files: * paragraph")
for p in files:
    if not (p.copyright or "").strip():
        sys.exit(f"no Copyright for {' '.join(p.files)}")
    if not p.license.text.strip() and p.license.synopsis not in texts:
        sys.exit(f"no text for the licence {p.license.synopsis!r}")
EOF

# The program in the package is stripped; its debug information lies in the
# -dbgsym package, under the program's build id.
kind=$(file -b "$work/unpacked/usr/bin/brevglimt")
echo "usr/bin/brevglimt: $kind"
case "$kind" in *", not stripped"* | *"debug_info"*) fail "programmet i pakken har feilsøkingsinformasjon" ;; esac
case "$kind" in *", stripped"*) ;; *) fail "programmet i pakken er ikke strippet" ;; esac
buildid=$(printf '%s\n' "$kind" | sed -n 's/.*BuildID\[sha1\]=\([0-9a-f]*\).*/\1/p')
[ -n "$buildid" ] || fail "programmet har ingen build-id"
dbgsym=$(ls "$work"/deb/brevglimt-dbgsym_*.ddeb 2>/dev/null) || fail "ingen -dbgsym-pakke"
dpkg-deb -x "$dbgsym" "$work/dbgsym"
debugfile="$work/dbgsym/usr/lib/debug/.build-id/${buildid:0:2}/${buildid:2}.debug"
[ -f "$debugfile" ] || fail "-dbgsym-pakken mangler ${debugfile#"$work"/dbgsym}"
file -b "$debugfile" | grep -q "with debug_info" || fail "-dbgsym-pakken har ingen feilsøkingsinformasjon"
echo "install and package: ok"
