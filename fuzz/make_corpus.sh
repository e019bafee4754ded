#!/bin/sh
# Remakes the seed corpus fuzz/corpus/<target>/ from generated samples: a
# small game bigfile from `orvex gen` (and its sound packages and critical
# list), a multi-segment copy of it made by `orvex pack`, the refs.bin that
# `orvex split` writes, the manifest that `orvex extract` writes, and, for
# the formats no command writes, small files laid out by hand below.
# Reproducers of past findings (files named after what they found) stay.
# Usage: fuzz/make_corpus.sh [ORVEX]   (default: build-ci/host/orvex)
set -eu
cd "$(dirname "$0")/.."
ORVEX="${1:-build-ci/host/orvex}"
out=fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sep="--orvex-segment--"

"$ORVEX" gen --seed 3 --worlds 2 --files 24 --size-scale 0.001 --critical-list --quiet "$work/gen"
big="$work/gen/data.big"
"$ORVEX" extract "$big" "$work/extract" >/dev/null
"$ORVEX" pack --small-header "$work/extract" "$work/single/data.big" >/dev/null
"$ORVEX" pack --small-header --max-segment-size 4096 "$work/extract" "$work/multi/data.big" >/dev/null
"$ORVEX" split "$big" --data-root "$work/gen/Data" --no-copy --write-refs-cache --linker --work-dir "$work/split" >/dev/null

for t in fat_read tools segment_header refs_file idx_file sound_package dup_files critical_list \
  ai_objects split_config pack_manifest bank_parsers linker_map; do
  mkdir -p "$out/fuzz_$t"
done

# Bigfiles (contents from 2048 on, so that few bytes are padding): one
# segment, and the packed set with its segment files joined by
# the separator. fuzz_fat_read takes an open-mode byte first (0 read-only,
# 1 writable).
single="$work/single/data.big"
multi="$work/multi/data.big"
{
  cat "$multi"
  for f in "$work"/multi/data.big[0-9]*; do printf '%s' "$sep"; cat "$f"; done
} >"$work/multi.joined"
cp "$single" "$out/fuzz_tools/single"
cp "$work/multi.joined" "$out/fuzz_tools/multi"
for mode in 0 1; do
  { printf "\\00$mode"; cat "$single"; } >"$out/fuzz_fat_read/single-$mode"
  { printf "\\00$mode"; cat "$work/multi.joined"; } >"$out/fuzz_fat_read/multi-$mode"
done
head -c 48 "$single" >"$out/fuzz_segment_header/single"
head -c 48 "$multi" >"$out/fuzz_segment_header/multi"

cp "$work/split/refs.bin" "$out/fuzz_refs_file/refs.bin"
cp "$work/split/linker_pc.map" "$out/fuzz_linker_map/linker_pc.map"
cp "$work/gen/critical.txt" "$out/fuzz_critical_list/critical.txt"
# The current manifest version; manifest.json beside it is a version-1
# manifest from an older extract, kept so that the old reader stays fuzzed.
cp "$work/extract/manifest.json" "$out/fuzz_pack_manifest/manifest-v3.json"
n=0
for pk in "$work"/gen/Data/sound_bin_pc/7fffffff.pk "$work"/gen/Data/sound_bin_pc/*_snd_00000.pk; do
  cp "$pk" "$out/fuzz_sound_package/$(basename "$pk")"
  n=$((n + 1))
  [ $n -ge 3 ] && break
done

# Hand-made, little-endian as the readers take them.
u32() { printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"; }
# IDX: magic, version, 2 records (key 10 refers to key 20 once; 20 is referenced by 10), magic.
{
  u32 4058973255; u32 1; u32 2
  u32 10; u32 0; u32 1; u32 20; u32 1; u32 0
  u32 20; u32 0; u32 0; u32 1; u32 10; u32 1
  u32 4058973255
} >"$out/fuzz_idx_file/two-records"
# Duplicated-files table: 3 places with shift 3, one of them none.
{ u32 3; printf '\003'; u32 16; u32 4294967295; u32 40; } >"$out/fuzz_dup_files/three"
# Bank files: an empty dynamic bank (key 1), bank list (2) and element
# reference list (3), each kind, key, u16 size.
printf '\000\001\000\000\001\002\000\000\002\003\000\000' >"$out/fuzz_bank_parsers/three-kinds"
# AI objects: three records and a partial one.
{ u32 268435457; u32 0; u32 268435458; u32 0; u32 268435459; u32 0; printf 'xyz'; } >"$out/fuzz_ai_objects/objects"
cat >"$out/fuzz_split_config/split.toml" <<'TOML'
bigfile = "data.big"
data-root = "Data"
world = ["0x68D0002C", "Driftfield"]
force-key = ["0x1001"]
force-dir = ["/Interface"]
remove = ["_old"]
write-refs-cache = true
single = false
package-id = 7
dir-count-base = 1024
TOML
echo "fuzz/make_corpus.sh: $(find "$out" -type f | wc -l) seeds in $out" >&2
