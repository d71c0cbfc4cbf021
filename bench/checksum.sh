#!/usr/bin/env bash
# Times what the checksums cost: quarnel-cli split --checksum, the checked join (the
# checksum file beside the list) and verify, each beside the plain split and join and
# one SHA-256 pass over the same file (openssl dgst -sha256), all measured in the same
# rounds, and judges them against the limits they are to reach:
#   split --checksum  <= 1.3 x max(plain split, one pass, (plain split + 2 passes) / cores)
#   checked join      <= 1.3 x max(plain join, one pass / cores)
#   verify            <= 1.3 x one pass / cores
# The source and the pieces are read into the page cache before every run, as is the
# file for the SHA-256 pass: the limits are those of memory and cores, not of a disk.
#
#   bench/checksum.sh [--cli PATH] [--compare LABEL=PATH]... [--work DIR] [--size BYTES]
#                     [--runs N] [--keep] [CHUNK...]
#
# Chunk sizes default to 100000 and 1048576. Build quarnel-cli in Release first. Runs as
# root drop the page cache between runs. Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

cli="$script_dir/../build/cli/quarnel-cli"
[ -x "$script_dir/../cli/quarnel-cli" ] && cli="$script_dir/../cli/quarnel-cli"
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=512M
runs=5
keep=0
chunks=()
labels=()
compares=()
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --compare)
        case "$2" in *=*) ;; *) echo "checksum.sh: --compare wants LABEL=PATH" >&2; exit 2 ;; esac
        labels+=("${2%%=*}"); compares+=("${2#*=}"); shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) sed -n '2,17p' "$0"; exit 0 ;;
    *) chunks+=("$1"); shift ;;
    esac
done
[ ${#chunks[@]} -gt 0 ] || chunks=(100000 1048576)
for f in "$cli" ${compares[@]+"${compares[@]}"}; do
    [ -x "$f" ] || { echo "checksum.sh: no quarnel-cli at $f" >&2; exit 2; }
done
command -v openssl >/dev/null || { echo "checksum.sh: openssl is missing (Debian package 'openssl')" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "checksum.sh: /usr/bin/time is missing (Debian package 'time')" >&2; exit 2; }
size=$(numfmt --from=iec "$size_text")
cores=$(nproc)

work=$(mktemp -d "$work_parent/quarnel-checksum.XXXXXX")
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi; }
trap cleanup EXIT
[ "$can_drop" = 1 ] || echo "checksum.sh: note: not root, the page cache is not dropped between runs" >&2
src="$work/source.bin"
head -c "$size" /dev/urandom >"$src"

# Series "q" is the quarnel-cli measured, "c0", "c1"... the compared ones.
quarnels=(q)
for i in "${!compares[@]}"; do quarnels+=("c$i"); done
cli_of() { if [ "$1" = q ]; then echo "$cli"; else echo "${compares[${1#c}]}"; fi; }
label_of() { if [ "$1" = q ]; then echo quarnel; else echo "${labels[${1#c}]}"; fi; }

row() { printf '%-8s %-9s %-9s %7s %-11s %7s %6s %-6s %-4s %8s\n' "$@"; }
rows=()
details=()

# add_row OP CHUNK SERIES LIMIT TARGET: the series' median against LIMIT seconds,
# judged against TARGET for the quarnel-cli measured; "-": shown, not judged.
add_row() {
    local op=$1 chunk=$2 name=$3 limit=$4 target=$5 series median r rss
    for series in "${quarnels[@]}"; do
        median=$(median_seconds "${name}_$series")
        r=$(ratio "$median" "$limit")
        rss=$(peak_rss_kib "${name}_$series")
        verdict=""
        if [ "$series" = q ] && [ "$target" != - ]; then judge "$r" "$target"; fi
        rows+=("$(row "$op" "$chunk" "$(label_of "$series")" "$median" "$(spread "${name}_$series")" "$limit" "$r" \
            "$([ "$target" != - ] && echo "<=$target")" "$verdict" "$(numfmt --to=iec $((rss * 1024)))")")
        details+=("$(printf '%-8s %-9s %-9s %s' "$op" "$chunk" "$(label_of "$series")" \
            "$(all_seconds "${name}_$series")")")
    done
}

for chunk in "${chunks[@]}"; do
    results="$work/results-$chunk"
    mkdir -p "$results"
    echo "chunk $chunk: $runs rounds of splits and SHA-256 passes..." >&2
    commands=(hash)
    for series in "${quarnels[@]}"; do commands+=("split_$series" "splitc_$series"); done
    n=${#commands[@]}
    for ((i = 0; i < runs; i++)); do
        # Rotate the order so that no command always runs first after the drop.
        for cmd in "${commands[@]:i%n}" "${commands[@]:0:i%n}"; do
            settle "$src"
            case "$cmd" in
            hash) timed hash openssl dgst -sha256 "$src" ;;
            split_*)
                mkdir "$work/out-$cmd-$i"
                timed "$cmd" "$(cli_of "${cmd#split_}")" split "$src" --chunk-size "$chunk" --output "$work/out-$cmd-$i" -q ;;
            splitc_*)
                mkdir "$work/out-$cmd-$i"
                timed "$cmd" "$(cli_of "${cmd#splitc_}")" split "$src" --chunk-size "$chunk" \
                    --output "$work/out-$cmd-$i" -q --checksum ;;
            esac
        done
    done
    # Removed only now: files made soon after many deletions are slower to create.
    rm -rf "$work"/out-*

    # The sets to join and verify: one plain, one with its checksum file.
    mkdir "$work/plain" "$work/checked" "$work/joined"
    "$cli" split "$src" --chunk-size "$chunk" --output "$work/plain" -q
    "$cli" split "$src" --chunk-size "$chunk" --output "$work/checked" -q --checksum
    echo "chunk $chunk: $runs rounds of joins and checks..." >&2
    commands=(hash)
    for series in "${quarnels[@]}"; do commands+=("join_$series" "joinc_$series" "verify_$series"); done
    n=${#commands[@]}
    for ((i = 0; i < runs; i++)); do
        for cmd in "${commands[@]:i%n}" "${commands[@]:0:i%n}"; do
            case "$cmd" in
            hash)
                settle "$src"
                timed hash openssl dgst -sha256 "$src" ;;
            join_*)
                settle "$work/plain"
                timed "$cmd" "$(cli_of "${cmd#join_}")" join "$work/plain/source.bin.splt" --output "$work/joined" -q
                same_bytes "$src" "$work/joined/source.bin"
                rm -f "$work/joined/source.bin" ;;
            joinc_*)
                settle "$work/checked"
                timed "$cmd" "$(cli_of "${cmd#joinc_}")" join "$work/checked/source.bin.splt" --output "$work/joined" -q
                same_bytes "$src" "$work/joined/source.bin"
                rm -f "$work/joined/source.bin" ;;
            verify_*)
                settle "$work/checked"
                timed "$cmd" "$(cli_of "${cmd#verify_}")" verify "$work/checked/source.bin.splt" ;;
            esac
        done
    done
    rm -rf "$work/plain" "$work/checked" "$work/joined"

    # Both rounds timed the pass; the limits take the median of all of them.
    pass=$(median_seconds hash)
    split_limit=$(largest "$(median_seconds split_q)" "$pass" "$(compute '(a + 2 * b) / c' \
        "$(median_seconds split_q)" "$pass" "$cores")")
    join_limit=$(largest "$(median_seconds join_q)" "$(compute 'a / b' "$pass" "$cores")")
    verify_limit=$(compute 'a / b' "$pass" "$cores")
    rows+=("$(row sha256 "$chunk" openssl "$pass" "$(spread hash)" "" "" "" "" "$(numfmt --to=iec $(($(peak_rss_kib hash) * 1024)))")")
    details+=("$(printf '%-8s %-9s %-9s %s' sha256 "$chunk" openssl "$(all_seconds hash)")")
    add_row split "$chunk" split "$split_limit" -
    add_row split+sum "$chunk" splitc "$split_limit" 1.3
    add_row join "$chunk" join "$join_limit" -
    add_row join+sum "$chunk" joinc "$join_limit" 1.3
    # What two jobs sharing the cores allow at best: the copy and the hash of every
    # byte. Shown beside the target, not judged.
    floor=$(compute '(a + b) / c' "$(median_seconds join_q)" "$pass" "$cores")
    rows+=("$(row join+sum "$chunk" "floor" "$floor" "" "" "$(ratio "$(median_seconds joinc_q)" "$floor")" \
        "(join+pass)/cores" "" "")")
    # The same from the CPU time the plain join and the pass took (user + system): what
    # the cores must do at the least, whatever waits the wall times hold.
    cpu_floor=$(compute '(a + b) / c' "$(median_cpu_seconds join_q)" "$(median_cpu_seconds hash)" "$cores")
    rows+=("$(row join+sum "$chunk" "cpu-floor" "$cpu_floor" "" "" "$(ratio "$(median_seconds joinc_q)" "$cpu_floor")" \
        "cpu(join+pass)/cores" "" "")")
    details+=("$(printf '%-8s %-9s %-9s join %s s, pass %s s, checked join %s s of CPU (medians)' cpu "$chunk" quarnel \
        "$(median_cpu_seconds join_q)" "$(median_cpu_seconds hash)" "$(median_cpu_seconds joinc_q)")")
    add_row verify "$chunk" verify "$verify_limit" 1.3
done

echo
echo "Wall time in seconds: median [fastest-slowest] of $runs runs, $(numfmt --to=iec "$size") of random bytes, $cores cores,"
echo "the inputs in the page cache. 'limit' is the bound the row is judged against (its own line"
echo "for split and join: they only show what the limits are made of); peak RSS the largest of the runs."
row op chunk who median spread limit ratio target time "peak RSS"
for line in "${rows[@]}"; do echo "$line"; done
echo
echo "Every run, in seconds, in the order they ran:"
for line in "${details[@]}"; do echo "$line"; done
echo
echo "targets met: $met of $total (load now $(cut -d' ' -f1-3 /proc/loadavg))"
