#!/bin/sh
# Builds the libFuzzer targets (fuzz/fuzz_*.cpp) with clang and runs each one
# from its seeds in fuzz/corpus/<target>, niced, one target per core.
# Usage: scripts/fuzz.sh [--ci] [SECONDS] [TARGET...]
#   SECONDS per target (default 600, one target at a time, so that a long run
#   leaves the machine's other cores alone); --ci: 15 seconds each unless
#   given, as many targets at a time as there are cores.
# Any crash, leak, timeout (a unit over 10 s) or out-of-memory (2 GB) fails the
# run: the input is left in build-fuzz/artifacts/ and the log's end is shown.
# New inputs grow build-fuzz/corpus/<target> (never the seeds). Each target's
# inputs per second and total inputs go to build-fuzz/fuzz-summary.txt.
set -eu
cd "$(dirname "$0")/.."
CI=0
if [ "${1:-}" = "--ci" ]; then
  CI=1
  shift
fi
SECONDS_EACH=600
JOBS=1
if [ "$CI" = 1 ]; then
  SECONDS_EACH=15
  JOBS=$(nproc)
fi
case "${1:-}" in
  '' | *[!0-9]*) ;;
  *) SECONDS_EACH="$1"; shift ;;
esac
scripts/setup.sh
cmake --preset fuzz >/dev/null
if [ $# -eq 0 ]; then
  set -- $(for f in fuzz/fuzz_*.cpp; do basename "$f" .cpp; done)
fi
cmake --build build-fuzz -j "$(nproc)" --target "$@"
mkdir -p build-fuzz/corpus build-fuzz/artifacts
summary=build-fuzz/fuzz-summary.txt
: >"$summary"

# Runs one target; its status is the run's. The summary line is written
# whole by one process, so targets run side by side do not mix lines.
run_one() {
  target=$1
  mkdir -p "build-fuzz/corpus/$target"
  log="build-fuzz/$target.log"
  echo "fuzz: $target for ${SECONDS_EACH}s" >&2
  # close_fd_mask=3: the targets' own error lines are expected and would only
  # slow them down; libFuzzer keeps its reports on a copy of stderr.
  if ! nice -n 10 "build-fuzz/fuzz/$target" -max_total_time="$SECONDS_EACH" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=2048 -dict=fuzz/orvex.dict -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" \
    "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target FAILED (input in build-fuzz/artifacts/)" >&2
    return 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  [ -n "$took" ] && [ "$took" -gt 0 ] || took=$SECONDS_EACH
  line="$target: ${runs:-0} inputs in ${took}s, $((${runs:-0} / took))/s, no finding"
  echo "fuzz: $line" >&2
  echo "$line" >>"$summary"
}

failed=0
while [ $# -gt 0 ]; do
  pids=""
  n=0
  while [ $# -gt 0 ] && [ "$n" -lt "$JOBS" ]; do
    run_one "$1" &
    pids="$pids $!"
    n=$((n + 1))
    shift
  done
  for pid in $pids; do
    wait "$pid" || failed=1
  done
  [ "$failed" = 0 ] || exit 1
done
