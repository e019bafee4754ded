#!/bin/sh
# clang-format over the project's sources. --check fails on any difference.
set -eu
cd "$(dirname "$0")/.."
FILES=$(git ls-files '*.h' '*.cpp' | grep -v '^build')
[ -n "$FILES" ] || exit 0
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror $FILES
else
  clang-format -i $FILES
fi
