#!/usr/bin/env bash
# Measures how long the window goes without an event-loop turn while it splits and
# joins a generated file, at full speed and on a disk throttled to 10 MB/s by the
# LD_PRELOAD shim libquarnel-throttle.so. Target: at most 100 ms.
#
#   bench/turns.sh [--build DIR] [--work DIR] [--size BYTES] [--rate BYTES_PER_S]
#                  [--latency MS] [--runs N] [--keep]
#
# Uses quarnel-turns and libquarnel-throttle.so of one build (Release). Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
repo_dir=$(cd "$script_dir/.." && pwd)

usage() {
    cat <<'EOF'
Usage: turns.sh [--build DIR] [--work DIR] [--size BYTES] [--rate BYTES_PER_S] [--latency MS] [--runs N] [--keep]

  --build DIR   build folder holding bench/quarnel-turns and bench/libquarnel-throttle.so
                (default: the build this script was copied into, else build/)
  --work DIR    folder for the test files (default: a new folder under /work, else /tmp)
  --size BYTES  size of the generated file, suffixes K, M, G allowed (default 200M)
  --rate N      throttled write rate in bytes a second (default 10000000)
  --latency MS  throttled stall of every close of a written file, fsync, rename and link (default 0)
  --runs N      runs of every case; the largest interval of all is reported (default 1)
  --keep        keep the work folder
EOF
}

build=""
work_parent=""
size_text="200M"
rate=10000000
latency=0
runs=1
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --size) size_text=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --latency) latency=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "turns.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
    esac
done

if [ -z "$build" ]; then
    if [ -x "$script_dir/quarnel-turns" ]; then build="$script_dir/.."; else build="$repo_dir/build"; fi
fi
turns="$build/bench/quarnel-turns"
shim="$build/bench/libquarnel-throttle.so"
for f in "$turns" "$shim"; do
    [ -e "$f" ] || { echo "turns.sh: missing $f; build the targets quarnel-turns and quarnel-throttle" >&2; exit 2; }
done
turns=$(cd "$(dirname "$turns")" && pwd)/$(basename "$turns")
shim=$(cd "$(dirname "$shim")" && pwd)/$(basename "$shim")
size=$(numfmt --from=iec "$size_text") || { echo "turns.sh: bad --size '$size_text'" >&2; exit 2; }

if [ -z "$work_parent" ]; then
    if [ -d /work ] && [ -w /work ]; then work_parent=/work; else work_parent=${TMPDIR:-/tmp}; fi
fi
work=$(mktemp -d "$work_parent/quarnel-turns.XXXXXX")
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi; }
trap cleanup EXIT
# Qt wants one; the offscreen platform needs nothing in it.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"

settle() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 1 >/proc/sys/vm/drop_caches; fi
}

echo "making a $(numfmt --to=iec "$size") file of random bytes..." >&2
head -c "$size" /dev/urandom >"$work/source.bin"

printf '%-5s %-10s %-10s %10s %7s %8s  %s\n' op chunk disk "longest ms" turns "run s" "<=100ms"
worst=0
for chunk in 100000000 100000; do
    for disk in full throttled; do
        preload=""
        [ "$disk" = throttled ] && preload=$shim
        for ((i = 0; i < runs; i++)); do
            for op in split join; do
                # The join reads the pieces of the split just before it.
                if [ "$op" = split ]; then
                    rm -rf "$work/pieces"
                    mkdir "$work/pieces"
                fi
                rm -rf "$work/joined"
                mkdir "$work/joined"
                settle
                if [ "$op" = split ]; then
                    set -- split "$work/source.bin" "$work/pieces/" "$chunk"
                else
                    set -- join "$work/pieces/source.bin.splt" "$work/joined/"
                fi
                if ! line=$(LD_PRELOAD=$preload QUARNEL_THROTTLE_BYTES_PER_SECOND=$rate \
                    QUARNEL_THROTTLE_LATENCY_MS=$latency "$turns" "$@"); then
                    echo "turns.sh: failed: $op at $chunk ($disk): $line" >&2
                    exit 1
                fi
                if [ "$op" = join ] && ! cmp -s "$work/source.bin" "$work/joined/source.bin"; then
                    echo "turns.sh: joined file differs from the source" >&2
                    exit 1
                fi
                ms=$(awk '{ print $2 }' <<<"$line")
                count=$(awk '{ print $10 }' <<<"$line")
                seconds=$(awk '{ print $13 }' <<<"$line")
                verdict=pass
                awk -v m="$ms" 'BEGIN { exit !(m > 100) }' && verdict=FAIL
                printf '%-5s %-10s %-10s %10s %7s %8s  %s\n' "$op" "$chunk" "$disk" "$ms" "$count" "$seconds" "$verdict"
                awk -v m="$ms" -v w="$worst" 'BEGIN { exit !(m > w) }' && worst=$ms
            done
            rm -rf "$work/pieces" "$work/joined"
        done
    done
done
# The same window with nothing to do for a minute: what the machine's own load costs
# the event loop (on a busy virtual machine an idle loop, too, misses 100 ms now and then).
line=$("$turns" idle 60)
printf '%-5s %-10s %-10s %10s %7s %8s  %s\n' idle - - "$(awk '{ print $2 }' <<<"$line")" \
    "$(awk '{ print $10 }' <<<"$line")" "$(awk '{ print $13 }' <<<"$line")" "(noise floor)"
echo "worst interval between two turns: $worst ms (rate $rate B/s throttled, latency $latency ms, load $(cut -d' ' -f1-3 /proc/loadavg))"
