#!/bin/bash
# Runs a cross-compiled GoogleTest program in a fresh 32-bit Wine prefix.
# usage: wine_gtest.sh <test.exe> [gtest options]
set -u
exe=$1
shift
. "$(dirname "$0")/wine_common.sh"
wine_start
timeout 300 wine "$exe" "$@"
status=$?
[ "$status" -ne 124 ] || echo "FAIL: $(basename "$exe") did not end within 300 s"
echo "exit code $status"
exit $status
