#!/usr/bin/env bash
# Generates the large synthetic bigfile that other benchmarks read (200k files,
# 50 worlds, gmbigfile and critical list) and reports the time and peak memory
# of the generation.
#
# Usage: bench/gen_large.sh [OUTDIR]
#   OUTDIR   default: ${TMPDIR:-/tmp}/orvex_gen_large. A folder that an
#            earlier run of this script made (it holds summary.txt and data.big)
#            is replaced; any other non-empty folder is refused.
# Environment:
#   ORVEX    the orvex executable (default: build/host/orvex under the repository)
#   SEED     default 1; FILES default 200000; WORLDS default 50; SCALE default 1.0
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
orvex="${ORVEX:-$root/build/host/orvex}"
out="${1:-${TMPDIR:-/tmp}/orvex_gen_large}"
seed="${SEED:-1}"
files="${FILES:-200000}"
worlds="${WORLDS:-50}"
scale="${SCALE:-1.0}"

if [[ ! -x "$orvex" ]]; then
    echo "gen_large: no orvex at $orvex (build it, or set ORVEX)" >&2
    exit 2
fi
if [[ -e "$out" ]]; then
    if [[ -f "$out/summary.txt" && -f "$out/data.big" ]]; then
        rm -rf -- "$out"
    elif [[ -n "$(ls -A -- "$out")" ]]; then
        echo "gen_large: $out is not empty and was not made by this script" >&2
        exit 2
    fi
fi

args=(gen "$out" --seed "$seed" --files "$files" --worlds "$worlds" --size-scale "$scale"
      --gm-bigfile --critical-list --quiet)
echo "orvex ${args[*]}"
if [[ -x /usr/bin/time ]] && /usr/bin/time -v true >/dev/null 2>&1; then
    report="$(mktemp)"
    trap 'rm -f "$report"' EXIT
    /usr/bin/time -v -o "$report" "$orvex" "${args[@]}"
    grep -E "Elapsed \(wall clock\)|Maximum resident set size|User time|System time" "$report" | sed 's/^\s*/  /'
else
    start=$(date +%s.%N)
    "$orvex" "${args[@]}"
    end=$(date +%s.%N)
    echo "  Elapsed (wall clock) seconds: $(echo "$end - $start" | bc)"
    echo "  (peak memory not measured: /usr/bin/time -v is not available)"
fi
echo
cat "$out/summary.txt"
du -sh "$out" | sed 's/^/disk: /'
