#!/bin/sh
# Installs what is missing, configures, builds and runs every test.
# Usage: scripts/test.sh [ci|asan|tsan]   (default ci: warnings are errors)
set -eu
cd "$(dirname "$0")/.."
PRESET="${1:-ci}"
case "$PRESET" in
  ci) DIR=build-ci ;;
  asan) DIR=build-asan ;;
  tsan) DIR=build-tsan ;;
  *) echo "usage: scripts/test.sh [ci|asan|tsan]" >&2; exit 2 ;;
esac
scripts/setup.sh
cmake --preset "$PRESET" >/dev/null
cmake --build "$DIR" -j "$(nproc)"
ctest --test-dir "$DIR" --output-on-failure -j "$(nproc)"
