#!/usr/bin/env bash
# Times the join of a numbered set (NAME.001, NAME.002, ... as `split -d` and file
# managers cut it) beside `cat` of its pieces, warm (pieces in the page cache) and
# cold (dropped before every run), and the join checked against its .crc beside the
# larger of the plain join and one CRC-32 pass over the same bytes (7zz h) divided by
# the cores, all in the same rounds.
# Targets: plain join at most 1.05 x cat, warm and cold; checked join at most
# 1.3 x max(plain join, CRC-32 pass / cores).
#
#   bench/numbered-join.sh [--cli PATH] [--before PATH] [--work DIR] [--size BYTES] [--chunk BYTES]
#                          [--runs N] [--keep]
#
# --before PATH times another quarnel-cli (an earlier build) in the same rounds, as the
# rows "before-plain-warm" and so on. The cpu column is user + system time, which
# tells more than the wall time on a busy machine.
# Defaults: 1G in pieces of 100M. The cold rows need root (the page cache is
# dropped); without it they are left out. Build quarnel-cli in Release first.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

cli="$script_dir/../build/cli/quarnel-cli"
before=
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=1G
chunk=100M
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
    *) echo "numbered-join.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ -x "$cli" ] || { echo "numbered-join.sh: no quarnel-cli at $cli (--cli PATH)" >&2; exit 2; }
[ -z "$before" ] || [ -x "$before" ] || { echo "numbered-join.sh: no quarnel-cli at $before (--before PATH)" >&2; exit 2; }
command -v 7zz >/dev/null || { echo "numbered-join.sh: needs 7zz (Debian package 7zip)" >&2; exit 2; }

work=$(mktemp -d "$work_parent/quarnel-numbered.XXXXXX")
results="$work/results"
mkdir -p "$results" "$work/plain" "$work/checked" "$work/out"
[ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT

size=$(numfmt --from=iec "$size_text")
chunk_bytes=$(numfmt --from=iec "$chunk")
src="$work/source.bin"
head -c "$size" /dev/urandom >"$src"
(cd "$work/plain" && split -d -a 3 --numeric-suffixes=1 -b "$chunk_bytes" "$src" source.bin.)
crc=$(7zz h -scrcCRC32 "$src" | sed -n 's/^CRC32  for data: *//p')
cp "$work/plain/"source.bin.* "$work/checked/"
printf 'filename=source.bin\r\nsize=%s\r\ncrc32=%s\r\n' "$size" "$crc" >"$work/checked/source.bin.crc"
cores=$(nproc)

# joins PREFIX CLI: the plain and the checked join of CLI in this round's mode.
joins() {
    local prefix=$1 program=$2
    [ "$mode" = warm ] && inputs=("$work/plain")
    settle "${inputs[@]}"
    timed "${prefix}plain-$mode" "$program" join "$work/plain/source.bin.001" -o "$work/out" -q
    rm -f "$work/out/source.bin"
    [ "$mode" = warm ] && inputs=("$work/checked")
    settle "${inputs[@]}"
    timed "${prefix}checked-$mode" "$program" join "$work/checked/source.bin.001" -o "$work/out" -q
    [ "$round" = 0 ] && same_bytes "$src" "$work/out/source.bin"
    rm -f "$work/out/source.bin"
}

for ((round = 0; round < runs; round++)); do
    for mode in warm cold; do
        [ "$mode" = cold ] && [ "$can_drop" != 1 ] && continue
        inputs=()
        [ "$mode" = warm ] && inputs=("$work/plain")
        settle "${inputs[@]}"
        timed "cat-$mode" sh -c 'cat "$1"/source.bin.* >"$2"' sh "$work/plain" "$work/out/source.bin"
        rm -f "$work/out/source.bin"
        joins "" "$cli"
        [ -z "$before" ] || joins before- "$before"
    done
    settle "$src"
    timed crc 7zz h -scrcCRC32 "$src"
done

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %8s %12s %6s %8s %8s  %s\n' row median min-max cpu ratio target verdict
row() {
    local name=$1 value=$2 base=$3 limit=$4 r
    r=$(ratio "$value" "$base")
    judge "$r" "$limit"
    printf '%-22s %8s %12s %6s %8s %8s  %s\n' "$name" "$value" "$(spread "$name")" "$(median_cpu_seconds "$name")" \
        "$r" "$limit" "$verdict"
}
# An earlier build's row, with its ratio to the same base, judged by nobody.
before_row() {
    local name=$1 base=$2 value
    value=$(median_seconds "$name")
    printf '%-22s %8s %12s %6s %8s\n' "$name" "$value" "$(spread "$name")" "$(median_cpu_seconds "$name")" \
        "$(ratio "$value" "$base")"
}
crc_share=$(compute 'a / b' "$(median_seconds crc)" "$cores")
printf '%-22s %8s %12s %6s  (%s cores: %s)\n' crc "$(median_seconds crc)" "$(spread crc)" "$(median_cpu_seconds crc)" \
    "$cores" "$crc_share"
for mode in warm cold; do
    [ -f "$results/cat-$mode.ns" ] || continue
    cat_s=$(median_seconds "cat-$mode")
    plain_s=$(median_seconds "plain-$mode")
    printf '%-22s %8s %12s %6s\n' "cat-$mode" "$cat_s" "$(spread "cat-$mode")" "$(median_cpu_seconds "cat-$mode")"
    [ -z "$before" ] || before_row "before-plain-$mode" "$cat_s"
    row "plain-$mode" "$plain_s" "$cat_s" 1.05
    checked_base=$(largest "$plain_s" "$crc_share")
    [ -z "$before" ] || before_row "before-checked-$mode" "$checked_base"
    row "checked-$mode" "$(median_seconds "checked-$mode")" "$checked_base" 1.3
done
echo "$met of $total within their targets"
