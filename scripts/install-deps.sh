#!/usr/bin/env bash
# Installs what Quarnel needs to build, test and run on Debian 12 (run as root).
set -euo pipefail
packages=(
    build-essential cmake ninja-build libssl-dev zlib1g-dev libgf-complete-dev
    # peers the tests check our files against: PAR 2.0, 7-Zip's volumes
    par2 7zip
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # the translations: lupdate and lrelease, qt_add_translations' CMake package,
    # and Qt's own translations of its dialogs
    qt6-l10n-tools qt6-tools-dev qt6-translations-l10n
    fonts-liberation qt6-wayland
    xvfb xauth time bash-completion
    # scripts/check-package.sh: cpack's dependency list, the validators, lintian,
    # and the file type and manual page lookups of the installed package
    dpkg-dev desktop-file-utils appstream lintian file
    shared-mime-info xdg-utils libfile-mimeinfo-perl man-db
    # and the installed window read as a dock and a screen reader read it
    x11-utils dbus at-spi2-core python3-dbus
    # a private session bus standing in for the desktop's notification and sleep services
    python3-dbusmock
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # apt may be busy for a while on a fresh machine: wait for its lock.
    apt-get update -qq -o DPkg::Lock::Timeout=600
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
fi
