#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck disable=SC2015 # "a && b || fail" below: fail when any step fails
# Installs a static and a shared Vornlib into one temporary prefix and builds and runs two host
# programs against each: cpp/ (CMake, find_package, VORNLIB_SHARED_LIBS choosing) and c/
# (pkg-config: vornlib.pc and vornlib-static.pc). It checks that each links the library it asked
# for, and, for the shared library, the SONAME and that only the public interface is exported.
#   BUILD_DIR or VORNLIB_BUILD_DIR: a configured static Release tree to install from (default
#   build); the shared library is built in <that>-shared, library only.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-${VORNLIB_BUILD_DIR:-build}}
shared=$build-shared
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work # the conversions' outputs go there
failures=0
fail() { echo "run-consumers: FAILED: $*" >&2; failures=$((failures + 1)); }

version=$(sed -n 's/^project(Vornlib VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soversion=${version%.*} # major.minor: a 0.x library may break its interface in any minor version
cmake --build "$build" -j2 --target vornlib
cmake -S . -B "$shared" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DVORNLIB_INSTALL=ON \
  -DVORNLIB_TESTS=OFF -DVORNLIB_BENCH=OFF -DVORNLIB_EXAMPLES=OFF >/dev/null
cmake --build "$shared" -j2

prefix=$work/prefix
for tree in "$build" "$shared"; do cmake --install "$tree" --prefix "$prefix" >/dev/null; done
pcdir=$(dirname "$(find "$prefix" -name vornlib.pc)")
export PKG_CONFIG_PATH=$pcdir
libdir=$(pkg-config --variable=libdir vornlib)
pkg-config --exists "vornlib = $version" "vornlib-static = $version" || fail "the .pc files' version"

# $1 static or shared: builds and runs both consumers linked with that library.
consumers() {
  local kind=$1 flags
  echo "run-consumers: the $kind library, from a prefix holding both"
  mkdir -p "$work/$kind-run"
  cmake -S tests/consumers/cpp -B "$work/$kind-cpp" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DVORNLIB_SHARED_LIBS=$([ "$kind" = shared ] && echo ON || echo OFF) \
    >/dev/null &&
    cmake --build "$work/$kind-cpp" >/dev/null &&
    (cd "$work/$kind-run" && "$work/$kind-cpp/consumer") || fail "$kind: the C++ consumer"
  if [ "$kind" = static ]; then
    flags=$(pkg-config --cflags --libs vornlib-static)
  else
    flags="$(pkg-config --cflags --libs vornlib) -Wl,-rpath,$libdir"
  fi
  # shellcheck disable=SC2086 # the flags are words
  cc -std=c11 -Wall -Wextra -Werror tests/consumers/c/main.c $flags -o "$work/$kind-c" &&
    (cd "$work/$kind-run" && "$work/$kind-c") || fail "$kind: the C consumer"
  local program needs
  for program in "$work/$kind-cpp/consumer" "$work/$kind-c"; do
    needs=$(readelf -d "$program" | grep -c 'Shared library: \[libvornlib' || true)
    [ "$needs" = "$([ "$kind" = shared ] && echo 1 || echo 0)" ] ||
      fail "$kind: $program links the other library"
  done

  if [ "$kind" = shared ]; then
    local so=$libdir/libvornlib.so
    [[ $(readelf -d "$so") == *"Library soname: [libvornlib.so.$soversion]"* ]] ||
      fail "shared: SONAME is not libvornlib.so.$soversion"
    [ -e "$libdir/libvornlib.so.$soversion" ] || fail "shared: libvornlib.so.$soversion missing"
    local symbols internal
    symbols=$(nm -DC --defined-only "$so" | cut -d' ' -f3-)
    internal=$(grep -E 'vornlib::(platform|native|ffmpeg|facade|info|settings|runtime)::|anonymous namespace' \
      <<<"$symbols" || true)
    [ -z "$internal" ] || fail "shared: internal symbols exported: $internal"
    echo "run-consumers: libvornlib.so exports $(wc -l <<<"$symbols") symbols, of which" \
      "$(grep -cE '^(std::|[^(]* std::|(typeinfo|typeinfo name|vtable) for std::)' <<<"$symbols" ||
        true) are instantiations of standard templates"
  fi
}

consumers static
consumers shared
if ((failures)); then
  echo "run-consumers: $failures failed" >&2
  exit 1
fi
echo "run-consumers: static and shared consumers passed"
