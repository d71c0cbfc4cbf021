# shellcheck shell=bash disable=SC2154,SC2034
# Shared by bench.sh and checksum.sh (sourced, not run): timing one command, medians
# and spreads of a series, ratios and targets. Expects `work` (the work folder) and
# `results` (a folder for the series of the current phase) to be set.

can_drop=0
[ -w /proc/sys/vm/drop_caches ] && can_drop=1

# Files created soon after many deletions are slower on ext4, and write-back of
# one run must not land in the next: flush and drop the cache between runs, then
# read the given inputs once so that the command finds them in the page cache.
settle() {
    sync
    if [ "$can_drop" = 1 ]; then echo 1 >/proc/sys/vm/drop_caches; fi
    if [ $# -gt 0 ]; then find "$@" -type f -exec cat {} + >/dev/null; fi
}

# timed NAME COMMAND...: one timed run; wall time in ns, peak RSS in KiB and the CPU
# time (user + system) in ns are appended to NAME's records.
timed() {
    local name=$1
    shift
    local start end
    start=$(date +%s%N)
    if ! /usr/bin/time -v -o "$work/time.log" "$@" >"$work/out.log" 2>"$work/err.log"; then
        echo "$(basename "$0"): failed: $*" >&2
        cat "$work/out.log" "$work/err.log" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo $((end - start)) >>"$results/$name.ns"
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.log" >>"$results/$name.rss"
    awk -F': ' '/(User|System) time \(seconds\)/ { t += $2 } END { printf "%.0f\n", t * 1e9 }' "$work/time.log" \
        >>"$results/$name.cpu"
}

# The median CPU time (user + system) of NAME's runs in seconds.
median_cpu_seconds() {
    sort -n "$results/$1.cpu" | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f", m / 1e9 }'
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

# The larger of the numbers given.
largest() {
    printf '%s\n' "$@" | sort -g | tail -n 1
}

# An awk expression over the numbers given as a, b, c...: compute 'EXPR' A B C...
compute() {
    local expression=$1
    shift
    awk -v a="${1:-0}" -v b="${2:-0}" -v c="${3:-0}" "BEGIN { printf \"%.3f\", $expression }"
}

same_bytes() {
    if ! cmp -s "$1" "$2"; then
        echo "$(basename "$0"): joined file differs from the source: $2" >&2
        exit 1
    fi
}

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

# The extents of FILE its file system marks as shared with another file (filefrag).
shared_extents() {
    filefrag -v "$1" 2>/dev/null | grep -c shared || true
}
