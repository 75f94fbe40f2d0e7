#!/usr/bin/env bash
# Builds the offline program and runs it on a copy of the example machine: an interactive run whose
# confirmation is answered Yes, showing the boxes, the journal (JSON Lines) and the summary.
# Usage: bash examples/run.sh [machine | machine-dat]
#   machine      the example with its registry as registry.reg (the default)
#   machine-dat  the same machine with Windows 98's own WINDOWS/SYSTEM.DAT and USER.DAT
set -euo pipefail

example=${1:-machine}
case "$example" in
machine | machine-dat) ;;
*)
    echo "usage: bash examples/run.sh [machine | machine-dat]" >&2
    exit 2
    ;;
esac

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What the build needs, by Debian package name.
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v g++ >/dev/null 2>&1 || command -v c++ >/dev/null 2>&1 || missing+=(g++)
[ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing ${missing[*]} ..."
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    else
        echo "Please install first: ${missing[*]} (CMake 3.25 or newer, a C++20 compiler, OpenSSL headers)." >&2
        exit 1
    fi
fi

# Only the program: the tests (and GoogleTest) are for the README's test command.
cd "$source_dir"
cmake -S . -B build/quick -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/quick --target cmpci-uninstall -j "$(nproc 2>/dev/null || echo 2)"

copy=$(mktemp -d -t cmpci-example.XXXXXX)
cp -R "$source_dir/examples/$example/." "$copy/"

echo
echo "Running: cmpci-uninstall --machine $copy --answer yes --journal -"
echo
"$source_dir/build/quick/cmpci-uninstall" --machine "$copy" --answer yes --journal -
echo
echo "The machine after the run is in $copy; examples/$example is unchanged."
