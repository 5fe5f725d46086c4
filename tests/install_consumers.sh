#!/usr/bin/env bash
# Installs the built tree into a scratch prefix with cmake --install and checks that clients can use it.
# usage: install_consumers.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
"$(dirname "$0")/consume_prefix.sh" "$work/prefix" "${@:2}"
