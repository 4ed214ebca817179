#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a while, one after the other, on a
# working copy of its seed corpus in the build directory (the repository is never written).
# Prints per target the runs and the corpus at the end; exits non-zero when any target found a
# crash, a leak, a time-out or ran out of memory, its reproducer kept in BUILD/findings/TARGET/.
#
# Usage: run_fuzzers.sh BUILD_DIR SECONDS_PER_TARGET TARGET... ("all" for every target)
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$#" -lt 3 ]; then
    echo "usage: $0 BUILD_DIR SECONDS_PER_TARGET TARGET... (or all)" >&2
    exit 2
fi
build=$(realpath -m "$1")
seconds=$2
shift 2

every_target=(reception proxy_header server_config module_config account_records pathmap client_answers)
if [ "$*" = all ]; then
    targets=("${every_target[@]}")
else
    targets=("$@")
fi
for target in "${targets[@]}"; do
    if [ ! -d "tests/fuzz/corpus/$target" ]; then
        echo "unknown fuzz target: $target (known: ${every_target[*]})" >&2
        exit 2
    fi
done

CC=clang CXX=clang++ cmake -S . -B "$build" -DTVN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target "${targets[@]/%/_fuzz}"

found=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$findings" "$build/logs"
    # What earlier runs found stays; the seeds come in anew, in case they changed.
    cp -n "tests/fuzz/corpus/$target"/* "$corpus"/
    # A dictionary of the words a text format knows, where the target has one.
    options=()
    dictionary="$PWD/tests/fuzz/dict/$target.dict"
    [ -f "$dictionary" ] && options+=("-dict=$dictionary")
    echo "fuzzing $target for $seconds s (log: $log)"
    status=0
    "$build/bin/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${options[@]}" "$corpus" >"$log" 2>&1 \
        || status=$?
    runs=$(awk '/^stat::number_of_executed_units:/ { print $2 }' "$log")
    # Keeps the working corpus small across runs: only the inputs that add coverage stay.
    if [ "$status" -eq 0 ]; then
        rm -rf "$corpus.merged" && mkdir "$corpus.merged"
        if "$build/bin/${target}_fuzz" -merge=1 -timeout=10 -rss_limit_mb=2048 \
            "$corpus.merged" "$corpus" >"$build/logs/$target.merge.log" 2>&1; then
            rm -rf "$corpus" && mv "$corpus.merged" "$corpus"
        else
            rm -rf "$corpus.merged"
        fi
    fi
    files=$(find "$corpus" -type f | wc -l)
    bytes=$(du -sb "$corpus" | cut -f1)
    printf '%-16s %s runs, corpus %s files (%s bytes)\n' "$target" "${runs:-?}" "$files" "$bytes"
    if [ "$status" -ne 0 ]; then
        found+=("$target")
        tail -n 40 "$log"
        echo "FINDING in $target (exit status $status); reproducer:"
        sed -n 's/.*Test unit written to /  /p' "$log"
    fi
done

if [ "${#found[@]}" -gt 0 ]; then
    echo "fuzzing found faults in: ${found[*]}"
    exit 1
fi
echo "fuzzing found nothing in: ${targets[*]}"
