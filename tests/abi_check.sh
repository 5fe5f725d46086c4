#!/usr/bin/env bash
# The ABI gate: compares a built library with the committed baseline. Any change other than an addition (a
# removed or changed function, a changed type layout) fails; additions are reported and pass, and are accepted
# by regenerating the baseline (scripts/update-abi) in the same commit.
# usage: abi_check.sh LIBRARY BASELINE PUBLIC_HEADERS_DIR
set -uo pipefail
if ! report=$(abidiff --no-added-syms --headers-dir2 "$3" "$2" "$1"); then
    printf 'ABI break against %s:\n%s\n' "$2" "$report" >&2
    exit 1
fi
if additions=$(abidiff --headers-dir2 "$3" "$2" "$1"); then
    echo "ABI identical to $2"
else
    printf 'compatible additions, not yet in the baseline (run scripts/update-abi):\n%s\n' "$additions"
fi
