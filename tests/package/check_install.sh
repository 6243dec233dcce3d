#!/usr/bin/env bash
# `cmake --install` into a throwaway prefix: what a desktop needs is there and valid, and the
# installed program answers --help, --version and a wrong option without a desktop session.
#   check_install.sh BUILD_DIR SOURCE_DIR VERSION      (exit 77: a checking tool is missing)
set -euo pipefail
build=$1 source=$2 version=$3
id=org.nightwick.Nightwick
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/nightwick share/applications/$id.desktop share/icons/hicolor/scalable/apps/$id.svg \
    share/metainfo/$id.metainfo.xml share/man/man1/nightwick.1.gz; do
    [ -f "$prefix/$file" ] || fail "cmake --install left out $file"
done

# No display and no bus to reach: answering must start nothing.
nightwick() {
    env -u DISPLAY -u WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
        DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent "$prefix/bin/nightwick" "$@"
}
[ "$(nightwick --version)" = "nightwick $version" ] || fail "--version says: $(nightwick --version)"
nightwick --help | head -n 1 | grep -q '^Usage: nightwick ' || fail "--help has no usage line"
status=0
nightwick --frobnicate >"$prefix/out" 2>"$prefix/err" || status=$?
[ "$status" -eq 2 ] && [ ! -s "$prefix/out" ] || fail "a wrong option ends with $status"
grep -q "unrecognized option '--frobnicate'" "$prefix/err" || fail "$(cat "$prefix/err")"

warnings=$(man --warnings -l "$prefix/share/man/man1/nightwick.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
MANWIDTH=80 man -l "$prefix/share/man/man1/nightwick.1.gz" 2>/dev/null | grep -q '^NAME' ||
    fail "the manual page does not render"

if ! command -v appstreamcli >/dev/null; then
    echo "SKIP: appstreamcli is missing (Debian package appstream): metainfo not validated"
    exit 77
fi
# The metainfo as installed, and with screenshots as it is when their web folder is given.
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
sed 's#@NIGHTWICK_SCREENSHOT_BASE_URL@#https://example.org/nightwick/docs/#' \
    "$source/data/$id.metainfo.xml" >"$prefix/$id.metainfo.xml"
appstreamcli validate --no-net "$prefix/$id.metainfo.xml"
