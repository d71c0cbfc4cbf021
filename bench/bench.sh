#!/usr/bin/env bash
# Times quarnel-cli split and join beside coreutils (split -b, cat) and cp on one
# generated file, in the same run, and prints median wall times with their spread,
# ratios of medians and the peak resident memory of quarnel-cli against the targets.
# Joins are timed twice: with the pieces dropped from the page cache before each run
# (as after copying a set from a stick and unplugging it) and with them read in.
#
#   bench/bench.sh [--cli PATH] [--compare LABEL=PATH]... [--work DIR] [--size BYTES]
#                  [--runs N] [--with-8g] [--keep]
#
# Build quarnel-cli in Release first (cmake -DCMAKE_BUILD_TYPE=Release). Runs as root
# drop the page cache between runs; others only sync. Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
repo_dir=$(cd "$script_dir/.." && pwd)

usage() {
    cat <<'EOF'
Usage: bench.sh [--cli PATH] [--compare LABEL=PATH]... [--work DIR] [--size BYTES] [--runs N] [--with-8g] [--keep]

  --cli PATH            quarnel-cli to measure (default: the build this script was
                        copied into, else build/cli/quarnel-cli of the repository)
  --compare LABEL=PATH  also time another quarnel-cli (an older build, say), in the
                        same runs, under LABEL; may be given more than once
  --work DIR            folder for the test files, on the disk to measure (default: a
                        new folder under /work, else under /tmp); it is removed afterwards
  --size BYTES          size of the generated file, suffixes K, M, G allowed (default 1G)
  --runs N              timed runs of every command, the median is reported (default 5)
  --with-8g             afterwards split and join a sparse 8 GiB file once (chunk sizes
                        300000 and 1G) for the peak memory of large runs
  --keep                keep the work folder
EOF
}

cli=""
labels=()
compares=()
work_parent=""
size_text="1G"
runs=5
with_8g=0
keep=0
add_compare() {
    case "$1" in
    *=*) labels+=("${1%%=*}"); compares+=("${1#*=}") ;;
    *) echo "bench.sh: --compare wants LABEL=PATH" >&2; exit 2 ;;
    esac
}
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --cli=*) cli=${1#*=}; shift ;;
    --compare) add_compare "$2"; shift 2 ;;
    --compare=*) add_compare "${1#*=}"; shift ;;
    --work) work_parent=$2; shift 2 ;;
    --work=*) work_parent=${1#*=}; shift ;;
    --size) size_text=$2; shift 2 ;;
    --size=*) size_text=${1#*=}; shift ;;
    --runs) runs=$2; shift 2 ;;
    --runs=*) runs=${1#*=}; shift ;;
    --with-8g) with_8g=1; shift ;;
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
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
for f in "$cli" ${compares[@]+"${compares[@]}"}; do
    if [ ! -x "$f" ]; then
        echo "bench.sh: no quarnel-cli at $f; build it (Release) or pass --cli" >&2
        exit 2
    fi
done
cli=$(absolute "$cli")
for i in "${!compares[@]}"; do compares[i]=$(absolute "${compares[i]}"); done
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
# The source plus the outputs of every split run, kept until the phase ends.
needed=$((size * ((3 + ${#compares[@]}) * runs + 4) + 256 * 1024 * 1024))
[ "$with_8g" = 1 ] && [ "$needed" -lt $((17 * 1024 * 1024 * 1024)) ] && needed=$((17 * 1024 * 1024 * 1024))
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
# read the given inputs once so that the command finds them in the page cache.
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

# "min-max" of NAME's runs in seconds: the spread shows the noise.
spread() {
    sort -n "$results/$1.ns" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f-%.2f", lo / 1e9, hi / 1e9 }'
}

# All runs of NAME in seconds, in the order they ran.
all_seconds() {
    awk '{ printf "%s%.3f", (NR > 1 ? " " : ""), $1 / 1e9 }' "$results/$1.ns"
}

peak_rss_kib() {
    sort -n "$results/$1.rss" | tail -n 1
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

same_bytes() {
    if ! cmp -s "$1" "$2"; then
        echo "bench.sh: joined file differs from the source: $2" >&2
        exit 1
    fi
}

row() {
    printf '%-5s %-4s %-5s %-10s %-9s %7s %-11s %-8s %5s %-12s %-4s %8s %-4s\n' "$@"
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

# The quarnel-cli of series NAME: "q" is the one measured, "c0", "c1"... the compared.
cli_of() {
    if [ "$1" = q ]; then echo "$cli"; else echo "${compares[${1#c}]}"; fi
}
label_of() {
    if [ "$1" = q ]; then echo quarnel; else echo "${labels[${1#c}]}"; fi
}
quarnels=(q)
for i in "${!compares[@]}"; do quarnels+=("c$i"); done

# add_rows OP MODE BYTES CHUNK BASELINE BASELABEL TARGET LIMIT: a row for every
# quarnel-cli (series OP_MODE_NAME) against BASELINE's median, judged for the one
# measured, then BASELINE's own row.
add_rows() {
    local op=$1 mode=$2 bytes=$3 chunk=$4 base=$5 baselabel=$6 target=$7 limit=$8
    local name median r rss time_verdict rss_verdict
    for name in "${quarnels[@]}"; do
        median=$(median_seconds "${op}_${mode}_$name")
        r=$(ratio "$median" "$(median_seconds "$base")")
        rss=$(peak_rss_kib "${op}_${mode}_$name")
        time_verdict="" rss_verdict=""
        if [ "$name" = q ]; then
            judge "$r" "$limit"
            time_verdict=$verdict
            judge "$rss" 65535
            rss_verdict=$verdict
        fi
        rows+=("$(row "$op" "$mode" "$(numfmt --to=iec "$bytes")" "$chunk" "$(label_of "$name")" "$median" \
            "$(spread "${op}_${mode}_$name")" "$baselabel" "$r" "$([ "$name" = q ] && echo "$target")" "$time_verdict" \
            "$(numfmt --to=iec $((rss * 1024)))" "$rss_verdict")")
        details+=("$(printf '%-5s %-4s %-10s %-9s %s' "$op" "$mode" "$chunk" "$(label_of "$name")" \
            "$(all_seconds "${op}_${mode}_$name")")")
    done
    rows+=("$(row "$op" "$mode" "$(numfmt --to=iec "$bytes")" "$chunk" "$baselabel" "$(median_seconds "$base")" \
        "$(spread "$base")" "" "" "" "" "" "")")
    details+=("$(printf '%-5s %-4s %-10s %-9s %s' "$op" "$mode" "$chunk" "$baselabel" "$(all_seconds "$base")")")
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
        local i order cmd n
        local commands=("${quarnels[@]}" csplit cp)
        n=${#commands[@]}
        for ((i = 0; i < runs; i++)); do
            # Rotate the order so no command always runs first after the drop.
            order=("${commands[@]:i%n}" "${commands[@]:0:i%n}")
            for cmd in "${order[@]}"; do
                settle "$src"
                # Every run writes into a folder of its own and nothing is removed
                # until the phase is over: creating files right after many were
                # deleted is several times slower here and would swamp the figures.
                case "$cmd" in
                csplit)
                    mkdir "$work/csplit$i"
                    timed csplit split -b "$chunk" -d -a 5 "$src" "$work/csplit$i/q_" ;;
                cp)
                    timed cp cp "$src" "$work/copy$i.bin" ;;
                *)
                    mkdir "$work/split-$cmd$i"
                    timed "split_-_$cmd" "$(cli_of "$cmd")" split "$src" --chunk-size "$chunk" \
                        --output "$work/split-$cmd$i" ;;
                esac
            done
        done
        rm -rf "$work"/split-* "$work"/csplit* "$work"/copy*.bin

        # One piece set of each kind to join from.
        settle
        "$cli" split "$src" --chunk-size "$chunk" --output "$qdir" >/dev/null
        split -b "$chunk" -d -a 5 "$src" "$cdir/q_"

        local mode
        commands=("${quarnels[@]}" cat)
        n=${#commands[@]}
        for mode in cold warm; do
            echo "join at $chunk, pieces $mode: $runs runs of quarnel-cli and cat..." >&2
            for ((i = 0; i < runs; i++)); do
                order=("${commands[@]:i%n}" "${commands[@]:0:i%n}")
                for cmd in "${order[@]}"; do
                    case "$cmd" in
                    cat)
                        if [ "$mode" = warm ]; then settle "$cdir"; else settle; fi
                        # shellcheck disable=SC2016 # expanded by the inner shell
                        timed "cat-$mode" bash -c 'cd "$1" && exec cat q_* >"$2"' cat "$cdir" "$jdir/source.bin" ;;
                    *)
                        if [ "$mode" = warm ]; then settle "$qdir"; else settle; fi
                        timed "join_${mode}_$cmd" "$(cli_of "$cmd")" join "$qdir/source.bin.splt" --output "$jdir" ;;
                    esac
                    same_bytes "$src" "$jdir/source.bin"
                    rm -f "$jdir/source.bin"
                done
            done
        done
        rm -rf "$qdir" "$cdir" "$jdir"

        # Small pieces are bound by file creation, measured against split -b; large
        # ones by copying, measured against cp.
        if [ "$chunk" -lt 1000000 ]; then
            add_rows split - "$bytes" "$chunk" csplit "split -b" "<= 0.5" 0.5
        else
            add_rows split - "$bytes" "$chunk" cp cp "<= 1.1" 1.1
        fi
        add_rows join cold "$bytes" "$chunk" cat-cold cat "<= 0.95" 0.95
        add_rows join warm "$bytes" "$chunk" cat-warm cat "<= 0.95" 0.95
    done
    rm -f "$src"
}

# bench_sparse SIZE CHUNK...: one split and one join of a sparse file by each
# quarnel-cli, for the peak memory of large runs; the times are for information.
bench_sparse() {
    local bytes=$1
    shift
    local src="$work/sparse.bin"
    truncate -s "$bytes" "$src"
    local chunk name
    for chunk in "$@"; do
        echo "sparse $(numfmt --to=iec "$bytes") at $chunk: one split and one join each..." >&2
        results="$work/results-sparse-$chunk"
        mkdir -p "$results"
        for name in "${quarnels[@]}"; do
            mkdir "$work/sq" "$work/sj"
            settle
            timed "split-$name" "$(cli_of "$name")" split "$src" --chunk-size "$chunk" --output "$work/sq"
            settle
            timed "join-$name" "$(cli_of "$name")" join "$work/sq/sparse.bin.splt" --output "$work/sj"
            [ "$(stat -c %s "$work/sj/sparse.bin")" = "$bytes" ] || { echo "bench.sh: sparse join lost bytes" >&2; exit 1; }
            rm -rf "$work/sq" "$work/sj"
            local op rss
            for op in split join; do
                rss=$(peak_rss_kib "$op-$name")
                verdict=""
                if [ "$name" = q ]; then judge "$rss" 65535; fi
                rows+=("$(row "$op" sprs "$(numfmt --to=iec "$bytes")" "$chunk" "$(label_of "$name")" \
                    "$(median_seconds "$op-$name")" "" "" "" "" "" "$(numfmt --to=iec $((rss * 1024)))" "$verdict")")
            done
        done
    done
    rm -f "$src"
}

echo "quarnel-cli: $cli" >&2
for i in "${!compares[@]}"; do echo "compared, as ${labels[i]}: ${compares[i]}" >&2; done
echo "work folder: $work ($(stat -f -c %T "$work")), $runs runs each, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
bench_size "$size" 100000 100000000
if [ "$with_8g" = 1 ]; then
    bench_sparse $((8 * 1024 * 1024 * 1024)) 300000 1073741824
fi

echo
echo "Wall time in seconds: median [fastest-slowest] of $runs runs; the ratio is of medians,"
echo "against split -b for small pieces, cp for large ones and cat pieces > out for joins."
echo "Joins: 'cold' drops the page cache before each run, 'warm' reads the pieces first."
echo "Peak RSS is the largest of the runs."
row op mode size chunk who median spread against ratio target time "peak RSS" "RSS<64M"
for row in "${rows[@]}"; do
    echo "$row"
done
echo
echo "Every run, in seconds, in the order they ran:"
for line in "${details[@]}"; do
    echo "$line"
done
echo
echo "targets met: $met of $total (load now $(cut -d' ' -f1-3 /proc/loadavg))"
