#!/usr/bin/env bash
# The split's speed goals in one run, on corpora that `orvex gen` makes from a
# seed and a size flag. Each side of a ratio is the minimum of RUNS runs, and
# both sides end with `sync` so that the writeback of the outputs is counted.
#
#   1. split + sync of the large corpus (no reports, no compression) / cp + sync
#   2. split + sync of the small-file corpus / cp + sync
#   3. the gzip step (split --compress minus split) / pigz -8 -p2 over the same
#      outputs; every .gz against gzip -8's size, gzip -t and zlib's reader
#   4. split --no-copy from refs.bin / split --no-copy that scans
#   5. peak memory of the small-file split against 2 x (FAT + refs.bin) + 64 MB
#   6. orvex extract of the small corpus / tar -x of the same tree
#
# Usage: bench/bench_split.sh [WORKDIR]
#   WORKDIR  scratch folder, replaced when this script made it;
#            default ${TMPDIR:-/tmp}/orvex_bench_split
# Environment: ORVEX (default build/host/orvex), ORVEX_PLUGIN as for orvex;
#   SEED (1), RUNS (3); LARGE_FILES (200000), LARGE_SCALE (1.0), SMALL_FILES
#   (200000), SMALL_SCALE (0.11), WORLDS (50): the corpora.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
orvex="${ORVEX:-$root/build/host/orvex}"
work="${1:-${TMPDIR:-/tmp}/orvex_bench_split}"
seed="${SEED:-1}"
runs="${RUNS:-3}"
worlds_n="${WORLDS:-50}"

for tool in "$orvex" pigz gzip tar bc; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "bench_split: $tool is missing (build orvex or set ORVEX; scripts/setup.sh installs pigz)" >&2
        exit 2
    fi
done
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
cd "$work"

now() { date +%s.%N; }
# timed COMMAND...: wall seconds (command then sync) into $elapsed, peak KiB into $peak.
timed() {
    local start
    sync
    start=$(now)
    /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null
    sync
    elapsed=$(echo "$(now) - $start" | bc -l)
    peak=$(tail -1 "$work/peak")
}
# best SETUP COMMAND...: the minimum wall time of $runs runs into $best, peak into $best_peak;
# SETUP (a shell function name) runs before each run, untimed.
best() {
    local setup="$1"
    shift
    best=""
    best_peak=0
    for ((r = 0; r < runs; ++r)); do
        "$setup"
        timed "$@"
        if [[ -z "$best" ]] || (($(echo "$elapsed < $best" | bc -l))); then best=$elapsed; fi
        if ((peak > best_peak)); then best_peak=$peak; fi
    done
}
ratio() { echo "scale=2; $1 / $2" | bc -l; }
# The plug-in's path fields hold 63 characters: every path is short and relative.
make_corpus() {
    local dir="$1" files="$2" scale="$3"
    "$orvex" gen "$dir" --seed "$seed" --files "$files" --worlds "$worlds_n" --size-scale "$scale" --quiet
}
world_args() { awk '$1 == "world" { printf " --world %s", $2 }' "$1/summary.txt"; }
clear_out() { rm -rf out cpout; mkdir -p out/Data cpout; }
no_setup() { :; }

# split_ratio CORPUS: prints split+sync / cp+sync of the source segments.
split_ratio() {
    local corpus="$1"
    local args
    read -r -a args <<<"split $corpus/data.big --data-root out/Data --work-dir out/w $(world_args "$corpus")"
    best clear_out "$orvex" "${args[@]}"
    split_s=$best
    split_peak=$best_peak
    best clear_out bash -c "cp $corpus/data.big* cpout/"
    cp_s=$best
    printf '  split + sync %.2f s, cp + sync %.2f s: %s (peak %s KiB)\n' "$split_s" "$cp_s" \
        "$(ratio "$split_s" "$cp_s")" "$split_peak"
}

echo "corpora: seed $seed, $worlds_n worlds, minimum of $runs runs"
make_corpus large "${LARGE_FILES:-200000}" "${LARGE_SCALE:-1.0}"
make_corpus small "${SMALL_FILES:-200000}" "${SMALL_SCALE:-0.11}"
for c in large small; do
    echo "  $c: $(head -1 "$c/summary.txt")"
done

echo "1. large corpus, split + sync / cp + sync (goal <= 1.5)"
split_ratio large
echo "2. small-file corpus, split + sync / cp + sync (goal <= 4)"
split_ratio small
small_peak=$split_peak

echo "3. gzip step / pigz -8 -p2 (goal <= 0.5, every .gz <= gzip -8's)"
read -r -a sargs <<<"split small/data.big --data-root out/Data --work-dir out/w $(world_args small)"
best clear_out "$orvex" "${sargs[@]}" --compress
step=$(echo "$best - $split_s" | bc -l)
clear_out
"$orvex" "${sargs[@]}" --compress >/dev/null
pigz_all() { find out/Data/DLC -name '*.big' -type f -exec pigz -8 -p2 -k -f -S .pigz {} +; }
export -f pigz_all
best no_setup bash -c pigz_all
printf '  gzip step %.2f s, pigz %.2f s: %s\n' "$step" "$best" "$(ratio "$step" "$best")"
larger=0
total_ours=0
total_ref=0
worst=0
while read -r big; do
    ours=$(stat -c %s "$big.gz")
    ref=$(gzip -8 -c "$big" | wc -c)
    total_ours=$((total_ours + ours))
    total_ref=$((total_ref + ref))
    if ((ref > 0)) && (($(echo "$ours / $ref > $worst" | bc -l))); then worst=$(echo "scale=4; $ours / $ref" | bc -l); fi
    if ((ours > ref)); then
        echo "  LARGER than gzip -8: $big.gz ($ours against $ref bytes)"
        larger=$((larger + 1))
    fi
    gzip -t "$big.gz" || echo "  gzip -t refuses $big.gz"
    if command -v python3 >/dev/null; then
        python3 -c 'import sys, zlib
d = zlib.decompressobj(31); data = open(sys.argv[1], "rb").read(); out = b""
while data:
    out += d.decompress(data); data = d.unused_data; d = zlib.decompressobj(31) if data else d
sys.exit(0 if out == open(sys.argv[2], "rb").read() else 1)' "$big.gz" "$big" || echo "  zlib does not read $big.gz back"
    fi
done < <(find out/Data/DLC -name '*.big' -type f)
printf '  .gz bytes %s against gzip -8 %s; %d larger; the largest against its gzip -8: %s\n' "$total_ours" \
    "$total_ref" "$larger" "$worst"

echo "4. split --no-copy from refs.bin / the same split that scans (goal: scan part >= 20 x faster)"
clear_out
"$orvex" "${sargs[@]}" --no-copy --write-refs-cache >/dev/null
cp out/w/refs.bin refs.bin
# The goal is about the scan phase itself, which the run reports in its
# summary; the whole runs are printed beside it.
min_scan=""
scan_phase() {
    local s
    "$orvex" "${sargs[@]}" --no-copy "$@" --summary-json scan.json >/dev/null 2>&1
    s=$(grep -o '"scan": *[0-9.e-]*' scan.json | head -1 | sed 's/.*: *//')
    if [[ -z "$min_scan" ]] || (($(echo "$s < $min_scan" | bc -l))); then min_scan=$s; fi
}
best no_setup "$orvex" "${sargs[@]}" --no-copy
scan_s=$best
best no_setup "$orvex" "${sargs[@]}" --no-copy --refs-cache refs.bin
printf '  whole runs: scanning %.2f s, from refs.bin %.2f s: %s x\n' "$scan_s" "$best" "$(ratio "$scan_s" "$best")"
for ((r = 0; r < runs; ++r)); do scan_phase; done
scan_phase_s=$min_scan
min_scan=""
for ((r = 0; r < runs; ++r)); do scan_phase --refs-cache refs.bin; done
printf '  scan phase: scanning %.3f s, from refs.bin %.3f s: %s x\n' "$scan_phase_s" "$min_scan" \
    "$(echo "scale=1; $scan_phase_s / $min_scan" | bc -l)"

echo "5. peak memory of the small-file split (goal <= 2 x (FAT + refs.bin) + 64 MB)"
read -r files dirs < <(awk '/^bigfile/ { print $3, $5 }' small/summary.txt)
fat_kib=$(((files * 96 + dirs * 64) / 1024))
refs_kib=$(($(stat -c %s refs.bin) / 1024))
bound=$((2 * (fat_kib + refs_kib) + 65536))
printf '  peak %s KiB against %s KiB (FAT %s KiB, refs.bin %s KiB)\n' "$small_peak" "$bound" "$fat_kib" "$refs_kib"

echo "6. orvex extract / tar -x of the same tree (goal <= 2)"
rm -rf tree && "$orvex" extract small/data.big tree >/dev/null && tar -cf tree.tar tree && rm -rf tree
clear_tree() { rm -rf tree; }
best clear_tree "$orvex" extract small/data.big tree
extract_s=$best
best clear_tree tar -xf tree.tar
printf '  extract %.2f s, tar -x %.2f s: %s\n' "$extract_s" "$best" "$(ratio "$extract_s" "$best")"
