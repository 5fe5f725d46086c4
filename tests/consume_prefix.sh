#!/usr/bin/env bash
# Builds and runs a C client through pkg-config and a C++ client through find_package against an installed tree
# at PREFIX and nothing else, then runs the installed tools if the tree has them. Given a build directory
# instead, installs it into a scratch prefix first.
# usage: consume_prefix.sh PREFIX|BUILD_DIR SOURCE_TESTS_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
prefix=$1 tests=$2 cc=$3 cxx=$4 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -f "$prefix/CMakeCache.txt" ]; then
    cmake --install "$prefix" --prefix "$work/prefix" > "$work/install.log"
    prefix=$work/prefix
fi
libdir=$(dirname "$(find "$prefix" -name 'libzel_utils_v4_math.so' | head -n 1)")
[ -L "$libdir/libzel_utils_v4_math.so" ] && [ -L "$libdir/libzel_utils_v4_math.so.0" ] || { echo "missing links in $libdir" >&2; exit 1; }

flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zel.pc)") pkg-config --cflags --libs zel)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror "$tests/math_c_test.c" $flags -Wl,-rpath,"$libdir" -o "$work/c_client"
"$work/c_client" && echo "pkg-config client: ok"
# The resampler's C example, built as a user would from the installed tree: one second at 44100 Hz becomes
# exactly 48000 frames (stereo float32, 8 bytes a frame).
flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zel-resampler.pc)") pkg-config --cflags --libs zel-resampler)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror "$tests/../examples/resample_raw.c" $flags -Wl,-rpath,"$libdir" -o "$work/raw"
head -c $((44100 * 8)) /dev/zero | "$work/raw" 44100 48000 2 > "$work/out.f32"
[ "$(wc -c < "$work/out.f32")" -eq $((48000 * 8)) ] || { echo "resample_raw wrote the wrong length" >&2; exit 1; }
# The live example: options, int16 output through process_buffers, input_needed, the version, clipped samples.
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror "$tests/../examples/live_callback.c" $flags -lm -Wl,-rpath,"$libdir" \
    -o "$work/live"
"$work/live" 128 > /dev/null
echo "pkg-config resampler client: ok"

cmake -S "$tests/consumer" -B "$work/cxx" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_RPATH="$libdir" > "$work/configure.log"
cmake --build "$work/cxx" > "$work/build.log"
"$work/cxx/consumer" && echo "find_package client: ok"

python=$(find "$prefix" -path '*/dist-packages/zel' -type d | head -n 1)
if [ -n "$python" ]; then
    PYTHONPATH=$(dirname "$python") /usr/bin/python3 -c \
        "import zel, numpy; assert zel.resample(numpy.zeros((44100, 2), numpy.int16), 44100, 48000).shape == (48000, 2)"
    echo "installed Python module: ok"
fi
if [ -x "$prefix/bin/ratemap" ]; then
    got=$("$prefix/bin/ratemap" -o csv -n 1 -f 5 -b 6 3 4 | tail -n 1)
    [ "$got" = "0,5,10,3,3,4,7,2,4,3,7,5" ] || { echo "installed ratemap printed '$got'" >&2; exit 1; }
    echo "installed ratemap: ok"
fi
# The GStreamer plugin finds the resampler from where it is installed.
plugin=$(find "$prefix" -name libgstzel.so | head -n 1)
if [ -n "$plugin" ] && command -v gst-inspect-1.0 > /dev/null; then
    GST_REGISTRY=$work/registry.bin GST_PLUGIN_PATH=$(dirname "$plugin") gst-inspect-1.0 zelresample > /dev/null
    echo "installed GStreamer plugin: ok"
fi
if [ -x "$prefix/bin/resample" ]; then "$prefix/bin/resample" --help > /dev/null && echo "installed resample: ok"; fi
