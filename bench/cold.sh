#!/usr/bin/env bash
# Times reads from a cold cache: verify, the checked join and the plain join of one set,
# beside what the device gives, a sequential O_DIRECT read of the same bytes in 4 MiB
# requests (dd iflag=direct), all in the same rounds with the page cache dropped before
# every run. Target for each: at most 1.5 x the O_DIRECT read.
#
#   bench/cold.sh [--cli PATH] [--before PATH] [--work DIR] [--size BYTES] [--chunk BYTES]
#                 [--runs N] [--keep]
#
# --before PATH times another quarnel-cli (an earlier build) in the same rounds, as the
# rows "before verify" and so on. The CPU column is user + system time: on a machine
# with few cores, what reading costs in CPU is taken from hashing. Defaults: 256M in pieces of 1048576. Needs root (the page cache is dropped) and a
# file system that takes O_DIRECT (not tmpfs). Build quarnel-cli in Release first.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

cli="$script_dir/../build/cli/quarnel-cli"
before=
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=256M
chunk=1048576
runs=5
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
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

# rows PREFIX CLI: one round of the three rows of CLI.
rows() {
    local prefix=$1 program=$2
    settle
    timed "${prefix}verify" "$program" verify "$list" -q
    rm -f "$work/out/source.bin"
    settle
    timed "${prefix}checked" "$program" join "$list" -o "$work/out" -q
    same_bytes "$work/whole.bin" "$work/out/source.bin"
    rm -f "$work/out/source.bin"
    settle
    timed "${prefix}plain" "$program" join "$plain/source.bin.splt" -o "$work/out" -q
    same_bytes "$work/whole.bin" "$work/out/source.bin"
    rm -f "$work/out/source.bin"
}

for ((round = 0; round < runs; round++)); do
    settle
    timed direct dd if="$work/whole.bin" of=/dev/null bs=4M iflag=direct status=none
    if [ -n "$before" ]; then rows before- "$before"; fi
    rows "" "$cli"
done

direct=$(median_seconds direct)
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-16s %8s %12s %8s %8s  %s\n' row median min-max cpu "x dd" verdict
printf '%-16s %8s %12s %8s\n' "dd O_DIRECT" "$direct" "$(spread direct)" "$(median_cpu_seconds direct)"
for row in ${before:+before-verify before-checked before-plain} verify checked plain; do
    value=$(median_seconds "$row")
    r=$(ratio "$value" "$direct")
    case "$row" in
    before-*)
        printf '%-16s %8s %12s %8s %8s\n' "$row" "$value" "$(spread "$row")" "$(median_cpu_seconds "$row")" "$r"
        continue
        ;;
    esac
    judge "$r" 1.5
    printf '%-16s %8s %12s %8s %8s  %s\n' "$row" "$value" "$(spread "$row")" "$(median_cpu_seconds "$row")" "$r" \
        "$verdict"
done
echo "$met of $total within 1.5 x the O_DIRECT read"
