#!/usr/bin/env bash
# Builds and runs a C client through pkg-config and a C++ client through find_package against an installed
# tree at PREFIX (and nothing else), then runs the installed ratemap if the tree has it.
# usage: consume_prefix.sh PREFIX CONSUMER_SOURCE_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
prefix=$1 consumer_src=$2 cc=$3 cxx=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

libdir=$(dirname "$(find "$prefix" -name 'libzel_utils_v4_math.so' | head -n 1)")
for f in libzel_utils_v4_math.so libzel_utils_v4_math.so.0; do
    [ -L "$libdir/$f" ] || { echo "missing link $f in $libdir" >&2; exit 1; }
done
expected="44100 0 300"

pcdir=$(dirname "$(find "$prefix" -name zel.pc)")
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs zel)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror "$consumer_src/consumer.c" $flags -Wl,-rpath,"$libdir" -o "$work/c_consumer"
got=$("$work/c_consumer")
[ "$got" = "$expected" ] || { echo "C consumer printed '$got', expected '$expected'" >&2; exit 1; }
echo "pkg-config consumer: $got"

cmake -S "$consumer_src" -B "$work/cxx" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_RPATH="$libdir" > "$work/configure.log"
cmake --build "$work/cxx" > "$work/build.log"
got=$("$work/cxx/consumer")
[ "$got" = "$expected" ] || { echo "C++ consumer printed '$got', expected '$expected'" >&2; exit 1; }
echo "find_package consumer: $got"

if [ -x "$prefix/bin/ratemap" ]; then
    got=$("$prefix/bin/ratemap" -o csv -n 1 -f 5 -b 6 3 4 | tail -n 1)
    [ "$got" = "0,5,10,3,3,4,7,2,4,3,7,5" ] || { echo "installed ratemap printed '$got'" >&2; exit 1; }
    echo "installed ratemap: $got"
fi
