#!/usr/bin/env bash
# Builds the Debian packages and the tarball with CPack, unpacks the packages into scratch roots with dpkg -x,
# checks that every file and link is where a user expects, and builds clients against the unpacked tree.
# usage: package_test.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_PACKAGING_INSTALL_PREFIX=/usr > "$work/cpack.log" \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
runtime=$(ls "$work"/out/libzel-utils-v4-math0_*.deb) || fail "no runtime package"
dev=$(ls "$work"/out/libzel-utils-v4-math-dev_*.deb) || fail "no development package"
ls "$work"/out/zel-*.tar.gz > /dev/null || fail "no tarball"

version=$(dpkg-deb -f "$runtime" Version)
dpkg-deb -f "$dev" Depends | grep -q "libzel-utils-v4-math0 (= $version)" || fail "dev does not depend on the runtime"
dpkg-deb -f "$runtime" Depends | grep -q "libstdc++6" || fail "runtime lacks its shared-library dependencies"

# The runtime package holds the versioned library and its soname link, and nothing for building.
dpkg -x "$runtime" "$work/rt"
lib=$(find "$work/rt" -name "libzel_utils_v4_math.so.$version" -type f)
[ -n "$lib" ] || fail "runtime lacks libzel_utils_v4_math.so.$version"
[ "$(readlink "$(dirname "$lib")/libzel_utils_v4_math.so.0")" = "libzel_utils_v4_math.so.$version" ] \
    || fail "runtime lacks the soname link"
[ -z "$(find "$work/rt" -name '*.h' -o -name 'libzel_utils_v4_math.so' -o -name '*.pc')" ] \
    || fail "runtime carries development files"

# The development package holds the headers, the .so link, pkg-config and CMake files.
dpkg -x "$dev" "$work/dev"
for f in math.h resampling_mapper.h export.h version.h; do
    [ -f "$work/dev/usr/include/zel/$f" ] || fail "dev lacks include/zel/$f"
done
for f in zel.pc zelConfig.cmake zelConfigVersion.cmake zelTargets.cmake; do
    [ -n "$(find "$work/dev" -name "$f")" ] || fail "dev lacks $f"
done
[ -L "$(find "$work/dev" -name libzel_utils_v4_math.so)" ] || fail "dev lacks the .so link"
grep -q "ZEL_VERSION_STRING \"$version\"" "$work/dev/usr/include/zel/version.h" || fail "version.h disagrees"

# Everything unpacked into one root, as installing the packages would do.
root="$work/root"
for deb in "$work"/out/*.deb; do dpkg -x "$deb" "$root"; done
"$(dirname "$0")/consume_prefix.sh" "$root/usr" "${@:2}"
echo "packages: $(cd "$work/out" && ls -- *.deb *.tar.gz | tr '\n' ' ')"
