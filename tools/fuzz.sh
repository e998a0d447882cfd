#!/bin/sh
# Builds the libFuzzer targets of fuzz/ in BUILD_FUZZ (default build-fuzz) and
# runs each for FUZZ_SECONDS (default 30): tools/fuzz.sh [target...].
# New inputs collect in fuzz/corpus-run/<target> (not committed); the seeds of
# fuzz/corpus/<target> are only read. A crash or failed check is saved as
# BUILD_FUZZ/artifacts/<target>-crash-* and fails the run.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_FUZZ:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=${*:-config_fuzz device_fuzz query_fuzz framing_fuzz history_fuzz}

sh tools/check-fuzz-deps.sh
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"${JOBS:-2}" >/dev/null
mkdir -p "$build/artifacts"

status=0
for target in $targets; do
    run="fuzz/corpus-run/$target"
    mkdir -p "$run"
    dict=""
    [ -f "fuzz/$target.dict" ] && dict="-dict=fuzz/$target.dict"
    log="$build/$target.log"
    echo "fuzzing $target for ${seconds}s"
    if sh tools/no-aslr.sh "$build/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$target-" $dict \
        "$run" "fuzz/corpus/$target" >"$log" 2>&1; then
        # "#N DONE cov: C ft: F corp: ... exec/s: E ..." and the final stats.
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" |
            tr '\n' ' '
        echo
    else
        echo "$target FAILED; the end of its log ($log):"
        tail -60 "$log"
        status=1
    fi
done
exit $status
