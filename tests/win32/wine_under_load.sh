#!/bin/bash
# The Wine box tests with the machine saturated: four CPU hogs (stress-ng --cpu 4, or four shell busy loops
# where stress-ng is missing) run beside them while CTest runs them <runs> times in a row. Every run must pass;
# a skipped test counts as a failure, since a skip would hide a box that never came. The hogs are ended when
# the script ends, however it ends, and end by themselves after 15 minutes in any case.
# usage: wine_under_load.sh <win32 build dir> [runs, 3] [CTest name regex, the box tests]
set -u
build=$1 runs=${2:-3} tests=${3:-'^wine\.confirm_box$'}
[ -f "$build/CTestTestfile.cmake" ] || { echo "no CTest build in $build"; exit 1; }

hogs=()
stop_load() {
    [ "${#hogs[@]}" -eq 0 ] || kill "${hogs[@]}" 2>/dev/null
    wait 2>/dev/null
}
trap stop_load EXIT
trap 'exit 130' INT TERM HUP

# stress-ng ends its workers when it is ended.
if command -v stress-ng >/dev/null 2>&1; then
    stress-ng --cpu 4 --timeout 900 --quiet &
    hogs+=($!)
    load="stress-ng --cpu 4"
else
    for _ in 1 2 3 4; do
        bash -c 'end=$((SECONDS + 900)); while [ $SECONDS -lt $end ]; do :; done' &
        hogs+=($!)
    done
    load="four busy loops"
fi
sleep 1
kill -0 "${hogs[@]}" 2>/dev/null || { echo "FAIL: the load ($load) did not start"; exit 1; }

passed=0
for run in $(seq 1 "$runs"); do
    out=$(ctest --test-dir "$build" -R "$tests" --output-on-failure 2>&1)
    status=$?
    if [ "$status" -eq 0 ] && grep -q '^100% tests passed' <<<"$out" && ! grep -qE 'Skipped|Not Run' <<<"$out"; then
        passed=$((passed + 1))
        echo "ok   run $run of $runs under $load: $(grep -cE 'Test +#[0-9]+: .* Passed' <<<"$out") test(s) passed"
    else
        echo "FAIL run $run of $runs under $load:"
        sed 's/^/  /' <<<"$out"
    fi
done
echo "$passed of $runs runs passed under $load"
[ "$passed" -eq "$runs" ]
