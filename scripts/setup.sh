#!/bin/sh
# Installs the Debian packages the project needs, only those not yet installed.
set -eu
PACKAGES="cmake ninja-build g++ clang zlib1g-dev libdeflate-dev libmimalloc-dev libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libtomlplusplus-dev nlohmann-json3-dev clang-format gzip pigz pkgconf dpkg-dev file chromium"
missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  echo "setup: installing$missing" >&2
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
