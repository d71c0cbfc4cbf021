#!/usr/bin/env bash
# Builds everything and runs every test; then the engine tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer; then builds the Debian package
# from the test build and checks it, installed on this machine and removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

# With Debian's flags from the start, so that the package check reuses this build.
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUARNEL_DEBIAN_FLAGS=ON >/dev/null
cmake --build build-test -j "$jobs"
(cd build-test && ctest -LE large --output-on-failure -j "$jobs")

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARNEL_WERROR=ON -DQUARNEL_ENGINE_ONLY=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all" >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest -L engine -LE large --output-on-failure -j "$jobs")

scripts/check-package.sh build-test
