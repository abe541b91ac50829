#!/usr/bin/env bash
# cmake --install into a temporary prefix gives a program a desktop can list and start:
# binaries, a valid desktop entry and AppStream metadata, the icon set, manual pages.
# install_test.sh BUILD_DIR APP_ID VERSION
set -euo pipefail
build=$1 id=$2 version=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
share=$prefix/share
for f in bin/knobly bin/knoblyctl share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg share/man/man1/knoblyctl.1.gz \
         share/man/man1/knobly.1.gz share/doc/knobly/copyright; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ ! -e "$prefix/bin/knobly-devicesim" ] || fail "the simulator is installed"

desktop-file-validate "$share/applications/$id.desktop" || fail "desktop entry"
grep -qx "Icon=$id" "$share/applications/$id.desktop" || fail "desktop entry names another icon"
appstreamcli validate --no-net --pedantic "$share/metainfo/$id.metainfo.xml" || fail "metadata"

for size in 16 22 24 32 48 64 128 256; do
  png=$share/icons/hicolor/${size}x${size}/apps/$id.png
  [ "$(identify -format '%wx%h' "$png")" = "${size}x${size}" ] || fail "$png is not ${size} px"
done
# The panel item's icons: one per level, symbolic, each a valid 16 px drawing.
for level in muted low medium high unreachable; do
  svg=$share/icons/hicolor/symbolic/apps/$id-$level-symbolic.svg
  grep -q '<svg [^>]*width="16" height="16"' "$svg" || fail "$svg is not a 16 px drawing"
done
zcat "$share/man/man1/knoblyctl.1.gz" | grep -q '^\.SH SYNOPSIS' || fail "knoblyctl manual page"

[ "$("$prefix/bin/knoblyctl" --version)" = "knoblyctl $version" ] || fail "knoblyctl --version"
echo "installed and valid: $prefix"
