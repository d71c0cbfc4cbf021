#!/usr/bin/env bash
# Times quarnel-cli split with and without --checksum on one generated file, runs
# alternating, and prints the medians and what the checksum costs.
#
#   bench/checksum.sh [--cli PATH] [--work DIR] [--size BYTES] [--runs N] [CHUNK...]
#
# Chunk sizes default to 100000 and 100000000. Build quarnel-cli in Release first.
# Runs as root drop the page cache between runs. Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
cli="$script_dir/../build/cli/quarnel-cli"
[ -x "$script_dir/../cli/quarnel-cli" ] && cli="$script_dir/../cli/quarnel-cli"
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=1G
runs=5
chunks=()
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h | --help) sed -n '2,8p' "$0"; exit 0 ;;
    *) chunks+=("$1"); shift ;;
    esac
done
[ ${#chunks[@]} -gt 0 ] || chunks=(100000 100000000)
[ -x "$cli" ] || { echo "checksum.sh: no quarnel-cli at $cli" >&2; exit 2; }
size=$(numfmt --from=iec "$size_text")

work=$(mktemp -d "$work_parent/quarnel-checksum.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c "$size" /dev/urandom >"$work/source.bin"

settle() {
    sync
    [ -w /proc/sys/vm/drop_caches ] && echo 1 >/proc/sys/vm/drop_caches
    cat "$work/source.bin" >/dev/null
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f", m / 1e9 }'
}

printf '%-10s %-6s %10s  %s\n' chunk mode median "all runs (s)"
for chunk in "${chunks[@]}"; do
    : >"$work/plain.ns"
    : >"$work/checksum.ns"
    for ((i = 0; i < runs; i++)); do
        # Alternate which goes first after the drop.
        modes=(plain checksum)
        [ $((i % 2)) = 1 ] && modes=(checksum plain)
        for mode in "${modes[@]}"; do
            out="$work/out-$mode-$i"
            mkdir "$out"
            settle
            extra=()
            [ "$mode" = checksum ] && extra=(--checksum)
            start=$(date +%s%N)
            "$cli" split "$work/source.bin" --chunk-size "$chunk" --output "$out" -q "${extra[@]}"
            end=$(date +%s%N)
            echo $((end - start)) >>"$work/$mode.ns"
        done
    done
    # Removed only now: files made soon after many deletions are slower to create.
    rm -rf "$work"/out-*
    for mode in plain checksum; do
        printf '%-10s %-6s %10s  %s\n' "$chunk" "$mode" "$(median <"$work/$mode.ns")" \
            "$(awk '{ printf "%s%.3f", (NR > 1 ? " " : ""), $1 / 1e9 }' "$work/$mode.ns")"
    done
    awk -v a="$(median <"$work/checksum.ns")" -v b="$(median <"$work/plain.ns")" \
        'BEGIN { printf "%-10s checksum / plain = %.2f\n", "", a / b }'
done
