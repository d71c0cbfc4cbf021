#!/usr/bin/env bash
# Times quarnel-cli split --numbered, which must take the CRC-32 of the file for its
# .crc, beside the plain split into a list and one CRC-32 pass over the same file
# (quarnel-recovery pass crc32: zlib's, on one core), all measured in the same rounds,
# and judges it against its limit:
#   split --numbered  <= 1.3 x max(plain split, (plain split + one pass) / cores)
# The source is read into the page cache before every run; a run from a cold cache
# (the source dropped too) is timed beside with --cold.
#
#   bench/numbered-split.sh [--cli PATH] [--tool PATH] [--work DIR] [--size BYTES] [--runs N]
#                     [--cold] [--keep] [CHUNK...]
#
# Chunk sizes default to 100000 and 1048576. Build quarnel-cli and quarnel-recovery in
# Release first. Runs as root drop the page cache between runs. Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

cli="$script_dir/../build/cli/quarnel-cli"
[ -x "$script_dir/../cli/quarnel-cli" ] && cli="$script_dir/../cli/quarnel-cli"
tool="$script_dir/../build/bench/quarnel-recovery"
[ -x "$script_dir/quarnel-recovery" ] && tool="$script_dir/quarnel-recovery"
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=512M
runs=5
cold=0
keep=0
chunks=()
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --tool) tool=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --cold) cold=1; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
    *) chunks+=("$1"); shift ;;
    esac
done
[ ${#chunks[@]} -gt 0 ] || chunks=(100000 1048576)
[ -x "$cli" ] || { echo "numbered-split.sh: no quarnel-cli at $cli" >&2; exit 2; }
[ -x "$tool" ] || { echo "numbered-split.sh: no quarnel-recovery at $tool" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "numbered-split.sh: /usr/bin/time is missing (Debian package 'time')" >&2; exit 2; }
size=$(numfmt --from=iec "$size_text")
cores=$(nproc)

work=$(mktemp -d "$work_parent/quarnel-numbered.XXXXXX")
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi; }
trap cleanup EXIT
[ "$can_drop" = 1 ] || echo "numbered-split.sh: note: not root, the page cache is not dropped between runs" >&2
src="$work/source.bin"
head -c "$size" /dev/urandom >"$src"

row() { printf '%-9s %-9s %-6s %7s %-11s %7s %6s %-6s %-4s %8s\n' "$@"; }
rows=()
details=()

# add_row OP CHUNK NAME LIMIT TARGET: NAME's median against LIMIT seconds, judged
# against TARGET; "-": shown, not judged.
add_row() {
    local op=$1 chunk=$2 name=$3 limit=$4 target=$5 median r rss
    median=$(median_seconds "$name")
    r=$(ratio "$median" "$limit")
    rss=$(peak_rss_kib "$name")
    verdict=""
    if [ "$target" != - ]; then judge "$r" "$target"; fi
    rows+=("$(row "$op" "$chunk" "$([ "$op" = crc32 ] && echo zlib || echo quarnel)" "$median" "$(spread "$name")" \
        "$limit" "$r" "$([ "$target" != - ] && echo "<=$target")" "$verdict" "$(numfmt --to=iec $((rss * 1024)))")")
    details+=("$(printf '%-9s %-9s %s' "$op" "$chunk" "$(all_seconds "$name")")")
}

# Once, before the timing: the numbered set is what cat and the .crc say it is.
check="$work/check"
mkdir "$check"
"$cli" split "$src" --chunk-size "${chunks[0]}" --output "$check" -q --numbered
cat "$check"/source.bin.[0-9]* >"$work/joined.bin"
same_bytes "$src" "$work/joined.bin"
rm -rf "$check" "$work/joined.bin"

temperatures=(warm)
[ "$cold" = 1 ] && temperatures+=(cold)
for temperature in "${temperatures[@]}"; do
    for chunk in "${chunks[@]}"; do
        results="$work/results-$temperature-$chunk"
        mkdir -p "$results"
        echo "chunk $chunk, $temperature: $runs rounds of splits and CRC-32 passes..." >&2
        commands=(crc split splitn)
        n=${#commands[@]}
        for ((i = 0; i < runs; i++)); do
            # Rotate the order so that no command always runs first after the drop.
            for cmd in "${commands[@]:i%n}" "${commands[@]:0:i%n}"; do
                if [ "$temperature" = warm ]; then settle "$src"; else settle; fi
                case "$cmd" in
                crc) timed crc "$tool" pass crc32 "$src" ;;
                split)
                    mkdir "$work/out-$cmd-$i"
                    timed split "$cli" split "$src" --chunk-size "$chunk" --output "$work/out-$cmd-$i" -q ;;
                splitn)
                    mkdir "$work/out-$cmd-$i"
                    timed splitn "$cli" split "$src" --chunk-size "$chunk" --output "$work/out-$cmd-$i" -q --numbered ;;
                esac
            done
        done
        # Removed only now: files made soon after many deletions are slower to create.
        rm -rf "$work"/out-*

        pass=$(median_seconds crc)
        limit=$(largest "$(median_seconds split)" "$(compute '(a + b) / c' "$(median_seconds split)" "$pass" "$cores")")
        add_row crc32 "$chunk" crc "$pass" -
        add_row split "$chunk" split "$limit" -
        add_row "numbered" "$chunk" splitn "$limit" 1.3
        rows[-1]="${rows[-1]} $temperature"
    done
done

echo
echo "Wall time in seconds: median [fastest-slowest] of $runs runs, $(numfmt --to=iec "$size") of random bytes, $cores cores."
echo "'limit' is max(split, (split + crc32) / cores); peak RSS the largest of the runs."
row op chunk who median spread limit ratio target time "peak RSS"
for line in "${rows[@]}"; do echo "$line"; done
echo
echo "Every run, in seconds, in the order they ran:"
for line in "${details[@]}"; do echo "$line"; done
echo
echo "targets met: $met of $total (load now $(cut -d' ' -f1-3 /proc/loadavg))"
