#!/usr/bin/env bash
# Builds the two Debian packages, quarnel (the window) and quarnel-cli (the command
# line), and checks them as a distribution and a desktop would see them: their
# file lists and dependencies, the desktop file, the icons, the AppStream metadata,
# lintian, the hardening of the binaries; then each package installed on this
# machine on its own: the file type of a .splt file, the manual pages, the
# programs themselves, the running window's class and its texts in each shipped
# language; each is purged again, also when a check fails.
#
#   scripts/check-package.sh [BUILD_FOLDER]
#
# With a build folder, its build is reused (its install prefix is set to /usr and
# the Debian flags are switched on); without one, a release build is made in the
# temporary folder. Needs root for dpkg -i; scripts/install-deps.sh installs the tools.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
installed=
cleanup() {
    if [ -n "$installed" ]; then
        dpkg --purge "$installed" >/dev/null || echo "check-package: could not remove $installed again" >&2
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
    cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DQUARNEL_DEBIAN_FLAGS=ON >/dev/null
else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
        -DQUARNEL_DEBIAN_FLAGS=ON >/dev/null
fi
cmake --build "$build" --target quarnel quarnel-cli quarnel_data quarnel_dist >/dev/null

(cd "$work" && cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb() { echo "$work/package/${1}_${version}_${arch}.deb"; }
for package in quarnel quarnel-cli; do
    [ -f "$(deb $package)" ] || fail "cpack made no $(basename "$(deb $package)"): $(ls "$work/package")"
    echo "check-package: built $(basename "$(deb $package)")"
done

# What each package holds, and what it must leave to the other.
contents() {
    dpkg -c "$(deb "$1")" >"$work/$1.listing"
    awk '{ print $6 }' "$work/$1.listing" | sed 's|^\./|/|' >"$work/$1.contents"
}
holds() {
    local package=$1
    shift
    for path in "$@"; do
        grep -qxF "$path" "$work/$package.contents" || fail "$package lacks $path"
    done
}
lacks() {
    local package=$1
    shift
    for path in "$@"; do
        ! grep -qxF "$path" "$work/$package.contents" || fail "$package holds $path, which belongs to the other package"
    done
}
contents quarnel
contents quarnel-cli
languages=(de fr es)
icons=()
for size in 16 22 24 32 48 64 128 256; do
    icons+=("/usr/share/icons/hicolor/${size}x${size}/apps/quarnel.png"
        "/usr/share/icons/hicolor/${size}x${size}/mimetypes/application-x-quarnel-splt.png")
done
icons+=(/usr/share/icons/hicolor/scalable/apps/quarnel.svg
    /usr/share/icons/hicolor/scalable/mimetypes/application-x-quarnel-splt.svg)
window_files=(/usr/bin/quarnel /usr/lib/quarnel/quarnel
    /usr/share/applications/example.velmarc.Quarnel.desktop /usr/share/mime/packages/quarnel.xml
    /usr/share/metainfo/example.velmarc.Quarnel.metainfo.xml /usr/share/man/man1/quarnel.1.gz
    /usr/share/doc/quarnel/copyright /usr/share/doc/quarnel/changelog.gz /usr/share/lintian/overrides/quarnel
    /usr/lib/quarnel/Samples/join_me/sample1.pdf.splt /usr/lib/quarnel/Samples/split_me/sample1.pdf
    /usr/share/kio/servicemenus/quarnel-split.desktop /usr/share/kio/servicemenus/quarnel-join.desktop
    /usr/share/nemo/actions/quarnel-split.nemo_action /usr/share/nemo/actions/quarnel-join.nemo_action)
cli_files=(/usr/bin/quarnel-cli /usr/share/man/man1/quarnel-cli.1.gz
    /usr/share/bash-completion/completions/quarnel-cli
    /usr/share/doc/quarnel-cli/copyright /usr/share/doc/quarnel-cli/changelog.gz
    /usr/share/lintian/overrides/quarnel-cli)
for language in "${languages[@]}"; do
    window_files+=("/usr/lib/quarnel/translations/quarnel_$language.qm")
done
holds quarnel "${window_files[@]}" "${icons[@]}"
holds quarnel-cli "${cli_files[@]}"
lacks quarnel "${cli_files[@]}"
lacks quarnel-cli "${window_files[@]}"
grep -q ' \./usr/bin/quarnel -> \.\./lib/quarnel/quarnel$' "$work/quarnel.listing" ||
    fail "/usr/bin/quarnel is not the relative link to ../lib/quarnel/quarnel"

# The command line needs no Qt, and neither package needs the other.
for package in quarnel quarnel-cli; do
    dpkg-deb -f "$(deb $package)" Depends >"$work/$package.depends"
    ! grep -q 'quarnel' "$work/$package.depends" || fail "$package depends on the other package: $(cat "$work/$package.depends")"
done
grep -q 'libqt6' "$work/quarnel.depends" || fail "quarnel does not depend on Qt: $(cat "$work/quarnel.depends")"
dpkg -I "$(deb quarnel-cli)" >"$work/quarnel-cli.info"
! grep -qi 'qt' "$work/quarnel-cli.info" || fail "quarnel-cli names Qt: $(cat "$work/quarnel-cli.info")"

# The files themselves, unpacked as they are in the packages, both into one tree.
root="$work/root"
for package in quarnel quarnel-cli; do
    dpkg-deb -x "$(deb $package)" "$root"
done
desktop_file="$root/usr/share/applications/example.velmarc.Quarnel.desktop"
out=$(desktop-file-validate "$desktop_file" 2>&1) || { echo "$out" >&2; fail "desktop-file-validate failed"; }
[ -z "$out" ] || { echo "$out" >&2; fail "desktop-file-validate is not silent"; }
# The main group only: the actions' groups repeat Name and Exec.
desktop_key() { sed -n "/^\[Desktop Entry\]/,/^\[/s/^$1=//p" "$desktop_file"; }
# "Split with Quarnel" and "Join with Quarnel": a group each, translated, opening the
# file as "Open with" does.
for action in split join; do
    group=$(sed -n "/^\[Desktop Action $action\]/,/^\[/p" "$desktop_file")
    grep -qx 'Exec=quarnel %f' <<<"$group" || fail "the desktop file's $action action does not run quarnel %f"
    for language in "${languages[@]}"; do
        grep -q "^Name\[$language\]=" <<<"$group" || fail "the desktop file's $action action has no Name[$language]"
    done
done
[ "$(desktop_key Actions)" = "split;join;" ] || fail "the desktop file's Actions are '$(desktop_key Actions)'"
# Dolphin's service menus: desktop-file-validate knows no Type=Service, so it may
# only say that much; KIO needs the service type, the actions and a MIME type.
for action in split join; do
    menu="$root/usr/share/kio/servicemenus/quarnel-$action.desktop"
    out=$(desktop-file-validate "$menu" 2>&1 || true)
    out=$(grep -v -e 'but the type is "Service"' -e '"all/allfiles"' <<<"$out" || true)
    [ -z "$out" ] || { echo "$out" >&2; fail "desktop-file-validate finds faults in the $action service menu"; }
    for line in Type=Service X-KDE-ServiceTypes=KonqPopupMenu/Plugin "Actions=$action;" 'Exec=quarnel %f' Icon=quarnel; do
        grep -qxF "$line" "$menu" || fail "the $action service menu lacks $line"
    done
    grep -q '^MimeType=.' "$menu" || fail "the $action service menu names no MIME type"
    # Nemo's actions: the keys Nemo requires, a single selection, the program installed.
    nemo="$root/usr/share/nemo/actions/quarnel-$action.nemo_action"
    head -n 1 "$nemo" | grep -qx '\[Nemo Action\]' || fail "the $action Nemo action has no [Nemo Action] group"
    for line in 'Exec=quarnel %F' Selection=s Icon-Name=quarnel Dependencies=quarnel\; Active=true; do
        grep -qxF "$line" "$nemo" || fail "the $action Nemo action lacks $line"
    done
    grep -q '^Extensions=.' "$nemo" || fail "the $action Nemo action names no Extensions"
    for language in "${languages[@]}"; do
        for file in "$menu" "$nemo"; do
            grep -q "^Name\[$language\]=" "$file" || fail "$(basename "$file") has no Name[$language]"
        done
    done
done
[ "$(desktop_key TryExec)" = quarnel ] || fail "the desktop file's TryExec is '$(desktop_key TryExec)', not quarnel"
for language in "${languages[@]}"; do
    for key in Name GenericName Comment Keywords; do
        [ -n "$(desktop_key "$key\\[$language\\]")" ] || fail "the desktop file has no $key[$language]"
    done
    for element in name summary description/p; do
        grep -q "<${element#*/} xml:lang=\"$language\">" "$root/usr/share/metainfo/example.velmarc.Quarnel.metainfo.xml" ||
            fail "the AppStream metadata has no $element in $language"
    done
done
wm_class=$(desktop_key StartupWMClass)
[ -n "$wm_class" ] || fail "the desktop file names no StartupWMClass"
for icon in "${icons[@]}"; do
    case $icon in
    *.png)
        size=$(echo "$icon" | sed 's|.*/\([0-9]*\)x[0-9]*/.*|\1|')
        [ "$(file -b "$root$icon")" = "PNG image data, $size x $size, 8-bit/color RGBA, non-interlaced" ] ||
            fail "$icon is $(file -b "$root$icon")"
        ;;
    *.svg) grep -q '<svg' "$root$icon" || fail "$icon holds no SVG" ;;
    esac
done
grep -q '<icon name="application-x-quarnel-splt"/>' "$root/usr/share/mime/packages/quarnel.xml" ||
    fail "the file type does not name its icon"
appstreamcli validate --no-net "$root/usr/share/metainfo/example.velmarc.Quarnel.metainfo.xml" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log" >&2; fail "appstreamcli validate found errors"; }
appstreamcli validate-tree --no-net "$root" >>"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log" >&2; fail "appstreamcli validate-tree found errors"; }
lines=$(tr -d '\r' <"$root/usr/lib/quarnel/Samples/join_me/sample1.pdf.splt" | grep -cv '^/usr/lib/quarnel/Samples/join_me/sample1\.pdf_splt[0-9]*$' || true)
[ "$lines" = 0 ] || fail "the installed join sample names pieces outside /usr/lib/quarnel/Samples/join_me"

# Hardened as Debian builds: bound at start-up, read-only relocations, position
# independent, fortified, no RUNPATH, no compiler version strings.
for binary in /usr/lib/quarnel/quarnel /usr/bin/quarnel-cli; do
    readelf -dW "$root$binary" >"$work/dynamic"
    grep -q '(FLAGS) *BIND_NOW' "$work/dynamic" || fail "$binary is not bound at start-up (BIND_NOW)"
    grep -q '(FLAGS_1) *Flags:.* PIE' "$work/dynamic" || fail "$binary is no position-independent executable"
    ! grep -Eq '\((RUNPATH|RPATH)\)' "$work/dynamic" || fail "$binary has a RUNPATH: $(grep PATH "$work/dynamic")"
    # Read into files: grep -q would end a pipe early, which pipefail counts as a failure.
    readelf -lW "$root$binary" >"$work/segments"
    grep -q GNU_RELRO "$work/segments" || fail "$binary has no read-only relocations (GNU_RELRO)"
    readelf --dyn-syms -W "$root$binary" >"$work/symbols"
    grep -Eq '__[a-z]+_chk@' "$work/symbols" || fail "$binary calls no fortified function"
    grep -q '__stack_chk_fail@' "$work/symbols" || fail "$binary has no stack protector"
    readelf -SW "$root$binary" >"$work/sections"
    ! grep -q '\.comment' "$work/sections" || fail "$binary keeps its .comment section"
done

# lintian, pedantic and informational tags included: whatever it reports is either
# fixed or overridden with a comment that says why.
for package in quarnel quarnel-cli; do
    overrides="dist/lintian/$package"
    awk '/^#/ { comment = 1; next } /^$/ { comment = 0; next } !comment { print; bad = 1 } { comment = 0 } END { exit bad }' \
        "$overrides" >"$work/uncommented" || fail "$overrides: overrides without a comment: $(cat "$work/uncommented")"
done
lintian --no-cfg --pedantic --display-info --fail-on error,warning,info,pedantic "$(deb quarnel)" "$(deb quarnel-cli)" \
    >"$work/lintian.log" 2>&1 || true
grep -v 'running with root privileges' "$work/lintian.log" >"$work/lintian.tags" || true
[ ! -s "$work/lintian.tags" ] || { cat "$work/lintian.tags" >&2; fail "lintian reports tags without an override"; }

# Installed on this machine, one package at a time. Two checks at once would remove
# each other's package.
exec 9>/run/lock/quarnel-check-package.lock
flock 9
for package in quarnel quarnel-cli; do
    if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -q '^installed$'; then
        fail "$package is already installed here; this check would replace and remove it (dpkg --purge $package first)"
    fi
done
dpkg_options=()
# Slim images drop manual pages on install (path-exclude /usr/share/man/*); ours
# are let through so that the check sees them, and the check says so.
if cat /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | grep -Eq '^[[:space:]]*path-exclude[[:space:]=]+/usr/share/man'; then
    echo "check-package: dpkg excludes manual pages here; installing with --path-include for quarnel's"
    # The folder too: the exclusion also drops man1 itself where no page made it.
    dpkg_options+=(--path-include=/usr/share/man/man1 --path-include='/usr/share/man/man1/quarnel*')
fi
install_package() {
    installed=$1
    for attempt in $(seq 60); do
        if dpkg "${dpkg_options[@]}" -i "$(deb "$1")" >"$work/dpkg.log" 2>&1; then
            return
        fi
        # apt or another dpkg may hold the lock for a while; anything else is a failure.
        grep -q 'lock' "$work/dpkg.log" && [ "$attempt" -lt 60 ] || { cat "$work/dpkg.log" >&2; fail "dpkg -i $1 failed"; }
        sleep 5
    done
}
purge_package() {
    dpkg-query -L "$1" >"$work/$1.installed"
    dpkg --purge "$1" >/dev/null
    installed=
    ! dpkg-query -W "$1" >/dev/null 2>&1 || fail "$1 is still known to dpkg after its removal"
    while read -r path; do
        [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is still there after $1 was purged"
    done <"$work/$1.installed"
}

# The command line alone.
install_package quarnel-cli
page=$(man -w quarnel-cli) || fail "man -w finds no page for quarnel-cli"
[ "$page" = /usr/share/man/man1/quarnel-cli.1.gz ] || fail "man -w quarnel-cli gives $page"
[ "$(quarnel-cli --version | head -n 1)" = "quarnel-cli $version" ] || fail "quarnel-cli --version says $(quarnel-cli --version | head -n 1)"
head -c 250000 /dev/urandom >"$work/some.bin"
mkdir "$work/pieces" "$work/joined"
quarnel-cli split "$work/some.bin" --chunk-size 100000 --checksum --output "$work/pieces" >/dev/null ||
    fail "the installed quarnel-cli does not split"
quarnel-cli join "$work/pieces/some.bin.splt" --output "$work/joined" >/dev/null ||
    fail "the installed quarnel-cli does not join"
cmp -s "$work/some.bin" "$work/joined/some.bin" || fail "the installed quarnel-cli joins into another file"
purge_package quarnel-cli

# The window alone.
install_package quarnel
# Where Dolphin and Nemo look for "Split with Quarnel" and "Join with Quarnel".
for file in /usr/share/kio/servicemenus/quarnel-{split,join}.desktop /usr/share/nemo/actions/quarnel-{split,join}.nemo_action; do
    [ -f "$file" ] || fail "$file is not installed"
done
printf '/tmp/a.bin_splt1\r\n/tmp/a.bin_splt2\r\n' >"$work/some.splt"
type=$(xdg-mime query filetype "$work/some.splt")
[ "$type" = application/x-quarnel-splt ] || fail "xdg-mime calls a .splt file $type"
app=$(xdg-mime query default application/x-quarnel-splt)
[ "$app" = example.velmarc.Quarnel.desktop ] || fail "a .splt file opens with '$app', not with Quarnel"
# The first piece and the .crc of a set another program split open with Quarnel too.
printf 'piece' >"$work/some.iso.001"
printf 'filename=some.iso\r\nsize=5\r\ncrc32=00000000\r\n' >"$work/some.iso.crc"
for file in some.iso.001 some.iso.crc; do
    type=$(xdg-mime query filetype "$work/$file")
    app=$(xdg-mime query default "$type")
    [ "$app" = example.velmarc.Quarnel.desktop ] || fail "$file ($type) opens with '$app', not with Quarnel"
done
man -w quarnel >/dev/null || fail "man -w finds no page for quarnel"
[ "$(quarnel --version)" = "quarnel $version" ] || fail "quarnel --version says $(quarnel --version)"
# The build's own command line joins the installed sample: quarnel-cli is not installed now.
"$build/cli/quarnel-cli" join /usr/lib/quarnel/Samples/join_me/sample1.pdf.splt --output "$work" >/dev/null ||
    fail "the installed join sample does not join"
cmp -s "$work/sample1.pdf" /usr/lib/quarnel/Samples/split_me/sample1.pdf ||
    fail "the installed join sample joins into another file than the split sample"

# The installed window under Xvfb, read as a dock and a screen reader read it: its
# class must be the desktop file's StartupWMClass. The window keeps its settings in
# a home of its own here.
mkdir -p "$work/home"
cat >"$work/window.sh" <<'EOF'
export HOME="$1/home" XDG_CONFIG_HOME="$1/home/.config" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
quarnel &
window=$!
scripts/read-window.py quarnel 30 >"$1/texts" || status=$?
xwininfo -root -tree >"$1/tree"
kill "$window"
wait "$window" 2>/dev/null || true
exit "${status:-0}"
EOF
read_window() {
    LANG=$1 LC_ALL= LANGUAGE= xvfb-run -a dbus-run-session -- bash "$work/window.sh" "$work" >"$work/window.log" 2>&1 ||
        { cat "$work/window.log" >&2; fail "the installed window did not show under LANG=$1"; }
}
read_window C.UTF-8
class=$(sed -n 's/^ *0x[0-9a-f]* "Quarnel": ("\([^"]*\)" "\([^"]*\)").*/\2/p' "$work/tree" | head -n 1)
[ "$class" = "$wm_class" ] || fail "the window's class is '$class', the desktop file's StartupWMClass '$wm_class'"
grep -qxF "$(printf 'push button\tStart Splitting')" "$work/texts" ||
    { cat "$work/texts" >&2; fail "the window under C shows no Start Splitting button"; }
# Each shipped language: the window shows the translation of Start Splitting that
# the sources give.
for language in "${languages[@]}"; do
    caption=$(python3 - "data/translations/quarnel_$language.ts" <<'EOF'
import sys
import xml.etree.ElementTree as ElementTree
for message in ElementTree.parse(sys.argv[1]).iter("message"):
    if message.findtext("source") == "Start Splitting":
        print(message.findtext("translation"))
EOF
    )
    [ -n "$caption" ] || fail "quarnel_$language.ts translates no Start Splitting"
    read_window "${language}_$(echo "$language" | tr a-z A-Z).UTF-8"
    grep -qxF "$(printf 'push button\t%s' "$caption")" "$work/texts" ||
        { cat "$work/texts" >&2; fail "the window under $language shows no '$caption' button"; }
done
purge_package quarnel
echo "check-package: all checks passed"
