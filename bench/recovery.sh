#!/usr/bin/env bash
# Times the making of recovery data (quarnel-recovery, the recovery library alone)
# beside `par2 create` over the same pieces with the same slice size and count, and
# beside its limit, all measured in the same rounds:
#   create  <= 0.25 x par2 create
#   create  <= 1.3 x (MD5 pass x 2 + CRC32 pass + slices x GF pass) / cores
# where each pass is one core's pass over the whole set (quarnel-recovery pass), the
# MD5 counted twice (the whole piece and each slice), the GF(2^16) multiply-add once
# per recovery slice. Then the repair of N missing pieces beside `par2 repair`:
#   repair  <= 0.25 x par2 repair
# With quarnel-cli beside it (or --cli), the whole split too:
#   split --recovery N  <= 0.25 x (split + par2 create over its pieces)
#   split --recovery N  <= 1.3 x max(split, (split + MD5 x 2 + CRC32 + slices x GF) / cores)
# the join of the whole set with its recovery files beside it:
#   join  <= 1.3 x max(join without them, CRC32 / cores)
# and the join of the set with N pieces missing, repairing as it goes:
#   repairing join  <= 0.25 x par2 repair
# The pieces are read into the page cache before every run.
#
#   bench/recovery.sh [--tool PATH] [--cli PATH] [--work DIR] [--size BYTES] [--chunk BYTES]
#                     [--runs N] [--keep] [--join-only] [N...]
#
# N (pieces that may be lost) defaults to 1 4 16, the size to 256M, the chunk to 4M.
# Build quarnel-recovery and quarnel-cli in Release first. Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

tool="$script_dir/../build/bench/quarnel-recovery"
[ -x "$script_dir/quarnel-recovery" ] && tool="$script_dir/quarnel-recovery"
cli="$script_dir/../build/cli/quarnel-cli"
[ -x "$script_dir/../cli/quarnel-cli" ] && cli="$script_dir/../cli/quarnel-cli"
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=256M
chunk_text=4M
runs=5
keep=0
join_only=0
losts=()
while [ $# -gt 0 ]; do
    case "$1" in
    --tool) tool=$2; shift 2 ;;
    --cli) cli=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --chunk) chunk_text=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --join-only) join_only=1; shift ;;
    -h | --help) sed -n '2,24p' "$0"; exit 0 ;;
    *) losts+=("$1"); shift ;;
    esac
done
[ ${#losts[@]} -gt 0 ] || losts=(1 4 16)
losts_split=("${losts[@]}")
[ -x "$tool" ] || { echo "recovery.sh: no quarnel-recovery at $tool" >&2; exit 2; }
command -v par2 >/dev/null || { echo "recovery.sh: par2 is missing (Debian package 'par2')" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "recovery.sh: /usr/bin/time is missing (Debian package 'time')" >&2; exit 2; }
size=$(numfmt --from=iec "$size_text")
chunk=$(numfmt --from=iec "$chunk_text")
cores=$(nproc)

work=$(mktemp -d "$work_parent/quarnel-recovery.XXXXXX")
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi; }
trap cleanup EXIT
[ "$can_drop" = 1 ] || echo "recovery.sh: note: not root, the page cache is not dropped between runs" >&2
mkdir "$work/set"
head -c "$size" /dev/urandom >"$work/source.bin"
(cd "$work/set" && split -b "$chunk" -a 3 -d "$work/source.bin" source.bin.)
if [ -x "$cli" ]; then
    mv "$work/source.bin" "$work/whole.bin"
else
    echo "recovery.sh: note: no quarnel-cli at $cli, the whole split is not timed" >&2
    rm "$work/source.bin"
fi
mapfile -t pieces < <(cd "$work/set" && ls source.bin.*)

row() { printf '%-7s %-4s %-12s %7s %-11s %7s %6s %-6s %-4s %8s\n' "$@"; }
rows=()
details=()
cpu_rows=()

# add_row OP N NAME WHO LIMIT TARGET: NAME's median against LIMIT seconds, judged
# against TARGET ("-": shown, not judged).
add_row() {
    local op=$1 n=$2 name=$3 who=$4 limit=$5 target=$6 median r rss
    median=$(median_seconds "$name")
    r=$(ratio "$median" "$limit")
    rss=$(peak_rss_kib "$name")
    verdict=""
    if [ "$target" != - ]; then judge "$r" "$target"; fi
    rows+=("$(row "$op" "$n" "$who" "$median" "$(spread "$name")" "$limit" "$r" \
        "$([ "$target" != - ] && echo "<=$target")" "$verdict" "$(numfmt --to=iec $((rss * 1024)))")")
    details+=("$(printf '%-7s %-4s %-12s %s' "$op" "$n" "$who" "$(all_seconds "$name")")")
}

results="$work/results"
mkdir -p "$results"
[ -f "$work/whole.bin" ] || cat "$work/set"/* >"$work/whole.bin"
echo "$runs rounds of single passes..." >&2
for ((i = 0; i < runs; i++)); do
    for kind in md5 crc32 gf; do
        settle "$work/whole.bin"
        timed "pass_$kind" "$tool" pass "$kind" "$work/whole.bin"
    done
done
md5=$(median_seconds pass_md5)
crc=$(median_seconds pass_crc32)
gf=$(median_seconds pass_gf)

# split_once NAME DIR [OPTION...]: one timed quarnel-cli split of the source into DIR.
split_once() {
    local name=$1 dir=$2
    shift 2
    rm -rf "$dir"
    mkdir "$dir"
    settle "$work/whole.bin"
    timed "$name" "$cli" split "$work/whole.bin" --chunk-size "$chunk" --output "$dir" "$@"
}

if [ -x "$cli" ]; then
    split_once split_plain "$work/plain"
    mapfile -t plain_pieces < <(cd "$work/plain" && printf '%s\n' whole.bin_splt*)
    [ "$join_only" = 0 ] || losts_split=()
    for lost in "${losts_split[@]}"; do
        layout=$("$tool" layout "$work/plain" whole.bin.splt "$chunk" "$lost" "${plain_pieces[@]}")
        read -r slice count per < <(echo "$layout" |
            sed -n 's/^slice \([0-9]*\), \([0-9]*\) recovery slices, \([0-9]*\) a volume$/\1 \2 \3/p')
        volumes=$(((count + per - 1) / per))
        echo "N=$lost: $runs rounds of split --recovery, split, par2 create over its pieces..." >&2
        for ((i = 0; i < runs; i++)); do
            split_once "split_r_$lost" "$work/rec" --recovery "$lost"
            split_once split_plain "$work/plain"
            settle "$work/plain"
            timed "split_p_$lost" par2 create -q -q -s"$slice" -c"$count" -n"$volumes" -u \
                "$work/plain/whole.bin.splt.par2" "${plain_pieces[@]/#/$work/plain/}"
        done
        plain=$(median_seconds split_plain)
        both=$(awk -v a="$plain" -v b="$(median_seconds "split_p_$lost")" 'BEGIN { printf "%.3f", a + b }')
        limit=$(awk -v s="$plain" -v m="$md5" -v c="$crc" -v n="$count" -v g="$gf" -v k="$cores" \
            'BEGIN { l = (s + 2 * m + c + n * g) / k; printf "%.3f", (l > s ? l : s) }')
        add_row split "$lost" "split_r_$lost" "quarnel" "$both" 0.25
        add_row split "$lost" "split_p_$lost" "par2 create" "$both" -
        add_row split "$lost" "split_r_$lost" "vs limit" "$limit" 1.3
        cpu_rows+=("split --recovery $lost $(median_cpu_seconds "split_r_$lost") s, par2 create $(median_cpu_seconds "split_p_$lost") s")
    done
    [ "$join_only" = 1 ] || add_row split - split_plain "plain split" "$(median_seconds split_plain)" -

    # The join of a whole set with its recovery files beside it, against the join of the
    # same pieces without them and one CRC32 pass over the set on every core:
    #   join (recovery beside) <= 1.3 x max(plain join, CRC32 / cores)
    lost=${losts[0]}
    split_once split_r_join "$work/rec" --recovery "$lost"
    mkdir -p "$work/bare" "$work/jout"
    for f in "$work/rec"/*; do
        case "$f" in *.par2) ;; *) ln "$f" "$work/bare/" ;; esac
    done
    echo "N=$lost: $runs rounds of joins of the whole set with and without its recovery files..." >&2
    for ((i = 0; i < runs; i++)); do
        for kind in r p; do
            dir=$([ "$kind" = r ] && echo rec || echo bare)
            rm -f "$work/jout"/*
            settle "$work/$dir"
            timed "join_${kind}" "$cli" join "$work/$dir/whole.bin.splt" --output "$work/jout"
        done
    done
    same_bytes "$work/whole.bin" "$work/jout/whole.bin"
    join_plain=$(median_seconds join_p)
    join_limit=$(awk -v j="$join_plain" -v c="$crc" -v k="$cores" 'BEGIN { l = c / k; printf "%.3f", (l > j ? l : j) }')
    add_row join "$lost" join_r "with par2" "$join_limit" 1.3
    add_row join - join_p "plain join" "$join_limit" -
    cpu_rows+=("join with par2 $(median_cpu_seconds join_r) s, plain join $(median_cpu_seconds join_p) s")
    rm -rf "$work/bare"

    # A join that repairs: N pieces spread over the set missing, rebuilt from the recovery
    # files the split wrote, against par2 repairing the same set:
    #   repairing join <= 0.25 x par2 repair
    for lost in "${losts[@]}"; do
        split_once split_r_jr "$work/rec" --recovery "$lost"
        mapfile -t rec_pieces < <(cd "$work/rec" && printf '%s\n' whole.bin_splt*)
        gone=()
        step=$((${#rec_pieces[@]} / lost))
        for ((k = 0; k < lost; k++)); do gone+=("${rec_pieces[$((k * step))]}"); done
        echo "N=$lost: $runs rounds of joins repairing $lost missing pieces and of par2 repair..." >&2
        for ((i = 0; i < runs; i++)); do
            for cmd in quarnel par2; do
                for p in "${gone[@]}"; do rm -f "$work/rec/$p" "$work/rec/$p".*; done
                rm -f "$work/jout"/*
                settle "$work/rec"
                if [ "$cmd" = quarnel ]; then
                    timed "join_q_$lost" "$cli" join "$work/rec/whole.bin.splt" --output "$work/jout"
                    same_bytes "$work/whole.bin" "$work/jout/whole.bin"
                else
                    timed "join_p_$lost" par2 repair -q -q "$work/rec/whole.bin.splt.par2"
                fi
            done
        done
        add_row join "$lost" "join_q_$lost" "repairing" "$(median_seconds "join_p_$lost")" 0.25
        add_row join "$lost" "join_p_$lost" "par2 repair" "$(median_seconds "join_p_$lost")" -
        cpu_rows+=("repairing join $lost $(median_cpu_seconds "join_q_$lost") s, par2 repair $(median_cpu_seconds "join_p_$lost") s")
    done
    rm -rf "$work/jout" "$work/plain" "$work/rec"
fi
rm "$work/whole.bin"

[ "$join_only" = 0 ] || losts=()
for lost in "${losts[@]}"; do
    layout=$("$tool" layout "$work/set" source.bin.splt "$chunk" "$lost" "${pieces[@]}")
    slice=$(echo "$layout" | sed -n 's/^slice \([0-9]*\), \([0-9]*\) recovery slices, \([0-9]*\) a volume$/\1/p')
    count=$(echo "$layout" | sed -n 's/^slice \([0-9]*\), \([0-9]*\) recovery slices, \([0-9]*\) a volume$/\2/p')
    per=$(echo "$layout" | sed -n 's/^slice \([0-9]*\), \([0-9]*\) recovery slices, \([0-9]*\) a volume$/\3/p')
    volumes=$(((count + per - 1) / per))
    echo "N=$lost: slice $slice, $count recovery slices in $volumes volumes; $runs rounds of creation..." >&2
    for ((i = 0; i < runs; i++)); do
        for cmd in quarnel par2; do
            settle "$work/set"
            rm -f "$work/set"/*.par2
            if [ "$cmd" = quarnel ]; then
                timed "create_q_$lost" "$tool" create-with "$work/set" source.bin.splt "$slice" "$count" "$per" \
                    "${pieces[@]}"
            else
                timed "create_p_$lost" par2 create -q -q -s"$slice" -c"$count" -n"$volumes" -u \
                    "$work/set/source.bin.splt.par2" "${pieces[@]/#/$work/set/}"
            fi
        done
    done
    limit=$(awk -v m="$md5" -v c="$crc" -v n="$count" -v g="$gf" -v k="$cores" \
        'BEGIN { printf "%.3f", (2 * m + c + n * g) / k }')
    add_row create "$lost" "create_q_$lost" quarnel "$(median_seconds "create_p_$lost")" 0.25
    add_row create "$lost" "create_p_$lost" "par2 create" "$(median_seconds "create_p_$lost")" -
    add_row create "$lost" "create_q_$lost" "vs limit" "$limit" 1.3
    cpu_rows+=("create $lost $(median_cpu_seconds "create_q_$lost") s, par2 create $(median_cpu_seconds "create_p_$lost") s")

    # The repair of `lost` missing pieces, by each from Quarnel's recovery data.
    rm -f "$work/set"/*.par2
    "$tool" create-with "$work/set" source.bin.splt "$slice" "$count" "$per" "${pieces[@]}" >/dev/null
    missing=()
    step=$(( ${#pieces[@]} / lost ))
    for ((k = 0; k < lost; k++)); do missing+=("${pieces[$((k * step))]}"); done
    mkdir -p "$work/kept"
    for p in "${missing[@]}"; do cp "$work/set/$p" "$work/kept/$p"; done
    echo "N=$lost: $runs rounds of repairs of $lost missing pieces..." >&2
    for ((i = 0; i < runs; i++)); do
        for cmd in quarnel par2; do
            for p in "${missing[@]}"; do rm -f "$work/set/$p" "$work/set/$p".*; done
            settle "$work/set"
            if [ "$cmd" = quarnel ]; then
                timed "repair_q_$lost" "$tool" repair "$work/set" source.bin.splt.par2
            else
                timed "repair_p_$lost" par2 repair -q -q "$work/set/source.bin.splt.par2"
            fi
            for p in "${missing[@]}"; do same_bytes "$work/kept/$p" "$work/set/$p"; done
        done
    done
    rm -rf "$work/kept" "$work/set"/*.par2
    add_row repair "$lost" "repair_q_$lost" quarnel "$(median_seconds "repair_p_$lost")" 0.25
    add_row repair "$lost" "repair_p_$lost" "par2 repair" "$(median_seconds "repair_p_$lost")" -
    cpu_rows+=("repair $lost $(median_cpu_seconds "repair_q_$lost") s, par2 repair $(median_cpu_seconds "repair_p_$lost") s")
done

echo
echo "Wall time in seconds: median [fastest-slowest] of $runs runs, $(numfmt --to=iec "$size") in pieces of"
echo "$(numfmt --to=iec "$chunk"), $cores cores, the pieces in the page cache. One core's passes over the set:"
echo "MD5 $md5 s, CRC32 $crc s, GF(2^16) multiply-add $gf s. 'limit' is what the row is judged against."
row op N who median spread limit ratio target time "peak RSS"
for line in "${rows[@]}"; do echo "$line"; done
for line in "${cpu_rows[@]}"; do echo "CPU (user + system), median: $line"; done
echo
echo "Every run, in seconds, in the order they ran:"
for line in "${details[@]}"; do echo "$line"; done
echo
echo "targets met: $met of $total (load now $(cut -d' ' -f1-3 /proc/loadavg))"
