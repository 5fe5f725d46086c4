#!/usr/bin/env bash
# Fails unless the shared object exports exactly the symbols listed in EXPECTED and carries the right soname.
# usage: check_exports.sh LIBRARY EXPECTED_SYMBOLS_FILE EXPECTED_SONAME
set -euo pipefail
lib=$1 expected=$2 soname=$3

actual_soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
if [ "$actual_soname" != "$soname" ]; then
    echo "wrong soname: '$actual_soname', expected '$soname'" >&2
    exit 1
fi

# Every defined dynamic symbol except the linker's own bookkeeping; mangled names are compared, so a changed
# parameter type shows up as one missing and one extra symbol.
nm -D --defined-only "$lib" | awk '{print $3}' | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u \
    > exports.actual
grep -vE '^\s*(#|$)' "$expected" | sort -u > exports.expected

status=0
missing=$(comm -13 exports.actual exports.expected)
extra=$(comm -23 exports.actual exports.expected)
if [ -n "$missing" ]; then
    echo "missing exports:" >&2
    echo "$missing" >&2
    status=1
fi
if [ -n "$extra" ]; then
    echo "unexpected exports:" >&2
    echo "$extra" >&2
    status=1
fi
[ $status -eq 0 ] && echo "soname $actual_soname; $(wc -l < exports.actual) exported symbols, all expected"
exit $status
