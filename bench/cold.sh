#!/usr/bin/env bash
# Times reads from a cold cache: verify, the checked join and the plain join of one set,
# beside what the device gives, a sequential O_DIRECT read of the same bytes in 4 MiB
# requests (dd iflag=direct), all in the same rounds with the page cache dropped before
# every run. Target for each: at most 1.5 x the O_DIRECT read.
#
#   bench/cold.sh [--cli PATH] [--work DIR] [--size BYTES] [--chunk BYTES] [--runs N] [--keep]
#
# Defaults: 256M in pieces of 1048576. Needs root (the page cache is dropped) and a
# file system that takes O_DIRECT (not tmpfs). Build quarnel-cli in Release first.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

cli="$script_dir/../build/cli/quarnel-cli"
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=256M
chunk=1048576
runs=5
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --chunk) chunk=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "cold.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done
if [ "$can_drop" != 1 ]; then
    echo "cold.sh: needs root to drop the page cache" >&2
    exit 2
fi
[ -x "$cli" ] || { echo "cold.sh: no quarnel-cli at $cli (--cli PATH)" >&2; exit 2; }

work=$(mktemp -d "$work_parent/quarnel-cold.XXXXXX")
results="$work/results"
mkdir -p "$results" "$work/set" "$work/out"
[ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT

size=$(numfmt --from=iec "$size_text")
src="$work/set/source.bin"
head -c "$size" /dev/urandom >"$src"
"$cli" split "$src" -b "$chunk" --checksum -o "$work/set" -q
# The same bytes as one file, for the device's own pace.
mv "$src" "$work/whole.bin"
list="$work/set/source.bin.splt"

plain="$work/plain"
mkdir -p "$plain"
cp "$list" "$work/set/source.bin_splt"* "$plain/"

for ((round = 0; round < runs; round++)); do
    settle
    timed direct dd if="$work/whole.bin" of=/dev/null bs=4M iflag=direct status=none
    settle
    timed verify "$cli" verify "$list" -q
    rm -f "$work/out/source.bin"
    settle
    timed checked "$cli" join "$list" -o "$work/out" -q
    rm -f "$work/out/source.bin"
    settle
    timed plain "$cli" join "$plain/source.bin.splt" -o "$work/out" -q
done
same_bytes "$work/whole.bin" "$work/out/source.bin"

direct=$(median_seconds direct)
printf '%-14s %8s %12s %8s  %s\n' row median min-max "x dd" verdict
printf '%-14s %8s %12s\n' "dd O_DIRECT" "$direct" "$(spread direct)"
for row in verify checked plain; do
    value=$(median_seconds "$row")
    r=$(ratio "$value" "$direct")
    judge "$r" 1.5
    printf '%-14s %8s %12s %8s  %s\n' "$row" "$value" "$(spread "$row")" "$r" "$verdict"
done
echo "$met of $total within 1.5 x the O_DIRECT read"
