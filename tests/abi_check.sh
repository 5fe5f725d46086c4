#!/usr/bin/env bash
# The ABI gate: compares a built library with the committed baseline. Any change other than an addition
# (a removed or changed function, a changed type layout) fails; additions are reported and pass, and are
# accepted by regenerating the baseline (scripts/update-abi) in the same commit.
# usage: abi_check.sh LIBRARY BASELINE PUBLIC_HEADERS_DIR
set -uo pipefail
lib=$1 baseline=$2 headers=$3

report=$(abidiff --no-added-syms --headers-dir2 "$headers" "$baseline" "$lib")
status=$?
if [ $status -ne 0 ]; then
    # Bit 1 is an error of abidiff itself, bit 4 an ABI change, bit 8 an incompatible one.
    echo "ABI break against $baseline (abidiff status $status):" >&2
    echo "$report" >&2
    exit 1
fi
additions=$(abidiff --headers-dir2 "$headers" "$baseline" "$lib")
if [ $? -ne 0 ]; then
    echo "compatible additions, not yet in the baseline (run scripts/update-abi to accept them):"
    echo "$additions"
else
    echo "ABI identical to $baseline"
fi
