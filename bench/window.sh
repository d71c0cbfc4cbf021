#!/usr/bin/env bash
# Times the window's split and join (quarnel-turns: a press of the button, to the
# last message) beside quarnel-cli's on the same file and the same set, in alternating
# runs, and judges the ratio of medians: target at most 1.15 x. The window's time is
# from the press to the end of the run; the whole process's (with Qt's start-up) is
# shown beside it. The source, and for joins the pieces, are in the page cache before
# every run; the longest interval between event-loop turns is reported too.
#
#   bench/window.sh [--build DIR] [--work DIR] [--size BYTES] [--runs N] [CHUNK...]
#
# Chunk sizes default to 100000. Uses quarnel-cli and bench/quarnel-turns of one build
# (Release). Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

build=""
work_parent=/work
[ -d /work ] && [ -w /work ] || work_parent=${TMPDIR:-/tmp}
size_text=1G
runs=5
chunks=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h | --help) sed -n '2,12p' "$0"; exit 0 ;;
    *) chunks+=("$1"); shift ;;
    esac
done
[ ${#chunks[@]} -gt 0 ] || chunks=(100000)
if [ -z "$build" ]; then
    if [ -x "$script_dir/quarnel-turns" ]; then build="$script_dir/.."; else build="$script_dir/../build"; fi
fi
cli="$build/cli/quarnel-cli"
turns="$build/bench/quarnel-turns"
for f in "$cli" "$turns"; do
    [ -x "$f" ] || { echo "window.sh: missing $f; build quarnel-cli and quarnel-turns" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "window.sh: /usr/bin/time is missing (Debian package 'time')" >&2; exit 2; }
size=$(numfmt --from=iec "$size_text")

work=$(mktemp -d "$work_parent/quarnel-window.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
src="$work/source.bin"
echo "making a $(numfmt --to=iec "$size") file of random bytes..." >&2
head -c "$size" /dev/urandom >"$src"

rows=()
# run_window NAME ARGS...: one timed run of the window; its own run time (press to end)
# and longest interval are kept beside the process's.
run_window() {
    local name=$1
    shift
    timed "$name" "$turns" "$@"
    awk '{ printf "%d\n", $13 * 1e9 }' "$work/out.log" >>"$results/$name-run.ns"
    awk '{ print $2 }' "$work/out.log" >>"$results/$name-longest.ms"
}

for chunk in "${chunks[@]}"; do
    results="$work/results-$chunk"
    mkdir -p "$results"
    echo "chunk $chunk: $runs alternating splits by the window and quarnel-cli..." >&2
    for ((i = 0; i < runs; i++)); do
        order=(window cli)
        [ $((i % 2)) = 1 ] && order=(cli window)
        for who in "${order[@]}"; do
            settle "$src"
            mkdir "$work/out-$who-$i"
            if [ "$who" = window ]; then
                run_window split_window split "$src" "$work/out-$who-$i/" "$chunk"
            else
                timed split_cli "$cli" split "$src" --chunk-size "$chunk" --output "$work/out-$who-$i" -q
            fi
        done
    done
    # Removed only now: files made soon after many deletions are slower to create.
    rm -rf "$work"/out-*
    mkdir "$work/pieces" "$work/joined"
    "$cli" split "$src" --chunk-size "$chunk" --output "$work/pieces" -q
    echo "chunk $chunk: $runs alternating joins..." >&2
    for ((i = 0; i < runs; i++)); do
        order=(window cli)
        [ $((i % 2)) = 1 ] && order=(cli window)
        for who in "${order[@]}"; do
            settle "$work/pieces"
            if [ "$who" = window ]; then
                run_window join_window join "$work/pieces/source.bin.splt" "$work/joined/"
            else
                timed join_cli "$cli" join "$work/pieces/source.bin.splt" --output "$work/joined" -q
            fi
            same_bytes "$src" "$work/joined/source.bin"
            rm -f "$work/joined/source.bin"
        done
    done
    rm -rf "$work/pieces" "$work/joined"
    for op in split join; do
        window_run=$(median_seconds "${op}_window-run")
        cli_time=$(median_seconds "${op}_cli")
        r=$(ratio "$window_run" "$cli_time")
        judge "$r" 1.15
        longest=$(sort -g "$results/${op}_window-longest.ms" | tail -n 1)
        rows+=("$(printf '%-5s %-8s %7s %-11s %7s %-11s %7s %5s %-6s %9s' "$op" "$chunk" "$window_run" \
            "$(spread "${op}_window-run")" "$(median_seconds "${op}_window")" "$(spread "${op}_window")" \
            "$cli_time" "$r" "$verdict" "$longest")")
        rows+=("$(printf '      all runs: window %s | process %s | cli %s' "$(all_seconds "${op}_window-run")" \
            "$(all_seconds "${op}_window")" "$(all_seconds "${op}_cli")")")
    done
done

echo
echo "Seconds: median [fastest-slowest] of $runs alternating runs, $(numfmt --to=iec "$size"), $(nproc) cores;"
echo "'window' from the press to the end of the run, 'process' the whole quarnel-turns, 'ratio'"
echo "window / quarnel-cli (target <= 1.15); 'longest' the longest interval between turns (ms)."
printf '%-5s %-8s %7s %-11s %7s %-11s %7s %5s %-6s %9s\n' op chunk window spread process spread cli ratio '<=1.15' longest
for row in "${rows[@]}"; do echo "$row"; done
echo
echo "targets met: $met of $total (load now $(cut -d' ' -f1-3 /proc/loadavg))"
