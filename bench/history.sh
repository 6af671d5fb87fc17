#!/usr/bin/env bash
# What keeping a history of runs costs: yihuan-cli replacing in FILES files of SIZE bytes,
# once with the journal keeping the last 10 runs and once keeping only the last, each on
# its own copy of the files and in its own journal. Each side first runs until its history
# is full, so that every timed run also drops its oldest run; then the two sides take turns,
# A B A B ..., and each pair gives a ratio of wall times. Every run changes every file
# (cat → dog, then dog → cat). Disk: the journal folder's size once a side's history is full
# (du, so hard links to originals count once, as the disk holds them).
#
#   bench/history.sh [path/to/yihuan-cli]
#
# Environment: FILES (default 1000), SIZE (bytes a file, default 65536), PAIRS (timed pairs,
# default 7), WORK (scratch folder, default a new one under /var/tmp, on the journal's own
# disk, removed afterwards unless KEEP=1).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "${1:-$here/../build/src/yihuan-cli}")
files=${FILES:-1000}
size=${SIZE:-65536}
pairs=${PAIRS:-7}
work=${WORK:-$(mktemp -d /var/tmp/yihuan-history.XXXXXX)}
mkdir -p "$work"
if [[ -z ${WORK:-} && -z ${KEEP:-} ]]; then
    trap 'rm -rf "$work"' EXIT
fi
[[ -x $cli ]] || { echo "history.sh: no yihuan-cli at $cli (build it first)" >&2; exit 2; }

printf 'cat\n' >"$work/cat"
printf 'dog\n' >"$work/dog"
line=$(printf 'the cat sat on the mat %.0s' 1 2 3)
for side in keep10 keep1; do
    mkdir -p "$work/$side/files" "$work/$side/home"
    # CR LF, as a run writes them, so that each run rewrites the same number of bytes.
    (yes "$line" | sed 's/$/\r/' || true) | head -c "$size" >"$work/one"
    for ((i = 0; i < files; ++i)); do
        cp "$work/one" "$work/$side/files/$i.txt"
    done
done

# One run of a side: the direction flips each time, so that every run changes every file.
run() {
    local side=$1 runs=$2 from to
    if [[ -e $work/$side/flip ]]; then from=dog to=cat; rm "$work/$side/flip"
    else from=cat to=dog; touch "$work/$side/flip"; fi
    XDG_DATA_HOME=$work/$side/home "$cli" --keywords "$work/$from" --replacements "$work/$to" \
        --keep-runs "$runs" "$work/$side/files" >/dev/null 2>&1
}
now() { date +%s.%N; }

for ((i = 0; i < 10; ++i)); do
    run keep10 10
    run keep1 1
done
sync

ratios=()
a_times=()
b_times=()
for ((i = 0; i < pairs; ++i)); do
    t0=$(now); run keep10 10; t1=$(now); sync
    t2=$(now); run keep1 1; t3=$(now); sync
    a=$(echo "$t1 - $t0" | bc -l); b=$(echo "$t3 - $t2" | bc -l)
    a_times+=("$a"); b_times+=("$b")
    ratios+=("$(echo "$a / $b" | bc -l)")
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
journal() { du -sb "$work/$1/home" | cut -f1; }
printf 'files: %d x %d bytes, %d timed pairs\n' "$files" "$size" "$pairs"
printf 'wall, median s:    10 runs kept %.3f   1 run kept %.3f\n' "$(median "${a_times[@]}")" \
    "$(median "${b_times[@]}")"
printf 'wall ratio 10/1, pair by pair: median %.3f  min %.3f  max %.3f\n' \
    "$(median "${ratios[@]}")" "$(printf '%s\n' "${ratios[@]}" | sort -g | head -1)" \
    "$(printf '%s\n' "${ratios[@]}" | sort -g | tail -1)"
printf 'journal on disk:   10 runs kept %d MB   1 run kept %d MB\n' \
    "$(($(journal keep10) >> 20))" "$(($(journal keep1) >> 20))"
