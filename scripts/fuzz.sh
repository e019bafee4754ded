#!/bin/sh
# Builds the libFuzzer targets with clang and runs each of them for a while.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (default: 60 seconds, every fuzz/*.cpp)
# Corpora grow in build-fuzz/corpus/<target>; a crash leaves its input in
# build-fuzz/artifacts/ and stops the script.
set -eu
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-60}"
[ $# -gt 0 ] && shift
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build build-fuzz -j "$(nproc)"
if [ $# -eq 0 ]; then
  set -- $(for f in fuzz/*.cpp; do basename "$f" .cpp; done)
fi
mkdir -p build-fuzz/corpus build-fuzz/artifacts

# The table reader and the segment header start from a real bigfile: the
# fuzzers reach its deeper records much sooner than from nothing.
seed="build-fuzz/seed"
if [ ! -f "$seed/data.big" ]; then
  rm -rf "$seed"
  build-fuzz/host/orvex gen --seed 3 --worlds 1 --files 12 --size-scale 0.001 --quiet "$seed"
fi
big="$seed/data.big"
base=$(od -An -tu8 -j16 -N8 "$big" | tr -d ' ')  # content base, header offset 0x10
end=$(od -An -tu8 -j32 -N8 "$big" | tr -d ' ')   # end of the content, offset 0x20
mkdir -p build-fuzz/corpus/fuzz_fat_read build-fuzz/corpus/fuzz_segment_header
# fuzz_fat_read's first byte is the open mode: 0 read-only, 1 writable.
for mode in 0 1; do
  { printf "\\00$mode"; tail -c +$((base + 1)) "$big" | head -c "$end"; } >build-fuzz/corpus/fuzz_fat_read/seed-$mode
done
head -c 48 "$big" >build-fuzz/corpus/fuzz_segment_header/seed

for target in "$@"; do
  mkdir -p "build-fuzz/corpus/$target"
  echo "fuzz: $target for ${SECONDS_EACH}s" >&2
  "build-fuzz/fuzz/$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/artifacts/$target-" "build-fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1 ||
    { tail -n 60 "build-fuzz/$target.log" >&2; exit 1; }
  grep -oE '(#[0-9]+[[:space:]]+DONE.*|^Done.*)' "build-fuzz/$target.log" >&2 || true
done
