#!/usr/bin/env bash
# Builds the Debian packages and the tarball with CPack, unpacks the packages with dpkg -x, checks that every
# file and link is where a user expects, and builds clients against the unpacked tree.
# usage: package_test.sh BUILD_DIR SOURCE_TESTS_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

cpack --config "$1/CPackConfig.cmake" -B "$work/out" -D CPACK_PACKAGING_INSTALL_PREFIX=/usr > "$work/cpack.log" \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
runtime=$(ls "$work"/out/libzel-utils-v4-math0_*.deb) && dev=$(ls "$work"/out/libzel-utils-v4-math-dev_*.deb) \
    && ls "$work"/out/zel-*.tar.gz > /dev/null || fail "a package is missing"
version=$(dpkg-deb -f "$runtime" Version)
dpkg-deb -f "$dev" Depends | grep -q "libzel-utils-v4-math0 (= $version)" || fail "dev does not depend on the runtime"
dpkg-deb -f "$runtime" Depends | grep -q "libstdc++6" || fail "runtime lacks its shared-library dependencies"

# The runtime package: the versioned library and its soname link, and nothing for building.
dpkg -x "$runtime" "$work/rt"
lib=$(find "$work/rt" -name "libzel_utils_v4_math.so.$version" -type f)
[ "$(readlink "$(dirname "$lib")/libzel_utils_v4_math.so.0")" = "libzel_utils_v4_math.so.$version" ] \
    || fail "runtime lacks the library or its soname link"
[ -z "$(find "$work/rt" -name '*.h' -o -name '*.so' -o -name '*.pc')" ] || fail "runtime carries development files"

# The development package: headers, the .so link, pkg-config and CMake files.
dpkg -x "$dev" "$work/dev"
for f in math.h resampling_mapper.h export.h version.h zel.pc zelConfig.cmake zelConfigVersion.cmake \
    zelTargets.cmake libzel_utils_v4_math.so; do
    [ -n "$(find "$work/dev" -name "$f")" ] || fail "dev lacks $f"
done
grep -q "ZEL_VERSION_STRING \"$version\"" "$work/dev/usr/include/zel/version.h" || fail "version.h disagrees"
[ -z "$(find "$work/dev" -name 'resampler*')" ] || fail "the arithmetic package carries the resampler's headers"

# The resampler's pair: the library with its soname link; its headers, .so link, pkg-config and CMake targets.
rrt=$(ls "$work"/out/libzel-resampler0_*.deb) && rdev=$(ls "$work"/out/libzel-resampler-dev_*.deb) \
    || fail "a resampler package is missing"
dpkg-deb -f "$rrt" Depends | grep -q "libzel-utils-v4-math0 (= $version)" || fail "libzel-resampler0's depends"
dpkg-deb -f "$rdev" Depends | grep -q "libzel-resampler0 (= $version)" || fail "libzel-resampler-dev's depends"
dpkg -x "$rrt" "$work/rrt"
[ -L "$(find "$work/rrt" -name libzel_resampler.so.0)" ] || fail "libzel-resampler0 lacks its soname link"
[ -z "$(find "$work/rrt" -name '*.h' -o -name '*.so')" ] || fail "libzel-resampler0 carries development files"
dpkg -x "$rdev" "$work/rdev"
for f in resampler.h resampler.hpp zel-resampler.pc zelResamplerTargets.cmake libzel_resampler.so; do
    [ -n "$(find "$work/rdev" -name "$f")" ] || fail "libzel-resampler-dev lacks $f"
done

# The module without Dask or libsndfile; zel.batch apart, with what it needs.
py=$(ls "$work"/out/python3-zel_*.deb) && pyb=$(ls "$work"/out/python3-zel-batch_*.deb) || fail "a python3-zel* is missing"
dpkg-deb -f "$py" Depends | grep "libzel-resampler0 (= $version).*python3-numpy" | grep -qv "distributed\|sndfile" \
    || fail "python3-zel's depends"
dpkg-deb -f "$pyb" Depends | grep -q "python3-zel (= $version).*libsndfile1" || fail "python3-zel-batch's depends"
for f in __init__.py _native.pyi py.typed; do
    [[ "$(dpkg-deb -c "$py")" == *dist-packages/zel/$f* ]] || fail "python3-zel lacks $f"
done
batch=$(dpkg-deb -c "$pyb")
[[ "$(dpkg-deb -c "$py")" != *batch.py* && "$batch" == *zel/batch.py* && "$batch" == *zel/_files.* ]] \
    || fail "zel.batch is not in python3-zel-batch alone"

# The GStreamer plugin, where the build made it: in GStreamer's own directory under the prefix.
if [ -e "$1/gst/libgstzel.so" ]; then
    gst=$(ls "$work"/out/gstreamer1.0-zel_*.deb) || fail "gstreamer1.0-zel is missing"
    dpkg-deb -f "$gst" Depends | grep -q "libzel-resampler0 (= $version).*libgstreamer1.0-0" || fail "its depends"
    [[ "$(dpkg-deb -c "$gst")" == *usr/lib/*/gstreamer-1.0/libgstzel.so* ]] || fail "gstreamer1.0-zel lacks the plugin"
fi

for deb in "$work"/out/*.deb; do dpkg -x "$deb" "$work/root"; done  # as installing them all would
"$(dirname "$0")/consume_prefix.sh" "$work/root/usr" "${@:2}"
