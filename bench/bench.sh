#!/usr/bin/env bash
# Times quarnel-cli split and join beside coreutils (split -b, cat) and cp on one
# generated file, in the same run, and prints median wall times, ratios and the
# peak resident memory of quarnel-cli against the project's targets.
#
#   bench/bench.sh [--cli PATH] [--work DIR] [--size BYTES] [--runs N] [--with-4g] [--keep]
#
# Build quarnel-cli in Release first (cmake -DCMAKE_BUILD_TYPE=Release). Runs as root
# drop the page cache between runs; others only sync. Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
repo_dir=$(cd "$script_dir/.." && pwd)

usage() {
    cat <<'EOF'
Usage: bench.sh [--cli PATH] [--work DIR] [--size BYTES] [--runs N] [--with-4g] [--keep]

  --cli PATH    quarnel-cli to measure (default: the build this script was copied
                into, else build/cli/quarnel-cli of the repository)
  --work DIR    folder for the test files, on the disk to measure (default: a new
                folder under /work, else under /tmp); it is removed afterwards
  --size BYTES  size of the generated file, suffixes K, M, G allowed (default 1G)
  --runs N      timed runs of every command, the median is reported (default 3)
  --with-4g     afterwards repeat with a 4 GiB file (chunk sizes 200000 and 1G,
                because 100000-byte pieces would exceed 32767 pieces)
  --keep        keep the work folder
EOF
}

cli=""
work_parent=""
size_text="1G"
runs=3
with_4g=0
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --cli=*) cli=${1#*=}; shift ;;
    --work) work_parent=$2; shift 2 ;;
    --work=*) work_parent=${1#*=}; shift ;;
    --size) size_text=$2; shift 2 ;;
    --size=*) size_text=${1#*=}; shift ;;
    --runs) runs=$2; shift 2 ;;
    --runs=*) runs=${1#*=}; shift ;;
    --with-4g) with_4g=1; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "bench.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
    esac
done

if [ -z "$cli" ]; then
    if [ -x "$script_dir/../cli/quarnel-cli" ]; then
        cli="$script_dir/../cli/quarnel-cli"
    else
        cli="$repo_dir/build/cli/quarnel-cli"
    fi
fi
if [ ! -x "$cli" ]; then
    echo "bench.sh: no quarnel-cli at $cli; build it (Release) or pass --cli" >&2
    exit 2
fi
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
if [ ! -x /usr/bin/time ]; then
    echo "bench.sh: /usr/bin/time is missing (Debian package 'time', see scripts/install-deps.sh)" >&2
    exit 2
fi
size=$(numfmt --from=iec "$size_text") || { echo "bench.sh: bad --size '$size_text'" >&2; exit 2; }
case "$runs" in '' | *[!0-9]* | 0) echo "bench.sh: bad --runs '$runs'" >&2; exit 2 ;; esac

if [ -z "$work_parent" ]; then
    if [ -d /work ] && [ -w /work ]; then work_parent=/work; else work_parent=${TMPDIR:-/tmp}; fi
fi
work=$(mktemp -d "$work_parent/quarnel-bench.XXXXXX")
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi; }
trap cleanup EXIT

if [ "$(stat -f -c %T "$work")" = tmpfs ]; then
    echo "bench.sh: note: $work is on tmpfs, so this measures memory, not a disk" >&2
fi
largest=$size
[ "$with_4g" = 1 ] && largest=$((4 * 1024 * 1024 * 1024))
# The source plus, in the split phase, the outputs of every run.
needed=$((largest * (3 * runs + 1) + 256 * 1024 * 1024))
free=$(($(stat -f -c '%a * %S' "$work")))
if [ "$free" -lt "$needed" ]; then
    echo "bench.sh: $work has $(numfmt --to=iec "$free") free, needs $(numfmt --to=iec "$needed")" >&2
    exit 2
fi

can_drop=0
[ -w /proc/sys/vm/drop_caches ] && can_drop=1
[ "$can_drop" = 0 ] && echo "bench.sh: note: not root, the page cache is not dropped between runs" >&2

# Files created soon after many deletions are slower on ext4, and write-back of
# one run must not land in the next: flush and drop the cache between runs, then
# read the inputs once so every command starts with them in the page cache.
settle() {
    sync
    if [ "$can_drop" = 1 ]; then echo 1 >/proc/sys/vm/drop_caches; fi
    if [ $# -gt 0 ]; then find "$@" -type f -exec cat {} + >/dev/null; fi
}

results=""
# timed NAME COMMAND...: one timed run; wall time in ns and peak RSS in KiB are
# appended to NAME's records.
timed() {
    local name=$1
    shift
    local start end
    start=$(date +%s%N)
    if ! /usr/bin/time -v -o "$work/time.log" "$@" >"$work/out.log" 2>"$work/err.log"; then
        echo "bench.sh: failed: $*" >&2
        cat "$work/out.log" "$work/err.log" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo $((end - start)) >>"$results/$name.ns"
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.log" >>"$results/$name.rss"
}

median_seconds() {
    sort -n "$results/$1.ns" | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f", m / 1e9 }'
}

min_seconds() {
    sort -n "$results/$1.ns" | awk 'NR == 1 { printf "%.3f", $1 / 1e9 }'
}

ratio_of_best() {
    awk -v a="$(min_seconds "$1")" -v b="$(min_seconds "$2")" 'BEGIN { printf "%.2f", a / b }'
}

# All runs of NAME in seconds, in the order they ran: the spread shows the noise.
all_seconds() {
    awk '{ printf "%s%.3f", (NR > 1 ? " " : ""), $1 / 1e9 }' "$results/$1.ns"
}

peak_rss_kib() {
    sort -n "$results/$1.rss" | tail -n 1
}

same_bytes() {
    if ! cmp -s "$1" "$2"; then
        echo "bench.sh: joined file differs from the source: $2" >&2
        exit 1
    fi
}

row() {
    printf '%-6s %-9s %-11s %8s %9s %7s %7s %6s %6s %9s  %-18s %-4s %-4s\n' "$@"
}
rows=()
details=()
verdict=""
met=0
total=0
# judge VALUE LIMIT: sets `verdict` to pass when VALUE <= LIMIT, else FAIL, and counts.
judge() {
    total=$((total + 1))
    if awk -v r="$1" -v l="$2" 'BEGIN { exit !(r <= l) }'; then
        met=$((met + 1))
        verdict=pass
    else
        verdict=FAIL
    fi
}

# bench_size SIZE CHUNK...
bench_size() {
    local bytes=$1
    shift
    local src="$work/source.bin"
    echo "making a $(numfmt --to=iec "$bytes") file of random bytes..." >&2
    head -c "$bytes" /dev/urandom >"$src"

    local chunk
    for chunk in "$@"; do
        if [ "$chunk" -ge "$bytes" ]; then
            echo "skipping chunk $chunk: not smaller than the file" >&2
            continue
        fi
        results="$work/results-$bytes-$chunk"
        mkdir -p "$results"
        local qdir="$work/q" cdir="$work/c" jdir="$work/j"
        mkdir -p "$qdir" "$cdir" "$jdir"

        echo "split at $chunk: $runs runs of quarnel-cli, split -b and cp..." >&2
        local i order cmd
        for ((i = 0; i < runs; i++)); do
            # Rotate the order so no command always runs first after the drop.
            order=("qsplit" "csplit" "cp")
            order=("${order[@]:i%3}" "${order[@]:0:i%3}")
            for cmd in "${order[@]}"; do
                settle "$src"
                # Every run writes into a folder of its own and nothing is removed
                # until the phase is over: creating files right after many were
                # deleted is several times slower here and would swamp the figures.
                case "$cmd" in
                qsplit)
                    mkdir "$work/qsplit$i"
                    timed qsplit "$cli" split "$src" --chunk-size "$chunk" --output "$work/qsplit$i" ;;
                csplit)
                    mkdir "$work/csplit$i"
                    timed csplit split -b "$chunk" -d -a 5 "$src" "$work/csplit$i/q_" ;;
                cp)
                    timed cp cp "$src" "$work/copy$i.bin" ;;
                esac
            done
        done
        rm -rf "$work"/qsplit* "$work"/csplit* "$work"/copy*.bin

        # One piece set of each kind to join from.
        settle
        "$cli" split "$src" --chunk-size "$chunk" --output "$qdir" >/dev/null
        split -b "$chunk" -d -a 5 "$src" "$cdir/q_"

        echo "join at $chunk: $runs runs of quarnel-cli and cat..." >&2
        for ((i = 0; i < runs; i++)); do
            order=("qjoin" "cat")
            order=("${order[@]:i%2}" "${order[@]:0:i%2}")
            for cmd in "${order[@]}"; do
                case "$cmd" in
                qjoin)
                    settle "$qdir"
                    timed qjoin "$cli" join "$qdir/source.bin.splt" --output "$jdir"
                    same_bytes "$src" "$jdir/source.bin" ;;
                cat)
                    settle "$cdir"
                    # shellcheck disable=SC2016 # expanded by the inner shell
                    timed cat bash -c 'cd "$1" && exec cat q_* >"$2"' cat "$cdir" "$jdir/source.bin"
                    same_bytes "$src" "$jdir/source.bin" ;;
                esac
                rm -f "$jdir/source.bin"
            done
        done
        rm -rf "$qdir" "$cdir" "$jdir"

        local qs cs cps qj cj rs rj
        qs=$(median_seconds qsplit)
        cs=$(median_seconds csplit)
        cps=$(median_seconds cp)
        qj=$(median_seconds qjoin)
        cj=$(median_seconds cat)
        rs=$(peak_rss_kib qsplit)
        rj=$(peak_rss_kib qjoin)
        local rs_ratio rc_ratio rj_ratio rjc_ratio target time_verdict best
        rs_ratio=$(awk -v a="$qs" -v b="$cs" 'BEGIN { printf "%.2f", a / b }')
        rc_ratio=$(awk -v a="$qs" -v b="$cps" 'BEGIN { printf "%.2f", a / b }')
        rj_ratio=$(awk -v a="$qj" -v b="$cj" 'BEGIN { printf "%.2f", a / b }')
        rjc_ratio=$(awk -v a="$qj" -v b="$cps" 'BEGIN { printf "%.2f", a / b }')
        # Small pieces are bound by file creation, measured against split -b; large
        # ones by copying, measured against cp.
        if [ "$chunk" -lt 1000000 ]; then
            target="<= 0.6 x split -b"
            best=$(ratio_of_best qsplit csplit)
            judge "$rs_ratio" 0.6
        else
            target="<= 1.2 x cp"
            best=$(ratio_of_best qsplit cp)
            judge "$rc_ratio" 1.2
        fi
        time_verdict=$verdict
        judge "$rs" 65535
        rows+=("$(row split "$(numfmt --to=iec "$bytes")" "$chunk" "$qs" "$cs" "$cps" \
            "$rs_ratio" "$rc_ratio" "$best" "$(numfmt --to=iec $((rs * 1024)))" "$target" "$time_verdict" "$verdict")")
        local name
        for name in qsplit csplit cp qjoin cat; do
            details+=("$(printf '%-6s %-9s %-11s %-7s %s' "$name" "$(numfmt --to=iec "$bytes")" "$chunk" runs: \
                "$(all_seconds "$name")")")
        done
        judge "$rj_ratio" 1.0
        time_verdict=$verdict
        judge "$rj" 65535
        rows+=("$(row join "$(numfmt --to=iec "$bytes")" "$chunk" "$qj" "$cj" "$cps" \
            "$rj_ratio" "$rjc_ratio" "$(ratio_of_best qjoin cat)" "$(numfmt --to=iec $((rj * 1024)))" "<= 1.0 x cat" "$time_verdict" "$verdict")")
    done
    rm -f "$src"
}

echo "quarnel-cli: $cli" >&2
echo "work folder: $work ($(stat -f -c %T "$work")), $runs runs each, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
bench_size "$size" 100000 100000000
if [ "$with_4g" = 1 ]; then
    bench_size $((4 * 1024 * 1024 * 1024)) 200000 1073741824
fi

echo
echo "Median wall time in seconds over $runs runs; coreutils is split -b for split rows and"
echo "cat pieces > out for join rows; best is the target's ratio of the fastest runs (a"
echo "guide on a noisy machine, not judged); peak RSS is the largest of quarnel-cli's runs."
row op size chunk quarnel coreutils cp "q/core" "q/cp" best "peak RSS" target time "RSS<64M"
for row in "${rows[@]}"; do
    echo "$row"
done
echo
echo "Every run, in seconds (qsplit/qjoin: quarnel-cli; csplit: split -b; cat: cat pieces > out):"
for line in "${details[@]}"; do
    echo "$line"
done
echo
echo "targets met: $met of $total (load now $(cut -d' ' -f1-3 /proc/loadavg))"
