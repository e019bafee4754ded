#!/usr/bin/env bash
# End-to-end timing of `orvex split` on the large generated bigfile (200k files,
# 50 worlds, made by bench/gen_large.sh), against plain tools on the same bytes:
#   1. orvex split of every world, reports on           (wall, peak memory)
#   2. cp -r of the output bigfiles it wrote            (the copying floor)
#   3. orvex split again with --compress                (wall, peak memory)
#   4. gzip -8 of the same output bigfiles              (the compression floor)
# and prints split/cp, (compress step)/gzip -8 and the sizes of both gzip copies.
#
# Usage: bench/bench_split.sh [GENDIR [WORKDIR]]
#   GENDIR   the output of bench/gen_large.sh (made when it holds no data.big);
#            default ${TMPDIR:-/tmp}/orvex_gen_large
#   WORKDIR  scratch folder, replaced; default ${TMPDIR:-/tmp}/orvex_bench_split
# Environment: ORVEX (default build/host/orvex), ORVEX_PLUGIN as for orvex.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
orvex="${ORVEX:-$root/build/host/orvex}"
gen="${1:-${TMPDIR:-/tmp}/orvex_gen_large}"
work="${2:-${TMPDIR:-/tmp}/orvex_bench_split}"

if [[ ! -x "$orvex" ]]; then
    echo "bench_split: no orvex at $orvex (build it, or set ORVEX)" >&2
    exit 2
fi
if [[ ! -f "$gen/data.big" || ! -f "$gen/summary.txt" ]]; then
    ORVEX="$orvex" "$root/bench/gen_large.sh" "$gen"
fi
have_time=0
if [[ -x /usr/bin/time ]] && /usr/bin/time -v true >/dev/null 2>&1; then
    have_time=1
fi

# Only a folder this script made is replaced.
if [[ -e "$work" ]]; then
    if [[ -f "$work/.bench_split" ]]; then
        rm -rf -- "$work"
    else
        echo "bench_split: $work exists and was not made by this script" >&2
        exit 2
    fi
fi
mkdir -p "$work"
touch "$work/.bench_split"

worlds=()
while read -r word key _; do
    [[ "$word" == "world" ]] && worlds+=(--world "$key")
done <"$gen/summary.txt"
if [[ ${#worlds[@]} -eq 0 ]]; then
    echo "bench_split: no world listed in $gen/summary.txt" >&2
    exit 2
fi

# The plug-in's path fields hold 63 characters: run from the scratch folder
# with paths relative to it.
# Every segment file: data.big, data.big1, ...
for f in "$gen"/data.big* "$gen"/gm.big*; do
    [[ -f "$f" ]] && ln -s "$f" "$work/$(basename "$f")"
done
cd "$work"
# An empty data root: the bigfiles are measured, not the sound packages, which
# the generated data root holds and a split would copy beside them.
mkdir Data

now() { date +%s.%N; }
# run LABEL COMMAND...: wall seconds into $elapsed, peak KiB into $peak.
run() {
    local label="$1"
    shift
    local start end report
    report="$work/time.$label"
    start=$(now)
    if [[ $have_time -eq 1 ]]; then
        /usr/bin/time -v -o "$report" "$@"
    else
        "$@"
    fi
    end=$(now)
    elapsed=$(echo "$end - $start" | bc -l)
    peak=0
    if [[ $have_time -eq 1 ]]; then
        peak=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$report")
    fi
    printf '%-28s %9.2f s   peak %8s KiB\n' "$label" "$elapsed" "$peak"
}

split_args=(split data.big --data-root Data "${worlds[@]}" --report)
[[ -f gm.big ]] && split_args+=(--gm-bigfile gm.big)

echo "orvex split of $(( ${#worlds[@]} / 2 )) worlds from $gen/data.big ($(du -h "$gen/data.big" | cut -f1))"
run split "$orvex" "${split_args[@]}" --work-dir plain >"$work/split.out"
split_s=$elapsed
split_peak=$peak
bytes=$(find Data/DLC -name '*.big*' -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f\n", s}')
echo "  wrote $(find Data/DLC -name '*.big' | wc -l) bigfiles, $bytes bytes"

run "cp -r of the outputs" cp -r Data/DLC copy
cp_s=$elapsed
rm -rf copy

rm -rf Data/DLC
run "split --compress" "$orvex" "${split_args[@]}" --compress --work-dir packed >"$work/split_compress.out"
compress_s=$elapsed
compress_peak=$peak
ours_gz=$(find Data/DLC -name '*.big.gz' -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f\n", s}')

gzip_all() {
    find Data/DLC -name '*.big' -type f | while read -r f; do gzip -8 -c "$f" >"$f.ref.gz"; done
}
run "gzip -8 of the outputs" bash -c "$(declare -f gzip_all); gzip_all"
gzip_s=$elapsed
ref_gz=$(find Data/DLC -name '*.big.ref.gz' -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f\n", s}')

echo
step=$(echo "$compress_s - $split_s" | bc -l)
printf 'split / cp:                 %6.2f   (%.2f s against %.2f s)\n' "$(echo "$split_s / $cp_s" | bc -l)" \
    "$split_s" "$cp_s"
printf 'gzip step / gzip -8:        %6.2f   (%.2f s against %.2f s)\n' "$(echo "$step / $gzip_s" | bc -l)" \
    "$step" "$gzip_s"
printf 'gzip copies:                %s bytes (orvex) against %s bytes (gzip -8)\n' "$ours_gz" "$ref_gz"
printf 'peak memory:                %s KiB (split), %s KiB (split --compress)\n' "$split_peak" "$compress_peak"
grep -E '^unplaced keys' "$work/split.out" || true
