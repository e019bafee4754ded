#!/bin/sh
# Installs what is missing, builds orvex and its plug-in, and runs the main
# job: a generated sample game is split into a common bigfile and one bigfile
# per world, with logs, reports and gzip copies, all under ./demo.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build -j "$(nproc)" --target orvex orvexbig
./build/host/orvex demo ./demo
