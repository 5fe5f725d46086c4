#!/usr/bin/env bash
# Shows that the ABI gate catches real breaks without committing one: builds the library from a copy of the
# sources, unchanged and with a function added (which must pass), and with a public record changed (which must
# fail); then the resampler, whose handle's layout may change (pass) but not a parameter (fail).
# usage: abi_gate_test.sh SOURCE_DIR BASELINE CXX_COMPILER
set -euo pipefail
src=$1 baseline=$2 cxx=$3 here=$(cd "$(dirname "$0")" && pwd) work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check NAME pass|fail [FILE PERL_SUBSTITUTION]...
check() {
    local name=$1 want=$2 dir=$work/$1 got=pass
    shift 2
    mkdir -p "$dir" && cp -r "$src/include" "$src/src" "$dir"
    for ((i = 1; i < $#; i += 2)); do
        local file=${!i} j=$((i + 1))
        perl -0pi -e "${!j}" "$dir/$file"
        ! cmp -s "$src/$file" "$dir/$file" || { echo "$name: the patch of $file changed nothing" >&2; exit 1; }
    done
    "$cxx" -w -std=c++17 -g -O2 -fPIC -shared -fvisibility=hidden -fvisibility-inlines-hidden -I"$dir/include" \
        -I"$dir/src/resampler" "$dir"/src/*/*.cpp "${link[@]}" -o "$dir/lib.so"
    "$here/abi_check.sh" "$dir/lib.so" "$baseline" "$dir/include/zel" > "$dir.log" 2>&1 || got=fail
    [ "$got" = "$want" ] || { echo "$name: the gate should $want but did $got:" >&2; cat "$dir.log" >&2; exit 1; }
    echo "$name: the gate did $got, as it should"
}

link=(-Wl,-soname,libzel_utils_v4_math.so.0)
header=include/zel/resampling_mapper.h
check unchanged pass
check function_added pass \
    include/zel/math.h 's/(ZEL_API unsigned int math_gcd_int)/ZEL_API unsigned int math_gcd_extra(unsigned int a);\n$1/' \
    src/math/gcd.cpp 's/(extern "C" \{\n)/$1unsigned int math_gcd_extra(unsigned int a) { return a; }\n/'
grep -q "math_gcd_extra" "$work/function_added.log" || { echo "function_added: not reported" >&2; exit 1; }
check field_order_swapped fail "$header" \
    's/unsigned long long whole;\n(\s*)unsigned long long numerator;/unsigned long long numerator;\n$1unsigned long long whole;/'
check field_type_narrowed fail "$header" 's/unsigned long long denominator;\n(\s*)\};\n/unsigned int denominator;\n$1};\n/'
check field_inserted fail "$header" 's/(\n\s*)(unsigned long long targetCommonRate = 1;)/$1unsigned long long inserted = 0;$1$2/'

baseline=$src/abi/libzel_resampler.abi
link=(-Wl,-soname,libzel_resampler.so.0 "-Wl,--version-script=$src/cmake/zel_resampler.map")
check resampler_unchanged pass
check resampler_handle_grows pass src/resampler/resampler.cpp 's/(std::unique_ptr<Stream> stream;)/$1\n    double added = 0;/'
check resampler_parameter_widened fail include/zel/resampler.h 's/(zel_resampler_create\(.*?)unsigned int channels,/$1unsigned long channels,/s' \
    src/resampler/resampler.cpp 's/(zel_resampler_create\(.*?)unsigned int channels,/$1unsigned long channels,/s'
