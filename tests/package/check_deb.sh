#!/usr/bin/env bash
# CPack's package passes lintian, installs and removes cleanly with dpkg in a private mount
# namespace with /usr, /etc and /var overlaid on a tmpfs.   check_deb.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd) version=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "overlaying /usr needs root"
for tool in cpack dpkg-shlibdeps lintian unshare findmnt; do command -v $tool >/dev/null || skip "no $tool"; done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$work"/nightwick_"$version"_*.deb)
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
    { grep -v 'running with root' "$work/lintian.log"; echo "FAIL: lintian"; exit 1; }
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
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY nightwick --version)" = "nightwick $version" ] ||
    fail "the installed nightwick on the PATH does not answer --version"
[ -f /usr/share/applications/org.nightwick.Nightwick.desktop ] || fail "no desktop entry"
owned=$(dpkg -L nightwick)
dpkg --no-triggers -r nightwick >/dev/null
[ -z "$(find "$upper/usr/changes" "$upper/etc/changes" ! -type d)" ] || fail "files left behind"
while read -r path; do # a folder may stay only while another package has it too
    if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; }; then
        fail "left behind: $path"
    fi
done <<<"$owned"
INNER
echo "PASS: installed and removed in a throwaway root"
