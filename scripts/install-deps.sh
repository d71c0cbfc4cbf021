#!/usr/bin/env bash
# Installs what Quarnel needs to build, test and run on Debian 12 (run as root).
set -euo pipefail
packages=(
    build-essential cmake ninja-build
    qt6-base-dev qt6-base-dev-tools libgl-dev
    fonts-liberation
    xvfb xauth time
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
