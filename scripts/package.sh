#!/bin/sh
# The installed products, as a host author and a user get them:
#  1. cmake --install into a temporary prefix; the installed orvex finds the
#     plug-in beside itself; the example host (examples/minimal_host) builds
#     with find_package(orvex) against that prefix and splits a generated sample;
#     pkg-config --cflags orvex prints the prefix's include folder.
#  2. cpack -G DEB; the package installs with dpkg -i, `orvex demo` runs from
#     the installed binary, and the package is purged again.
# Usage: scripts/package.sh [BUILD-DIR] (default build-ci, configured and built if needed)
set -eu
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
BUILD="${1:-build-ci}"
scripts/setup.sh
[ -f "$BUILD/CMakeCache.txt" ] || cmake --preset ci >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target orvex orvexbig orvex_manual

T="$(mktemp -d)"
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
INSTALLED_DEB=""
cleanup() {
  if [ -n "$INSTALLED_DEB" ]; then $SUDO dpkg -P orvex >/dev/null || true; fi
  rm -rf "$T"
}
trap cleanup EXIT
fail() { echo "package: $*" >&2; exit 1; }

echo "== install into a temporary prefix"
P="$T/prefix"
cmake --install "$BUILD" --prefix "$P" >/dev/null
for f in bin/orvex lib/liborvexbig.so include/orvex/OVC_Interface.h lib/cmake/orvex/orvexConfig.cmake \
         lib/cmake/orvex/orvexConfigVersion.cmake lib/pkgconfig/orvex.pc share/man/man1/orvex.1 \
         share/bash-completion/completions/orvex; do
  [ -f "$P/$f" ] || fail "cmake --install wrote no $f"
done
"$P/bin/orvex" plugin | grep -q "beside the executable" || fail "the installed orvex does not find ../lib/liborvexbig.so"

echo "== example host against the installed SDK"
# Warnings are errors: the header must compile clean in a project that is not ours.
cmake -S examples/minimal_host -B "$T/example" -G Ninja -DCMAKE_PREFIX_PATH="$P" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$T/example" >/dev/null
"$P/bin/orvex" gen --quiet --worlds 2 --files 200 "$T/sample"
KEY="$("$P/bin/orvex" worlds "$T/sample/data.big" 2>/dev/null | awk '/^0x/ { print $1; exit }')"
[ -n "$KEY" ] || fail "no world key in the sample"
(cd "$T/sample" && "$T/example/minimal_host" data.big Data "$KEY" >"$T/example.log" 2>&1) ||
  { cat "$T/example.log" >&2; fail "the example host failed"; }
grep -q "status 0" "$T/example.log" || fail "the example host did not report status 0"
[ -f "$T/sample/Data/DLC/Marlin/Marlin.big" ] || fail "the example host wrote no common bigfile"
ls "$T/sample/Data/DLC" | grep -qv '^Marlin$' || fail "the example host wrote no world bigfile"

echo "== pkg-config"
# pkg-config ends its output with a blank: the words are compared.
CFLAGS_SEEN="$(echo $(PKG_CONFIG_PATH="$P/lib/pkgconfig" pkg-config --cflags orvex))"
[ "$CFLAGS_SEEN" = "-I$P/include" ] || fail "pkg-config --cflags orvex gave '$CFLAGS_SEEN'"
PLUGIN_SEEN="$(PKG_CONFIG_PATH="$P/lib/pkgconfig" pkg-config --variable=plugin orvex)"
[ "$PLUGIN_SEEN" = "$P/lib/liborvexbig.so" ] || fail "pkg-config --variable=plugin orvex gave '$PLUGIN_SEEN'"

echo "== Debian package"
(cd "$BUILD" && cpack -G DEB -B "$T/deb" >/dev/null)
DEB="$(ls "$T"/deb/orvex_*.deb)"
echo "$(basename "$DEB"): Depends: $(dpkg-deb -f "$DEB" Depends)"
dpkg-deb -f "$DEB" Depends | grep -q libstdc++ || fail "the package declares no dependencies"
if dpkg-query -W -f='${Status}' orvex 2>/dev/null | grep -q "ok installed"; then
  fail "an orvex package is installed already; not replacing it"
fi
$SUDO dpkg -i "$DEB" >/dev/null
INSTALLED_DEB=1
/usr/bin/orvex plugin | grep -q "/usr/bin/../lib/liborvexbig.so" || fail "/usr/bin/orvex does not load /usr/lib's plug-in"
(cd "$T" && /usr/bin/orvex demo "$T/demo" >"$T/demo.log" 2>&1) || { tail -20 "$T/demo.log" >&2; fail "orvex demo failed"; }
[ -f /usr/share/man/man1/orvex.1.gz ] || [ -f /usr/share/man/man1/orvex.1 ] || fail "no man page installed"
[ -f /usr/share/bash-completion/completions/orvex ] || fail "no bash completion installed"
pkg-config --exists orvex || fail "pkg-config does not find the installed orvex.pc"
echo "package: all checks passed"
