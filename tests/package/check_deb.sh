#!/usr/bin/env bash
# Makes the Debian package with CPack, has lintian look at it, then installs and removes it with
# dpkg in a throwaway root: a private mount namespace where /usr, /etc and /var are overlays
# on a tmpfs, so the real system never changes and the package's dependencies are checked
# against the real one.
#   check_deb.sh BUILD_DIR VERSION      (exit 77: not root, or a tool is missing)
set -euo pipefail
build=$(cd "$1" && pwd) version=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "installing into an overlaid /usr needs root"
for tool in cpack dpkg-shlibdeps lintian unshare findmnt; do
    command -v "$tool" >/dev/null ||
        skip "$tool is missing (Debian packages cmake, dpkg-dev, lintian, util-linux, mount)"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$work"/nightwick_"$version"_*.deb)
[ -f "$deb" ] || { echo "FAIL: no package in $work"; exit 1; }
dpkg-deb --field "$deb" Package Version Section Depends
status=0
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || status=$?
echo "lintian (errors and warnings fail):"
grep -v 'running with root privileges' "$work/lintian.log" || true
[ "$status" -eq 0 ] || { echo "FAIL: lintian"; exit 1; }

mkdir "$work/root"
unshare --mount --propagation private bash -s "$deb" "$work/root" "$version" <<'INNER'
set -euo pipefail
deb=$1 upper=$2 version=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
mount -t tmpfs throwaway "$upper"
for dir in usr etc var; do
    mkdir -p "$upper/$dir/changes" "$upper/$dir/work"
    mount -t overlay throwaway -o \
        "lowerdir=/$dir,upperdir=$upper/$dir/changes,workdir=$upper/$dir/work" "/$dir"
    # Nothing may reach the real folder: stop unless the overlay is really there.
    [ "$(findmnt -n -o FSTYPE --target "/$dir")" = overlay ] || fail "/$dir is not overlaid"
done

dpkg --no-triggers -i "$deb" >/dev/null
[ "$(command -v nightwick)" = /usr/bin/nightwick ] || fail "nightwick is not on the PATH"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY nightwick --version)" = "nightwick $version" ] ||
    fail "the installed nightwick does not answer --version"
for file in /usr/share/applications/org.nightwick.Nightwick.desktop \
    /usr/share/icons/hicolor/scalable/apps/org.nightwick.Nightwick.svg; do
    [ -f "$file" ] || fail "$file is not in place"
done
owned=$(dpkg -L nightwick)
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' nightwick)"

dpkg --no-triggers -r nightwick >/dev/null
! command -v nightwick >/dev/null || fail "nightwick is still on the PATH"
left=$(find "$upper/usr/changes" "$upper/etc/changes" ! -type d)
[ -z "$left" ] || fail "left behind: $left"
while read -r path; do
    # A folder may stay only while another package has it too.
    if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; }; then
        fail "left behind: $path"
    fi
done <<<"$owned"
echo "removed: $(dpkg-query -W -f='${Status}' nightwick 2>/dev/null || echo 'not known')"
INNER
echo "PASS: installed and removed in a throwaway root"
