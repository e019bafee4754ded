#!/bin/sh
# Installs what is missing, builds orvex and runs the main job on sample data.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build -j "$(nproc)" --target orvex
./build/host/orvex --help
