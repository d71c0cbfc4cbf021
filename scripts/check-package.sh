#!/usr/bin/env bash
# Builds the Debian package and checks it as a distribution and a desktop would see
# it: the desktop file, the AppStream metadata, lintian, the package's file list,
# the installed join sample, and, with the package installed on this machine, the
# file type of a .splt file and the manual page. The package is removed again at
# the end, also when a check fails.
#
#   scripts/check-package.sh [BUILD_FOLDER]
#
# With a build folder, its build is reused (its install prefix is set to /usr);
# without one, a release build is made in the temporary folder. Needs root for
# dpkg -i; scripts/install-deps.sh installs the tools.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
installed=no
cleanup() {
    if [ "$installed" = yes ]; then
        dpkg --purge quarnel >/dev/null || echo "check-package: could not remove quarnel again" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "check-package: $*" >&2
    exit 1
}

build=$(realpath -m "${1:-$work/build}")
if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build" --target quarnel quarnel-cli quarnel_data quarnel_dist >/dev/null

(cd "$work" && cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$work/package/quarnel_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$work/package")"
echo "check-package: built $(basename "$deb")"

# What the package holds.
dpkg -c "$deb" >"$work/listing"
awk '{ print $6 }' "$work/listing" | sed 's|^\./|/|' >"$work/contents"
for path in /usr/bin/quarnel /usr/bin/quarnel-cli /usr/lib/quarnel/quarnel \
    /usr/share/applications/example.velmarc.Quarnel.desktop /usr/share/mime/packages/quarnel.xml \
    /usr/share/metainfo/example.velmarc.Quarnel.metainfo.xml \
    /usr/share/man/man1/quarnel.1.gz /usr/share/man/man1/quarnel-cli.1.gz \
    /usr/share/icons/hicolor/48x48/apps/quarnel.png /usr/share/icons/hicolor/256x256/apps/quarnel.png \
    /usr/share/icons/hicolor/scalable/apps/quarnel.svg \
    /usr/share/doc/quarnel/copyright /usr/share/doc/quarnel/changelog.gz \
    /usr/lib/quarnel/Samples/join_me/sample1.pdf.splt /usr/lib/quarnel/Samples/split_me/sample1.pdf; do
    grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
grep -q ' \./usr/bin/quarnel -> \.\./lib/quarnel/quarnel$' "$work/listing" ||
    fail "/usr/bin/quarnel is not the relative link to ../lib/quarnel/quarnel"

# The files themselves, unpacked as they are in the package.
root="$work/root"
dpkg-deb -x "$deb" "$root"
out=$(desktop-file-validate "$root/usr/share/applications/example.velmarc.Quarnel.desktop" 2>&1) ||
    { echo "$out" >&2; fail "desktop-file-validate failed"; }
[ -z "$out" ] || { echo "$out" >&2; fail "desktop-file-validate is not silent"; }
appstreamcli validate --no-net "$root/usr/share/metainfo/example.velmarc.Quarnel.metainfo.xml" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log" >&2; fail "appstreamcli validate found errors"; }
appstreamcli validate-tree --no-net "$root" >>"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log" >&2; fail "appstreamcli validate-tree found errors"; }
lines=$(tr -d '\r' <"$root/usr/lib/quarnel/Samples/join_me/sample1.pdf.splt" | grep -cv '^/usr/lib/quarnel/Samples/join_me/sample1\.pdf_splt[0-9]*$' || true)
[ "$lines" = 0 ] || fail "the installed join sample names pieces outside /usr/lib/quarnel/Samples/join_me"

# Errors fail; what remains is shown, to be read.
lintian --no-cfg --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1 ||
    { grep -v 'running with root privileges' "$work/lintian.log" >&2; fail "lintian found errors"; }
grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/check-package: lintian: /' || true

# Installed on this machine. Two checks at once would remove each other's package.
exec 9>/run/lock/quarnel-check-package.lock
flock 9
if dpkg-query -W -f='${db:Status-Status}' quarnel 2>/dev/null | grep -q '^installed$'; then
    fail "quarnel is already installed here; this check would replace and remove it (dpkg --purge quarnel first)"
fi
dpkg_options=()
# Slim images drop manual pages on install (path-exclude /usr/share/man/*); ours
# are let through so that the check sees them, and the check says so.
if cat /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | grep -Eq '^[[:space:]]*path-exclude[[:space:]=]+/usr/share/man'; then
    echo "check-package: dpkg excludes manual pages here; installing with --path-include for quarnel's"
    # The folder too: the exclusion also drops man1 itself where no page made it.
    dpkg_options+=(--path-include=/usr/share/man/man1 --path-include='/usr/share/man/man1/quarnel*')
fi
installed=yes
for attempt in $(seq 60); do
    if dpkg "${dpkg_options[@]}" -i "$deb" >"$work/dpkg.log" 2>&1; then
        break
    fi
    # apt or another dpkg may hold the lock for a while; anything else is a failure.
    grep -q 'lock' "$work/dpkg.log" && [ "$attempt" -lt 60 ] || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
    sleep 5
done

printf '/tmp/a.bin_splt1\r\n/tmp/a.bin_splt2\r\n' >"$work/some.splt"
type=$(xdg-mime query filetype "$work/some.splt")
[ "$type" = application/x-quarnel-splt ] || fail "xdg-mime calls a .splt file $type"
app=$(xdg-mime query default application/x-quarnel-splt)
[ "$app" = example.velmarc.Quarnel.desktop ] || fail "a .splt file opens with '$app', not with Quarnel"
page=$(man -w quarnel-cli) || fail "man -w finds no page for quarnel-cli"
[ "$page" = /usr/share/man/man1/quarnel-cli.1.gz ] || fail "man -w quarnel-cli gives $page"
man -w quarnel >/dev/null || fail "man -w finds no page for quarnel"
[ "$(quarnel --version)" = "quarnel $version" ] || fail "quarnel --version says $(quarnel --version)"
quarnel-cli join /usr/lib/quarnel/Samples/join_me/sample1.pdf.splt --output "$work" >/dev/null ||
    fail "the installed join sample does not join"
cmp -s "$work/sample1.pdf" /usr/lib/quarnel/Samples/split_me/sample1.pdf ||
    fail "the installed join sample joins into another file than the split sample"

dpkg --purge quarnel >/dev/null
installed=no
! dpkg-query -W quarnel >/dev/null 2>&1 || fail "quarnel is still known to dpkg after its removal"
echo "check-package: all checks passed"
