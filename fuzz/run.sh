#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time on a copy of its seed corpus.
# FUZZ_SECONDS sets the time per target (default 60). Fails on any finding: crash, leak, timeout or
# running out of memory.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${FUZZ_SECONDS:-60}
targets=(regedit4 command_line options hive cabinet manifest)

cmake --preset fuzz >/dev/null || exit 1
# Builds exactly the targets run here, so that a target added to the list is never run unbuilt.
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzz}" || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target/corpus" "$work/$target/findings"
    cp fuzz/corpus/"$target"/* "$work/$target/corpus/"
    log=$work/$target/log
    (cd "$work/$target/findings" &&
        "$root/build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 "$work/$target/corpus") >"$log" 2>&1
    status=$?
    runs=$(sed -n 's/^Done \([0-9]*\) runs in .*/\1/p' "$log" | tail -n 1)
    findings=$(ls "$work/$target/findings")
    if [[ $status -eq 0 && -z $findings && -n $runs ]]; then
        echo "${target}_fuzz: ok, $runs runs in ${seconds}s"
        passed=$((passed + 1))
    else
        echo "${target}_fuzz: FAILED (exit $status)${findings:+, found: $findings}"
        tail -n 60 "$log"
        # The inputs themselves, so that a finding can be reproduced from the log alone.
        for file in $findings; do
            echo "$file (base64): $(head -c 4096 "$work/$target/findings/$file" | base64 -w 0)"
        done
        failed=$((failed + 1))
    fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
