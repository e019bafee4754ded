#!/usr/bin/env bash
# `orvex extract` of a generated bigfile (100k files by default) against
# `tar -x` of the same tree, each side followed by its sync (extract makes one
# syncfs itself; tar is followed by `sync`). Each side is the minimum of RUNS
# runs. Prints both times and their ratio, and with STRACE=1 the system-call
# counts of one extract (`strace -c -f`).
#
# Usage: bench/bench_extract.sh [WORKDIR]
#   WORKDIR  scratch folder, replaced; default ${TMPDIR:-/tmp}/orvex_bench_extract
# Environment: ORVEX (default build/host/orvex), FILES (100000), SEED (1),
#   SCALE (content size factor, 0.1), RUNS (3), STRACE (0).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
orvex="${ORVEX:-$root/build/host/orvex}"
work="${1:-${TMPDIR:-/tmp}/orvex_bench_extract}"
files="${FILES:-100000}"
seed="${SEED:-1}"
scale="${SCALE:-0.1}"
runs="${RUNS:-3}"

if [[ ! -x "$orvex" ]]; then
    echo "bench_extract: no orvex at $orvex (build it, or set ORVEX)" >&2
    exit 2
fi
# Only a folder this script made is replaced.
if [[ -e "$work" ]]; then
    if [[ -f "$work/.bench_extract" ]]; then
        rm -rf -- "$work"
    else
        echo "bench_extract: $work exists and was not made by this script" >&2
        exit 2
    fi
fi
mkdir -p "$work"
touch "$work/.bench_extract"

"$orvex" gen "$work/gen" --seed "$seed" --files "$files" --worlds 4 --size-scale "$scale" --quiet
big="$work/gen/data.big"
"$orvex" extract "$big" "$work/tree" --no-sync >/dev/null
(cd "$work/tree" && tar -cf "$work/tree.tar" .)
count="$(find "$work/tree" -type f | wc -l)"
bytes="$(du -sb "$work/tree" | cut -f1)"
sync

now() { date +%s.%N; }
best_extract=""
best_tar=""
for ((r = 0; r < runs; ++r)); do
    rm -rf -- "$work/x" "$work/t"
    sync
    start="$(now)"
    "$orvex" extract "$big" "$work/x" >/dev/null
    end="$(now)"
    best_extract="$(awk -v s="$start" -v e="$end" -v b="$best_extract" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')"

    mkdir -p "$work/t"
    sync
    start="$(now)"
    tar -xf "$work/tree.tar" -C "$work/t"
    sync
    end="$(now)"
    best_tar="$(awk -v s="$start" -v e="$end" -v b="$best_tar" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')"
done

printf 'tree: %s files, %s bytes\n' "$count" "$bytes"
printf 'orvex extract (+ its sync): %.3f s (best of %d)\n' "$best_extract" "$runs"
printf 'tar -x + sync:              %.3f s (best of %d)\n' "$best_tar" "$runs"
printf 'ratio extract / tar:        %.2f (goal <= 2)\n' "$(awk -v a="$best_extract" -v b="$best_tar" 'BEGIN { print a / b }')"

if [[ "${STRACE:-0}" == 1 ]] && command -v strace >/dev/null; then
    rm -rf -- "$work/x"
    strace -c -f -o "$work/strace.txt" "$orvex" extract "$big" "$work/x" >/dev/null
    echo "strace -c of one extract:"
    head -n 25 "$work/strace.txt"
fi
