#!/usr/bin/env bash
# `cmake --install` into a throwaway prefix: what a desktop needs is there and valid, and the
# program answers with no display and no bus.   check_install.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 source=$2 version=$3 id=org.nightwick.Nightwick
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/nightwick share/applications/$id.desktop share/icons/hicolor/scalable/apps/$id.svg \
    share/metainfo/$id.metainfo.xml share/man/man1/nightwick.1.gz; do
    [ -f "$prefix/$file" ] || fail "cmake --install left out $file"
done
unset DISPLAY WAYLAND_DISPLAY
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
nightwick=$prefix/bin/nightwick status=0
[ "$($nightwick --version)" = "nightwick $version" ] || fail "--version: $($nightwick --version)"
$nightwick --help | head -n 1 | grep -q '^Usage: nightwick ' || fail "--help has no usage line"
$nightwick --frobnicate >"$prefix/out" 2>"$prefix/err" || status=$?
[ "$status" -eq 2 ] && [ ! -s "$prefix/out" ] || fail "a wrong option ends with $status"
grep -q "unrecognized option '--frobnicate'" "$prefix/err" || fail "$(cat "$prefix/err")"
page=$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/nightwick.1.gz" 2>"$prefix/err")
[ ! -s "$prefix/err" ] && grep -q '^NAME' <<<"$page" || fail "the manual page: $(cat "$prefix/err")"
command -v appstreamcli >/dev/null || { echo "SKIP: no appstreamcli (Debian package appstream)"; exit 77; }
# The metainfo as installed, and with screenshots, as it is when their web folder is given.
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
sed 's#@NIGHTWICK_SCREENSHOT_BASE_URL@#https://example.org/nightwick/docs/#' \
    "$source/data/$id.metainfo.xml" >"$prefix/$id.metainfo.xml"
appstreamcli validate --no-net "$prefix/$id.metainfo.xml"
