#!/usr/bin/env bash
# Times quarnel-cli split and join beside coreutils (split -b, cat) and cp on one
# generated file, in the same run, and prints median wall times with their spread,
# ratios of medians and the peak resident memory of quarnel-cli against the targets.
# Joins are timed twice: with the pieces dropped from the page cache before each run
# (as after copying a set from a stick and unplugging it) and with them read in.
# Run as root, it does the same on an XFS (reflink=1) and a btrfs image it makes and
# loop-mounts itself, where copies can clone: there joins, checked joins too, are
# judged against cat and against a join by FICLONERANGE alone (xfs_io reflink), and
# the pieces and the joined file must share their blocks with the source. Peak memory
# is judged at 32,767 pieces and (with --with-8g) at 8 GiB, with and without checksums.
# What checksums cost beside the limits of the machine: bench/checksum.sh.
#
#   bench/bench.sh [--cli PATH] [--compare LABEL=PATH]... [--work DIR] [--size BYTES]
#                  [--runs N] [--with-8g] [--no-clone-fs] [--keep]
#
# Build quarnel-cli in Release first (cmake -DCMAKE_BUILD_TYPE=Release). Runs as root
# drop the page cache between runs; others only sync. Needs the Debian packages time
# and, for the cloning file systems, xfsprogs, btrfs-progs and e2fsprogs (filefrag).
# Not part of ctest.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
repo_dir=$(cd "$script_dir/.." && pwd)
# shellcheck source=bench/common.sh
. "$script_dir/common.sh"

usage() {
    cat <<'EOF'
Usage: bench.sh [--cli PATH] [--compare LABEL=PATH]... [--work DIR] [--size BYTES] [--runs N] [--with-8g]
                [--no-clone-fs] [--keep]

  --cli PATH            quarnel-cli to measure (default: the build this script was
                        copied into, else build/cli/quarnel-cli of the repository)
  --compare LABEL=PATH  also time another quarnel-cli (an older build, say), in the
                        same runs, under LABEL; may be given more than once
  --work DIR            folder for the test files, on the disk to measure (default: a
                        new folder under /work, else under /tmp); it is removed afterwards
  --size BYTES          size of the generated file, suffixes K, M, G allowed (default 1G)
  --runs N              timed runs of every command, the median is reported (default 5)
  --with-8g             afterwards split and join a sparse 8 GiB file once (chunk sizes
                        300000 and 1G), with and without checksums, for the peak memory
                        of large runs
  --no-clone-fs         leave out the XFS and btrfs images
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
clone_fs=1
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
    --no-clone-fs) clone_fs=0; shift ;;
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
# What the run mounted is unmounted whatever happens, before the folder goes.
mounts=()
cleanup() {
    local mount
    for mount in ${mounts[@]+"${mounts[@]}"}; do
        umount "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
    done
    if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi
}
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

[ "$can_drop" = 0 ] && echo "bench.sh: note: not root, the page cache is not dropped between runs" >&2

results=""
# The file system of the rows being added.
# findmnt tells ext4 from ext2 and ext3, stat does not.
work_fs=$(findmnt -n -o FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")
fs_label=$work_fs

row() {
    printf '%-5s %-5s %-5s %-5s %-10s %-9s %7s %-11s %-9s %5s %-12s %-4s %8s %-4s\n' "$@"
}
skipped=()
rows=()
details=()

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
# measured (the time only with a LIMIT), then BASELINE's own row.
add_rows() {
    local op=$1 mode=$2 bytes=$3 chunk=$4 base=$5 baselabel=$6 target=$7 limit=$8
    local name median r rss time_verdict rss_verdict
    for name in "${quarnels[@]}"; do
        median=$(median_seconds "${op}_${mode}_$name")
        r=$(ratio "$median" "$(median_seconds "$base")")
        rss=$(peak_rss_kib "${op}_${mode}_$name")
        time_verdict="" rss_verdict=""
        if [ "$name" = q ]; then
            if [ -n "$limit" ]; then
                judge "$r" "$limit"
                time_verdict=$verdict
            fi
            judge "$rss" 65535
            rss_verdict=$verdict
        fi
        rows+=("$(row "$fs_label" "$op" "$mode" "$(numfmt --to=iec "$bytes")" "$chunk" "$(label_of "$name")" \
            "$median" "$(spread "${op}_${mode}_$name")" "$baselabel" "$r" "$([ "$name" = q ] && echo "$target")" \
            "$time_verdict" "$(numfmt --to=iec $((rss * 1024)))" "$rss_verdict")")
        details+=("$(printf '%-5s %-5s %-4s %-10s %-9s %s' "$fs_label" "$op" "$mode" "$chunk" "$(label_of "$name")" \
            "$(all_seconds "${op}_${mode}_$name")")")
    done
    add_base_row "$op" "$mode" "$bytes" "$chunk" "$base" "$baselabel"
}

# add_base_row OP MODE BYTES CHUNK SERIES LABEL: the row of a command measured beside.
add_base_row() {
    rows+=("$(row "$fs_label" "$1" "$2" "$(numfmt --to=iec "$3")" "$4" "$6" "$(median_seconds "$5")" \
        "$(spread "$5")" "" "" "" "" "" "")")
    details+=("$(printf '%-5s %-5s %-4s %-10s %-9s %s' "$fs_label" "$1" "$2" "$4" "$6" "$(all_seconds "$5")")")
}

# add_check WHAT OK: a row of a yes-or-no target, judged.
add_check() {
    judge "$2" 1
    rows+=("$(row "$fs_label" "$1" "" "" "" "" "" "" "" "" "" "$verdict" "" "")")
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
        add_rows join cold "$bytes" "$chunk" cat-cold cat "<= 1.0" 1.0
        add_rows join warm "$bytes" "$chunk" cat-warm cat "<= 1.05" 1.05
    done
    rm -f "$src"
}

# bench_memory SOURCE LABEL CHUNK...: one split of SOURCE and one join of its pieces by
# each quarnel-cli, without and with checksums, for the peak memory of large runs and
# of many pieces; the times are for information.
bench_memory() {
    local src=$1 label=$2
    shift 2
    local bytes chunk name sums op rss
    bytes=$(stat -c %s "$src")
    for chunk in "$@"; do
        echo "$label $(numfmt --to=iec "$bytes") at $chunk: one split and one join each, without and with checksums..." >&2
        results="$work/results-$label-$chunk"
        mkdir -p "$results"
        for name in "${quarnels[@]}"; do
            for sums in plain sums; do
                local extra=()
                [ "$sums" = sums ] && extra=(--checksum)
                mkdir "$work/sq" "$work/sj"
                settle
                timed "split-$sums-$name" "$(cli_of "$name")" split "$src" --chunk-size "$chunk" --output "$work/sq" \
                    "${extra[@]}"
                settle
                timed "join-$sums-$name" "$(cli_of "$name")" join "$work/sq/$(basename "$src").splt" --output "$work/sj"
                [ "$(stat -c %s "$work/sj/$(basename "$src")")" = "$bytes" ] ||
                    { echo "bench.sh: the join of $label lost bytes" >&2; exit 1; }
                rm -rf "$work/sq" "$work/sj"
                for op in split join; do
                    rss=$(peak_rss_kib "$op-$sums-$name")
                    verdict=""
                    if [ "$name" = q ]; then judge "$rss" 65535; fi
                    rows+=("$(row "$fs_label" "$op" "$label$([ "$sums" = sums ] && echo +s)" \
                        "$(numfmt --to=iec "$bytes")" "$chunk" "$(label_of "$name")" \
                        "$(median_seconds "$op-$sums-$name")" "" "" "" "" "" "$(numfmt --to=iec $((rss * 1024)))" \
                        "$verdict")")
                done
            done
        done
    done
}

# The first, a middle and the last piece of a set each share blocks with another file.
pieces_share() {
    local dir=$1 count
    count=$(find "$dir" -name 'source.bin_splt*' | wc -l)
    local number
    for number in 1 $(((count + 1) / 2)) "$count"; do
        [ "$(shared_extents "$dir/source.bin_splt$number")" -gt 0 ] || return 1
    done
}

# bench_clone_fs TYPE SIZE CHUNK...: splits and joins on a loop-mounted image of TYPE
# (xfs with reflink, btrfs) made for the purpose, beside split -b, cat and a join by
# FICLONERANGE alone; skipped, saying why, where it cannot be made or mounted.
bench_clone_fs() {
    local type=$1 bytes=$2
    shift 2
    local image="$work/$type.img" mnt="$work/mnt-$type" skip=""
    if [ "$(id -u)" != 0 ]; then
        skip="not root, cannot mount an image"
    elif ! command -v "mkfs.$type" >/dev/null; then
        skip="mkfs.$type is missing (Debian package $([ "$type" = xfs ] && echo xfsprogs || echo btrfs-progs))"
    elif ! command -v filefrag >/dev/null || ! command -v xfs_io >/dev/null; then
        skip="filefrag or xfs_io is missing (Debian packages e2fsprogs, xfsprogs)"
    fi
    if [ -z "$skip" ]; then
        # The source, two sets and a joined file where nothing clones, and room to spare.
        truncate -s $((bytes * 6 + 1024 * 1024 * 1024)) "$image"
        case "$type" in
        xfs) mkfs.xfs -q -m reflink=1 "$image" >/dev/null 2>&1 || skip="mkfs.xfs -m reflink=1 failed" ;;
        btrfs) mkfs.btrfs -q "$image" >/dev/null 2>&1 || skip="mkfs.btrfs failed" ;;
        esac
    fi
    if [ -z "$skip" ]; then
        mkdir "$mnt"
        if mount -o loop "$image" "$mnt" 2>"$work/mount.log"; then
            mounts+=("$mnt")
        else
            skip="cannot mount a loop device here: $(head -n 1 "$work/mount.log")"
        fi
    fi
    if [ -n "$skip" ]; then
        echo "bench.sh: skipping the $type rows: $skip" >&2
        skipped+=("$type: $skip")
        rm -f "$image"
        return
    fi
    fs_label=$type
    local src="$mnt/source.bin"
    echo "making a $(numfmt --to=iec "$bytes") file of random bytes on $type..." >&2
    head -c "$bytes" /dev/urandom >"$src"

    local chunk i cmd n order aligned
    for chunk in "$@"; do
        if [ "$chunk" -ge "$bytes" ]; then
            continue
        fi
        aligned=$((chunk % 4096 == 0))
        results="$work/results-$type-$chunk"
        mkdir -p "$results"
        echo "$type, split at $chunk: $runs runs of quarnel-cli (also --checksum) and split -b..." >&2
        local commands=()
        for cmd in "${quarnels[@]}"; do commands+=("$cmd" "sum-$cmd"); done
        commands+=(csplit)
        n=${#commands[@]}
        for ((i = 0; i < runs; i++)); do
            order=("${commands[@]:i%n}" "${commands[@]:0:i%n}")
            for cmd in "${order[@]}"; do
                settle "$src"
                mkdir "$mnt/out"
                case "$cmd" in
                csplit) timed csplit split -b "$chunk" -d -a 5 "$src" "$mnt/out/q_" ;;
                sum-*) timed "splitc_-_${cmd#sum-}" "$(cli_of "${cmd#sum-}")" split "$src" --chunk-size "$chunk" \
                    --output "$mnt/out" --checksum ;;
                *) timed "split_-_$cmd" "$(cli_of "$cmd")" split "$src" --chunk-size "$chunk" --output "$mnt/out" ;;
                esac
                rm -rf "$mnt/out"
            done
        done

        local qdir="$mnt/q" sdir="$mnt/qs" cdir="$mnt/c" jdir="$mnt/j"
        mkdir -p "$qdir" "$sdir" "$cdir" "$jdir"
        "$cli" split "$src" --chunk-size "$chunk" --output "$qdir" >/dev/null
        "$cli" split "$src" --chunk-size "$chunk" --output "$sdir" --checksum >/dev/null
        split -b "$chunk" -d -a 5 "$src" "$cdir/q_"
        sync
        if [ "$aligned" = 1 ]; then
            add_check "pieces of split share blocks" "$(pieces_share "$qdir" && echo 1 || echo 0)"
            add_check "pieces of split --checksum share blocks" "$(pieces_share "$sdir" && echo 1 || echo 0)"
        fi
        # The prototype: every piece cloned into place by one xfs_io, nothing else.
        local reflinks=() offset=0 number length count
        count=$(find "$qdir" -name 'source.bin_splt*' | wc -l)
        for ((number = 1; number <= count; number++)); do
            length=$(stat -c %s "$qdir/source.bin_splt$number")
            reflinks+=(-c "reflink $qdir/source.bin_splt$number 0 $offset $length")
            offset=$((offset + length))
        done

        local mode
        commands=()
        for cmd in "${quarnels[@]}"; do commands+=("$cmd" "sum-$cmd"); done
        commands+=(cat)
        [ "$aligned" = 1 ] && commands+=(reflink)
        n=${#commands[@]}
        for mode in cold warm; do
            echo "$type, join at $chunk, pieces $mode: $runs runs of quarnel-cli (also checked), cat and xfs_io reflink..." >&2
            for ((i = 0; i < runs; i++)); do
                order=("${commands[@]:i%n}" "${commands[@]:0:i%n}")
                for cmd in "${order[@]}"; do
                    local dir=$qdir
                    case "$cmd" in cat) dir=$cdir ;; sum-*) dir=$sdir ;; esac
                    if [ "$mode" = warm ]; then settle "$dir"; else settle; fi
                    case "$cmd" in
                    cat)
                        # shellcheck disable=SC2016 # expanded by the inner shell
                        timed "cat-$mode" bash -c 'cd "$1" && exec cat q_* >"$2"' cat "$cdir" "$jdir/source.bin" ;;
                    reflink) timed "reflink-$mode" xfs_io -f "${reflinks[@]}" "$jdir/source.bin" ;;
                    sum-*) timed "joinc_${mode}_${cmd#sum-}" "$(cli_of "${cmd#sum-}")" join "$sdir/source.bin.splt" \
                        --output "$jdir" ;;
                    *) timed "join_${mode}_$cmd" "$(cli_of "$cmd")" join "$qdir/source.bin.splt" --output "$jdir" ;;
                    esac
                    same_bytes "$src" "$jdir/source.bin"
                    if [ "$aligned" = 1 ] && [ "$i" = 0 ] && [ "$mode" = cold ] && [ "$cmd" = q ]; then
                        sync
                        add_check "join shares the pieces' blocks" "$([ "$(shared_extents "$jdir/source.bin")" -gt 0 ] && echo 1 || echo 0)"
                    fi
                    if [ "$aligned" = 1 ] && [ "$i" = 0 ] && [ "$mode" = cold ] && [ "$cmd" = sum-q ]; then
                        sync
                        add_check "checked join shares the pieces' blocks" "$([ "$(shared_extents "$jdir/source.bin")" -gt 0 ] && echo 1 || echo 0)"
                    fi
                    rm -f "$jdir/source.bin"
                done
            done
        done
        rm -rf "$qdir" "$sdir" "$cdir" "$jdir"

        add_rows split - "$bytes" "$chunk" csplit "split -b" "" ""
        add_rows splitc - "$bytes" "$chunk" csplit "split -b" "" ""
        for mode in cold warm; do
            add_rows join "$mode" "$bytes" "$chunk" "cat-$mode" cat "<= 1.5" 1.5
            add_rows joinc "$mode" "$bytes" "$chunk" "cat-$mode" cat "<= 1.5" 1.5
            if [ "$aligned" = 1 ]; then
                add_rows join "$mode" "$bytes" "$chunk" "reflink-$mode" reflink "<= 2" 2
                add_rows joinc "$mode" "$bytes" "$chunk" "reflink-$mode" reflink "<= 2" 2
            fi
        done
    done
    umount "$mnt"
    mounts=("${mounts[@]/$mnt/}")
    rm -rf "$mnt" "$image"
    fs_label=$work_fs
}

echo "quarnel-cli: $cli" >&2
for i in "${!compares[@]}"; do echo "compared, as ${labels[i]}: ${compares[i]}" >&2; done
echo "work folder: $work ($(stat -f -c %T "$work")), $runs runs each, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
bench_size "$size" 100000 100000000
if [ "$clone_fs" = 1 ]; then
    bench_clone_fs xfs "$size" 1048576 100000
    bench_clone_fs btrfs "$size" 1048576 100000
fi
# The most pieces a list may hold, of a sparse file of the size asked for.
truncate -s "$size" "$work/pieces.bin"
bench_memory "$work/pieces.bin" most $(((size + 32766) / 32767))
rm -f "$work/pieces.bin"
if [ "$with_8g" = 1 ]; then
    truncate -s $((8 * 1024 * 1024 * 1024)) "$work/sparse.bin"
    bench_memory "$work/sparse.bin" 8g 300000 1073741824
    rm -f "$work/sparse.bin"
fi

echo
echo "Wall time in seconds: median [fastest-slowest] of $runs runs; the ratio is of medians,"
echo "against split -b for small pieces, cp for large ones and cat pieces > out for joins."
echo "Joins: 'cold' drops the page cache before each run, 'warm' reads the pieces first."
echo "Peak RSS is the largest of the runs. On xfs and btrfs, 'joinc' is the join checked against"
echo "the checksum file, 'splitc' split --checksum; 'most' splits into the most pieces a list"
echo "holds, '8g' a sparse 8 GiB file, '+s' with checksums."
for line in ${skipped[@]+"${skipped[@]}"}; do echo "skipped: $line"; done
row fs op mode size chunk who median spread against ratio target time "peak RSS" "RSS<64M"
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
