#!/usr/bin/env bash
# Times yihuan-cli against `sed -i` and `perl -pi` doing the same ordinary replacement on
# identical copies of two corpus shapes — many small files and a few large ones — and checks
# that the three leave the same text (yihuan writes CRLF, so line ends are set aside). Beside
# them runs the floor: yihuan-floor reads each file, writes it to a temporary file and renames
# that over it, with yihuan-cli's threads, and replaces nothing.
#
# The large shape also runs in two double-byte code pages, each file converted with iconv
# (characters the code page lacks dropped): "gbk", replaced with --encoding GB18030, and
# "big5", with --encoding Big5; sed and perl replace the same bytes under LC_ALL=C.
# "mixed" is the small shape with a third of its files left in UTF-8, a third in GBK and a
# third in Big5, replaced with --encoding auto; sed and perl are told each file's encoding
# (one command per third, each with its own bytes).
#
# "regex" is the large shape with the regular expression ([0-9]+) replaced by its group,
# \1 (--regex; sed -E, perl's $1): every number is matched and written back as it was.
#
# Two styles: "fresh", every run on new copies (the files are cold to the tools and each has
# work to do), and "again", repeated runs on the same files (after the first run there is
# nothing left to replace, but every tool still rewrites every file).
#
#   bench/compare.sh [path/to/yihuan-cli [path/to/yihuan-floor]]
#
# Environment: SHAPES (default "small large gbk big5 mixed regex"), RUNS (timed repetitions,
# each tool once in each, after one that warms up; default 5), WORK (scratch folder, default a new
# one under /tmp, removed afterwards unless KEEP=1), BENCH_LOCALE (LC_ALL for all three,
# default C.UTF-8), BASELINE (another yihuan-cli, say an older build, timed in the same
# runs as "baseline" so that a change is measured under the same load).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "${1:-$here/../build/src/yihuan-cli}")
floor=$(realpath "${2:-$here/../build/bench/yihuan-floor}")
runs=${RUNS:-5}
export LC_ALL=${BENCH_LOCALE:-C.UTF-8}
work=${WORK:-$(mktemp -d /tmp/yihuan-compare.XXXXXX)}
mkdir -p "$work"
if [[ -z ${WORK:-} && -z ${KEEP:-} ]]; then
    trap 'rm -rf "$work"' EXIT
fi

for tool in hyperfine jq perl sed; do
    command -v "$tool" >/dev/null || { echo "compare.sh: needs $tool" >&2; exit 2; }
done
[[ -x $cli ]] || { echo "compare.sh: no yihuan-cli at $cli (build it first)" >&2; exit 2; }
[[ -x $floor ]] || { echo "compare.sh: no yihuan-floor at $floor (build it first)" >&2; exit 2; }
baseline=''
if [[ -n ${BASELINE:-} ]]; then
    baseline=$(realpath "$BASELINE")
    [[ -x $baseline ]] || { echo "compare.sh: no yihuan-cli at $BASELINE" >&2; exit 2; }
fi

shapes=(${SHAPES:-small large gbk big5 mixed regex})

# Per shape: the file encoding (empty for UTF-8), the keyword and the replacement. Big5 has
# no simplified characters, so its keyword is one that survives the conversion.
declare -A encoding keyword replacement
for shape in small large; do
    encoding[$shape]=''
    keyword[$shape]='关键字'
    replacement[$shape]='keyword替换'
done
encoding[gbk]=GB18030
keyword[gbk]='关键字'
replacement[gbk]='keyword替换'
encoding[big5]=Big5
keyword[big5]='中文'
replacement[big5]='keyword替換'
encoding[regex]=''
keyword[regex]='([0-9]+)'
replacement[regex]='\1'
# Per third of the mixed shape: the file names' first letter and the encoding (iconv's name).
encoding[mixed]=auto
keyword[mixed]='中文'
replacement[mixed]='keyword替換'
mixed_thirds=(u:UTF-8 g:GBK b:BIG5)

# Mixed Chinese/ASCII lines from a fixed vocabulary; the keyword on every fifth line.
make_file() { # path bytes seed
    perl -e '
        use strict; use utf8; binmode STDOUT;
        my ($path, $size, $seed) = @ARGV;
        my @words = map { my $w = $_; utf8::encode($w); $w } qw(
            易换 批量 替换 纯文本 文件 目录 编码 the quick brown fox jumps over lazy dog
            中文 混排 ASCII text 12345 数据 报告 config value=42 路径 /usr/share 测试
            lorem ipsum dolor 北京 上海 2024-01-01 résumé naïve 。 ， ：);
        my $key = "关键字"; utf8::encode($key);
        open(my $out, ">:raw", $path) or die "$path: $!";
        my ($written, $line, $x) = (0, 0, $seed);
        while ($written < $size) {
            my @parts;
            my $n = 6 + ($line % 9);
            for (1 .. $n) {
                $x = ($x * 1103515245 + 12345) % 2147483648;
                push @parts, $words[$x % @words];
            }
            splice(@parts, $line % $n, 0, $key) if $line % 5 == 0;
            my $text = join(" ", @parts) . "\n";
            print $out $text;
            $written += length $text;
            ++$line;
        }
        close $out or die;
    ' "$@"
}

if [[ ! -d $work/corpus/small || ! -d $work/corpus/large ]]; then
    echo "Making the corpus in $work/corpus ..."
    mkdir -p "$work/corpus/small" "$work/corpus/large"
    for i in $(seq -w 0 999); do
        make_file "$work/corpus/small/f$i.txt" 65536 "$((10#$i + 1))"
    done
    for i in 0 1 2 3; do
        make_file "$work/corpus/large/f$i.txt" $((32 * 1024 * 1024)) "$((i + 7))"
    done
fi
if [[ ! -d $work/corpus/regex ]]; then
    cp -al "$work/corpus/large" "$work/corpus/regex"
fi
for pair in gbk:GBK big5:BIG5; do
    shape=${pair%%:*}
    if [[ ! -d $work/corpus/$shape ]]; then
        mkdir -p "$work/corpus/$shape"
        for f in "$work/corpus/large/"*.txt; do
            # -c drops what the code page lacks, and then says so in its status.
            iconv -c -f UTF-8 -t "${pair##*:}" "$f" >"$work/corpus/$shape/$(basename "$f")" || true
        done
    fi
done

if [[ ! -d $work/corpus/mixed ]]; then
    mkdir -p "$work/corpus/mixed"
    i=0
    for f in "$work/corpus/small/"*.txt; do
        third=${mixed_thirds[$((i % 3))]}
        name=${third%%:*}$(basename "$f")
        iconv -c -f UTF-8 -t "${third##*:}" "$f" >"$work/corpus/mixed/$name" || true
        i=$((i + 1))
    done
fi

# Text in an encoding as sed and perl take it on a command line: hyperfine takes UTF-8
# command lines only, so other bytes go as \xHH, which both read.
escaped() { # text encoding
    if [[ $2 == UTF-8 ]]; then
        printf '%s' "$1"
    else
        printf '%s' "$1" | iconv -f UTF-8 -t "$2" | od -An -tx1 -v | tr -d ' \n' | sed 's/../\\x&/g'
    fi
}

# The command lines of a shape, each with @DIR@ where the folder of its files goes:
# yihuan_cmd, sed_cmd, perl_cmd; and the keyword and the replacement as the files hold
# them (key_bytes, rep_bytes; for the mixed shape, as its UTF-8 third holds them).
commands_for() { # shape
    local shape=$1 option='' third letter code key rep
    printf '%s\n' "${keyword[$shape]}" >"$work/k-$shape.txt"
    printf '%s\n' "${replacement[$shape]}" >"$work/r-$shape.txt"
    key_bytes=${keyword[$shape]}
    rep_bytes=${replacement[$shape]}
    [[ -n ${encoding[$shape]} ]] && option=" --encoding ${encoding[$shape]}"
    yihuan_cmd="$cli --keywords $work/k-$shape.txt --replacements $work/r-$shape.txt$option @DIR@/*.txt"
    if [[ $shape == regex ]]; then
        yihuan_cmd="$cli --regex --keywords $work/k-$shape.txt --replacements $work/r-$shape.txt @DIR@/*.txt"
        sed_cmd="sed -E -i 's/$key_bytes/$rep_bytes/g' @DIR@/*.txt"
        perl_cmd="perl -pi -e 's/$key_bytes/\$1/g' @DIR@/*.txt"
        return
    fi
    if [[ $shape == mixed ]]; then
        sed_cmd='' perl_cmd=''
        for third in "${mixed_thirds[@]}"; do
            letter=${third%%:*} code=${third##*:}
            key=$(escaped "$key_bytes" "$code") rep=$(escaped "$rep_bytes" "$code")
            sed_cmd+="${sed_cmd:+ && }LC_ALL=C sed -i 's/$key/$rep/g' @DIR@/$letter*.txt"
            perl_cmd+="${perl_cmd:+ && }LC_ALL=C perl -pi -e 's/$key/$rep/g' @DIR@/$letter*.txt"
        done
        return
    fi
    if [[ -n ${encoding[$shape]} ]]; then
        key_bytes=$(printf '%s' "$key_bytes" | iconv -f UTF-8 -t "${encoding[$shape]}")
        rep_bytes=$(printf '%s' "$rep_bytes" | iconv -f UTF-8 -t "${encoding[$shape]}")
        key=$(escaped "${keyword[$shape]}" "${encoding[$shape]}")
        rep=$(escaped "${replacement[$shape]}" "${encoding[$shape]}")
        sed_cmd="LC_ALL=C sed -i 's/$key/$rep/g' @DIR@/*.txt"
        perl_cmd="LC_ALL=C perl -pi -e 's/$key/$rep/g' @DIR@/*.txt"
    else
        sed_cmd="sed -i 's/$key_bytes/$rep_bytes/g' @DIR@/*.txt"
        perl_cmd="perl -pi -e 's/$key_bytes/$rep_bytes/g' @DIR@/*.txt"
    fi
}

# One untimed run each on separate copies: all three must agree.
check_shape() { # shape
    local shape=$1 tool
    for tool in yihuan sed perl; do
        rm -rf "$work/check/$tool"
        mkdir -p "$work/check"
        cp -r "$work/corpus/$shape" "$work/check/$tool"
    done
    if [[ $shape == regex ]]; then
        eval "XDG_DATA_HOME=$work/check/journal ${yihuan_cmd//@DIR@/$work/check/yihuan} --dry-run" \
            >"$work/check/dry-run.out" || true
    fi
    eval "XDG_DATA_HOME=$work/check/journal ${yihuan_cmd//@DIR@/$work/check/yihuan}" >/dev/null
    eval "${sed_cmd//@DIR@/$work/check/sed}"
    eval "${perl_cmd//@DIR@/$work/check/perl}"
    local f name bad=0
    for f in "$work/check/sed/"*.txt; do
        name=$(basename "$f")
        if ! cmp -s "$f" "$work/check/perl/$name" \
            || ! tr -d '\r' <"$work/check/yihuan/$name" | cmp -s - "$f"; then
            echo "compare.sh: outputs differ for $shape/$name" >&2
            bad=1
        fi
    done
    if ! grep -q $'\r$' "$work/check/yihuan/$(basename "$f")"; then
        echo "compare.sh: yihuan did not write CRLF" >&2
        bad=1
    fi
    if [[ $shape == mixed ]]; then
        # A glob, not ls | head: head leaves early, and pipefail takes ls's SIGPIPE for a failure.
        local thirds=("$work/check/sed/"u*.txt)
        f=${thirds[0]}
    fi
    if [[ $shape == regex ]]; then
        # Numbers written back as they were: a dry run's counts tell that they were matched.
        if ! grep -Pq '^成功\t.*\t[1-9][0-9]*$' "$work/check/dry-run.out"; then
            echo "compare.sh: the regular expression matched nothing" >&2
            bad=1
        fi
    elif LC_ALL=C grep -q "$key_bytes" "$f" || ! LC_ALL=C grep -q "$rep_bytes" "$f"; then
        echo "compare.sh: the replacement did not happen" >&2
        bad=1
    fi
    ((bad == 0)) || exit 1
    rm -rf "$work/check"
}

# yihuan-cli makes every file's new content reach the disk before it replaces the old;
# sed, perl and the plain floor do not. "floor+sync" is the floor of a tool that does.
names=(yihuan-cli "sed -i" "perl -pi" floor floor+sync)
[[ -n $baseline ]] && names+=(baseline)

# Each yihuan-cli keeps its undo history in a journal of its own under the scratch folder,
# never the user's: the runs would push the user's own out of it, and what a run costs
# depends on what its journal holds. At a shape's start the journal is filled with as many
# runs of that shape as it keeps (the default history), so that every timed run, like a
# user's run once the history is full, ends by deleting the originals of the oldest.
history_runs=10
journal_of() { # tool index
    printf '%s' "$work/journal/$1"
}

# The tools take turns within each repetition (yihuan-cli, sed, perl, the floors, the
# baseline, then yihuan-cli again): a change in the machine's load lands on all of them
# alike, instead of on whichever tool was being timed at the time. Before each run the
# file system's dirty pages are written out, so that no tool's syncs pay for the previous
# tool's writes. Each tool writes in a folder of its own, which the Orlov allocator puts in a
# block group of its own (chattr +T): ext4 without a journal skips, reading its inode-table
# block, every inode freed in the last half minute when it makes a file, and one tool's
# deletions would otherwise slow the next tool's files.
mkdir -p "$work/runs" "$work/journal"
chattr +T "$work/runs" 2>/dev/null || true

command_of() { # tool index, folder
    local i=$1 dir=$2
    case $i in
    0) printf 'XDG_DATA_HOME=%q %s >/dev/null' "$(journal_of 0)" "${yihuan_cmd//@DIR@/$dir}" ;;
    1) printf '%s' "${sed_cmd//@DIR@/$dir}" ;;
    2) printf '%s' "${perl_cmd//@DIR@/$dir}" ;;
    3) printf '%q %s' "$floor" "$dir/*.txt" ;;
    4) printf '%q --sync %s' "$floor" "$dir/*.txt" ;;
    5)
        local base_cmd=${yihuan_cmd//$cli/$baseline}
        printf 'XDG_DATA_HOME=%q %s >/dev/null' "$(journal_of 5)" "${base_cmd//@DIR@/$dir}"
        ;;
    esac
}

# One timed run, through hyperfine so that the figures are taken as before; the command
# runs in a script of its own, the same small shell for every tool.
time_once() { # json, script, prepare script
    hyperfine -N --runs 1 --style none --export-json "$1" --prepare "bash $3" "bash $2" \
        >/dev/null 2>&1 || { echo "compare.sh: a timed run failed: $(cat "$2")" >&2; exit 1; }
}

declare -A median cpu
for shape in "${shapes[@]}"; do
    commands_for "$shape"
    check_shape "$shape"
    echo
    echo "== $shape: $(ls "$work/corpus/$shape" | wc -l) files, $(du -sh "$work/corpus/$shape" | cut -f1)${encoding[$shape]:+, ${encoding[$shape]}}"
    for i in "${!names[@]}"; do
        [[ $i == 0 || $i == 5 ]] || continue
        rm -rf "$(journal_of "$i")" "$work/runs/fill"
        cp -r "$work/corpus/$shape" "$work/runs/fill"
        command_of "$i" "$work/runs/fill" >"$work/fill.sh"
        for _ in $(seq "$history_runs"); do bash "$work/fill.sh"; done
        rm -rf "$work/runs/fill"
    done
    for style in fresh again; do
        for i in "${!names[@]}"; do
            dir=$work/runs/$style-$i
            rm -rf "$dir"
            cp -r "$work/corpus/$shape" "$dir"
            command_of "$i" "$dir" >"$work/run-$i.sh"
            if [[ $style == fresh ]]; then
                printf 'rm -rf %q && cp -r %q %q && sync -f %q\n' "$dir" "$work/corpus/$shape" \
                    "$dir" "$dir" >"$work/prepare-$i.sh"
            else
                printf 'sync -f %q\n' "$dir" >"$work/prepare-$i.sh"
            fi
        done
        sync -f "$work"
        # Repetition 0 warms up and is not counted.
        for rep in $(seq 0 "$runs"); do
            for i in "${!names[@]}"; do
                time_once "$work/time-$style-$i-$rep.json" "$work/run-$i.sh" "$work/prepare-$i.sh"
            done
        done
        for i in "${!names[@]}"; do
            jsons=()
            for rep in $(seq 1 "$runs"); do jsons+=("$work/time-$style-$i-$rep.json"); done
            median[$shape,$style,$i]=$(jq -s '[.[].results[0].median] | sort
                | if length % 2 == 1 then .[length / 2 | floor]
                  else (.[length / 2 - 1] + .[length / 2]) / 2 end' "${jsons[@]}")
            cpu[$shape,$style,$i]=$(jq -s '[.[].results[0] | .user + .system] | add / length' \
                "${jsons[@]}")
            perl -e 'printf "  %-5s %-10s wall median %.3f s  cpu mean %.3f s\n", @ARGV' \
                "$style" "${names[$i]}" "${median[$shape,$style,$i]}" "${cpu[$shape,$style,$i]}"
        done
        rm -f "$work"/time-*.json
        rm -rf "$work"/runs/"$style"-*
    done
done
rm -rf "$work/runs" "$work/journal"

echo
echo "Median wall seconds, mean CPU seconds (user+system), and yihuan-cli's share of each"
echo "tool's (yihuan-cli / tool; below 1 is faster), LC_ALL=$LC_ALL, $(nproc) cores:"
for shape in "${shapes[@]}"; do
    for style in fresh again; do
        for i in "${!names[@]}"; do
            perl -e 'printf "  %-5s %-5s %-10s wall %.3f (%.2fx)  cpu %.3f (%.2fx)\n", @ARGV[0..2],
                $ARGV[3], $ARGV[5] / $ARGV[3], $ARGV[4], $ARGV[6] / $ARGV[4]' \
                "$shape" "$style" "${names[$i]}" "${median[$shape,$style,$i]}" \
                "${cpu[$shape,$style,$i]}" "${median[$shape,$style,0]}" "${cpu[$shape,$style,0]}"
        done
    done
done
