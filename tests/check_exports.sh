#!/usr/bin/env bash
# Fails unless the shared object carries the given soname and exports exactly the symbols listed in EXPECTED.
# Mangled names are compared, so a changed parameter type shows as one missing (<) and one extra (>) symbol.
# usage: check_exports.sh LIBRARY EXPECTED_SYMBOLS_FILE EXPECTED_SONAME
set -euo pipefail
soname=$(readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
[ "$soname" = "$3" ] || { echo "wrong soname: '$soname', expected '$3'" >&2; exit 1; }
diff <(grep -vE '^\s*(#|$)' "$2" | sort -u) \
    <(nm -D --defined-only "$1" | awk '{print $3}' | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)
echo "soname $soname; the exports are exactly those expected"
