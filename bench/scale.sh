#!/bin/bash
# Many one-line files in folders of 1,000: yihuan-cli's first run over them, the same run
# again (which frees the first run's originals), the history of the two, the undo of the
# second, a dry run that would change every file back, and the find | xargs sed pipeline
# on the same files; then the window adding the folder. Wall time, CPU and peak memory of
# each, from /usr/bin/time -v.
#
#   bench/scale.sh [FILES] [BUILD_DIR]      FILES defaults to 300000; 1000000 for a million
#
# Environment: SCALE_DIR (where the files go, default a new folder under /var/tmp; it
# should be on the same file system as the journal, as a user's home usually is),
# SCALE_WINDOW=0 to leave out the window, SCALE_CLI=0 the command line, SCALE_BENCH (the bench_run built by `make bench`),
# SCALE_WINDOW_BASELINE (another build's bench_run, measured on the same folder right after
# this one's), SCALE_WINDOW_TIMEOUT (seconds before a window benchmark is given up, 900).
set -euo pipefail

files=${1:-300000}
build=${2:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
cli=$here/$build/src/yihuan-cli
bench=${SCALE_BENCH:-$here/build-bench/bench/bench_run}
[ "${SCALE_CLI:-1}" = 0 ] || [ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 2; }

root=$(mktemp -d "${SCALE_DIR:-/var/tmp}/yihuan-scale.XXXXXX")
cleanup() { rm -rf "$root"; }
trap cleanup EXIT INT TERM

corpus=$root/files
export XDG_DATA_HOME=$root/data
mkdir -p "$corpus" "$XDG_DATA_HOME"
echo key > "$root/k.txt"
echo KEY > "$root/r.txt"

make_files() {
    python3 - "$corpus" "$files" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
line = b"one line with key in it\n"
for i in range(n):
    folder = os.path.join(root, "d%04d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(folder, exist_ok=True)
    fd = os.open(os.path.join(folder, "f%06d.txt" % i), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, line)
    os.close(fd)
EOF
    sync
}

# Prints: label, wall seconds, user+system CPU seconds, peak resident MB.
measure() {
    local label=$1
    shift
    local log=$root/time.log
    /usr/bin/time -v -o "$log" "$@" > "$root/out.log" 2> "$root/err.log" || true
    awk -v label="$label" '
        /Elapsed \(wall clock\)/ { n = split($NF, t, ":"); wall = (n == 3) ? t[1]*3600 + t[2]*60 + t[3] : t[1]*60 + t[2] }
        /User time/ { cpu += $NF }
        /System time/ { cpu += $NF }
        /Maximum resident set size/ { mb = $NF / 1024 }
        END { printf "%-36s %9.1f %9.1f %9.0f\n", label, wall, cpu, mb }' "$log"
}

wall_of() { awk '/Elapsed \(wall clock\)/ { n = split($NF, t, ":"); print (n == 3) ? t[1]*3600 + t[2]*60 + t[3] : t[1]*60 + t[2] }' "$root/time.log"; }

series() {
    local name=$1 program=$2
    rm -rf "$XDG_DATA_HOME"
    mkdir -p "$XDG_DATA_HOME"
    sync
    local run=("$program" --keywords "$root/k.txt" --replacements "$root/r.txt" --recursive "$corpus")
    measure "$name, first run" "${run[@]}"
    first=$(wall_of)
    tail -n 1 "$root/out.log" | sed 's/^/    /'
    measure "$name, same files again" "${run[@]}"
    again=$(wall_of)
    tail -n 1 "$root/out.log" | sed 's/^/    /'
    measure "$name --history" "$program" --history
    sed 's/^/    /' "$root/out.log"
    measure "$name --undo" "$program" --undo
    undo=$(wall_of)
    tail -n 1 "$root/out.log" | sed 's/^/    /'
    # Every file would change back: the report lists them all, in order.
    measure "$name --dry-run" "$program" --keywords "$root/r.txt" --replacements "$root/k.txt" \
        --recursive "$corpus" --dry-run
    tail -n 2 "$root/out.log" | sed 's/^/    /'
}

ratios() {
    awk -v n="$1" -v f="$first" -v a="$again" -v u="$undo" -v s="$sed" 'BEGIN {
        printf "%s: first run %.2fx the pipeline, repeated run %.2fx, undo %.2fx the repeated run\n",
            n, f / s, a / s, u / a }'
}

echo "$files one-line files in folders of 1,000 under $corpus"
make_files
printf "%-36s %9s %9s %9s\n" "" "wall s" "CPU s" "peak MB"
if [ "${SCALE_CLI:-1}" != 0 ]; then
    series yihuan-cli "$cli"
    mine=("$first" "$again" "$undo")
    sync
    measure "find | xargs -0 -P2 sed -i" \
        sh -c 'find "$1" -type f -print0 | xargs -0 -P2 sed -i s/key/KEY/g' sh "$corpus"
    sed=$(wall_of)
    # Another build's yihuan-cli (SCALE_BASELINE) on the same files, after the pipeline.
    if [ -n "${SCALE_BASELINE:-}" ]; then
        series baseline "$SCALE_BASELINE"
        ratios baseline
    fi
    first=${mine[0]} again=${mine[1]} undo=${mine[2]}
    ratios yihuan-cli
fi

# The window: adding the folder (longest freeze of the event loop, peak memory with the list
# loaded), then a run through it over the files made read-only, which marks every row.
window_bench() {
    local label=$1 program=$2 case
    for case in BM_AddGivenFolder BM_MarkEveryRow; do
        YIHUAN_BENCH_FOLDER=$corpus YIHUAN_BENCH_FILES=$files QT_QPA_PLATFORM=offscreen \
            measure "$label, ${case#BM_}" \
            timeout --signal=KILL "${SCALE_WINDOW_TIMEOUT:-900}" "$program" --benchmark_filter="^$case/"
        if grep -q "$case" "$root/out.log"; then
            grep -E "^$case" "$root/out.log" | sed 's/^/    /'
        else
            echo "    not done within ${SCALE_WINDOW_TIMEOUT:-900} s"
            # A killed run leaves the files read-only.
            chmod -R u+w "$corpus"
        fi
    done
}

if [ "${SCALE_WINDOW:-1}" != 0 ]; then
    if [ -x "$bench" ]; then
        rm -rf "$XDG_DATA_HOME"
        mkdir -p "$XDG_DATA_HOME"
        window_bench window "$bench"
        if [ -n "${SCALE_WINDOW_BASELINE:-}" ]; then
            rm -rf "$XDG_DATA_HOME"
            mkdir -p "$XDG_DATA_HOME"
            window_bench "baseline window" "$SCALE_WINDOW_BASELINE"
        fi
    else
        echo "no $bench (make bench): window left out"
    fi
fi
