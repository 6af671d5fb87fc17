#!/usr/bin/env bash
# Kills yihuan-cli (SIGKILL, at a random moment) while it rewrites many files, again and
# again. After each kill it counts torn files (neither the original nor the complete new
# content) and temporary files left behind, then undoes the killed run with
# `yihuan-cli --undo` and checks every file byte for byte against its original.
#
#   bench/kill-trials.sh [path/to/yihuan-cli] [MODE]
#
# MODE (default "rename"):
#   rename           the run above: files replaced by a new file renamed over them
#   inplace-run      files in a folder that takes no new file (chattr +i, needs root), so
#                    they are overwritten where they stand; the kill lands in the run, then
#                    another run starts (which must repair first) and undo follows twice
#   inplace-undo     the same files, the run completes, the kill lands in its undo, then
#                    undo again
#   inplace-no-undo  the run goes with --no-undo; the next run must repair what it tore
#   concurrent       ROUNDS rounds of 4 runs of 200 files each started together, each in a
#                    folder of its own, then undo until nothing is left: files neither
#                    restored nor warned of (by a run's "cannot be undone" or by undo)
#   all              the four above the first
#
# Environment: TRIALS (default 30), FILES (default 1000), ROUNDS (default 60), WORK
# (scratch folder, default a new one under /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "${1:-$here/../build/src/yihuan-cli}")
mode=${2:-rename}
trials=${TRIALS:-30}
files=${FILES:-1000}
work=${WORK:-$(mktemp -d /tmp/yihuan-kill.XXXXXX)}
[[ -z ${WORK:-} ]] && trap 'rm -rf "$work"' EXIT
[[ -x $cli ]] || { echo "kill-trials.sh: no yihuan-cli at $cli (build it first)" >&2; exit 2; }

export XDG_DATA_HOME=$work/data

mkdir -p "$work"
if [[ $mode != rename ]]; then
    python3 "$here/kill-trials-inplace.py" "$cli" "$mode" "$work" "${TRIALS:-30}" "${ROUNDS:-60}"
    exit
fi
# Every file gets a line at its end; with its format kept, nothing else of it changes.
appended='【追加】appended'
printf '%s\n' '$' >"$work/keys.txt"
printf '%s\n' "$appended" >"$work/replacements.txt"
mkdir -p "$work/originals"
python3 - "$work/originals" "$files" <<'PY'
import os, random, sys
folder, count = sys.argv[1], int(sys.argv[2])
random.seed(1)
words = ["批量", "替换", "文件", "subtitle", "config", "数据", "line", "编码"]
for i in range(count):
    size = random.randint(1, 64 * 1024)
    text, length = [], 0
    while length < size:
        text.append(random.choice(words) + random.choice([" ", "\n", "，"]))
        length += len(text[-1])
    with open(os.path.join(folder, f"{i:04}.txt"), "w", encoding="utf-8") as f:
        f.write("".join(text))
PY

check() { # mode: after-kill | after-undo
    python3 - "$work/originals" "$work/run" "$1" "$appended" <<'PY'
import os, sys
originals, run, mode, appended = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4].encode()
replaced = torn = differ = 0
for name in sorted(os.listdir(originals)):
    old = open(os.path.join(originals, name), "rb").read()
    now = open(os.path.join(run, name), "rb").read()
    if now == old:
        continue
    if mode == "after-kill" and now == old + appended:
        replaced += 1
    elif mode == "after-kill":
        torn += 1
    else:
        differ += 1
left = [n for n in os.listdir(run) if n.startswith(".")]
print(replaced, torn, len(left)) if mode == "after-kill" else print(differ, len(left))
PY
}

total_torn=0
total_differ=0
mid_run=0
for trial in $(seq 1 "$trials"); do
    rm -rf "$work/run"
    cp -a "$work/originals" "$work/run"
    "$cli" --regex --keep-format --keywords "$work/keys.txt" \
        --replacements "$work/replacements.txt" "$work/run" >/dev/null &
    pid=$!
    sleep "0.$((RANDOM % 90 + 10))"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    read -r replaced torn left < <(check after-kill)
    undo=$("$cli" --undo | tail -1 || true)
    read -r differ leftAfter < <(check after-undo)
    ((replaced < files)) && mid_run=$((mid_run + 1))
    total_torn=$((total_torn + torn))
    total_differ=$((total_differ + differ))
    printf 'trial %2d: replaced %4d, torn %d, temp files left %d, undo "%s", differ after undo %d, temp files after undo %d\n' \
        "$trial" "$replaced" "$torn" "$left" "$undo" "$differ" "$leftAfter"
done
echo "trials $trials (killed mid-run $mid_run): torn files $total_torn, files differing after undo $total_differ"
[[ $total_torn -eq 0 && $total_differ -eq 0 ]]
