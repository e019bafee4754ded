#!/bin/sh
# Installs what is missing, configures, builds and runs every test.
# Usage: scripts/test.sh [ci|clang|asan|tsan] [TEST-BINARY...]
#   ci (default): warnings are errors. clang: the same with clang.
#   asan: ASan+UBSan. tsan: ThreadSanitizer.
#   Naming test binaries (test_bigfile ...) builds and runs only those.
set -eu
cd "$(dirname "$0")/.."
PRESET="${1:-ci}"
[ $# -gt 0 ] && shift
case "$PRESET" in
  ci) DIR=build-ci ;;
  clang) DIR=build-clang ;;
  asan) DIR=build-asan ;;
  tsan) DIR=build-tsan ;;
  *) echo "usage: scripts/test.sh [ci|clang|asan|tsan] [TEST-BINARY...]" >&2; exit 2 ;;
esac
scripts/setup.sh
cmake --preset "$PRESET" >/dev/null
JOBS="$(nproc)"
if [ $# -eq 0 ]; then
  cmake --build "$DIR" -j "$JOBS"
  ctest --test-dir "$DIR" --output-on-failure -j "$JOBS"
else
  cmake --build "$DIR" -j "$JOBS" --target "$@"
  # Test names carry no binary name: select by the binaries' tests.
  for bin in "$@"; do
    "$DIR/tests/$bin" --gtest_brief=1
  done
fi
