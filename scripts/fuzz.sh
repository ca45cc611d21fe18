#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in BUILD_DIR and runs each
# for SECONDS from its seed corpus (fuzz/corpus/<name>/, copied so the
# checkout stays clean), several at once. Fails when any target finds a
# crash, a leak or a sanitizer report, and shows the end of its output.
# Usage: scripts/fuzz.sh [BUILD_DIR] [SECONDS]
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$(realpath -m "${1:-$root/build-fuzz}")
seconds=${2:-60}
jobs=$(nproc 2>/dev/null || echo 2)

CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DVELBO_FUZZ=ON -DVELBO_WERROR=ON || exit $?
cmake --build "$build_dir" -j "$jobs" --target velbo_fuzz || exit $?

# Each target runs in its own directory with its output in a log; up to one
# target per core at a time, so the whole run takes about SECONDS per batch.
run_target()
{
    local bin=$1 name
    name=$(basename "$bin")
    local dir=$build_dir/runs/$name
    rm -rf "$dir"
    mkdir -p "$dir/corpus"
    if [ -d "$root/fuzz/corpus/$name" ]; then
        cp -r "$root/fuzz/corpus/$name/." "$dir/corpus/"
    fi
    (cd "$dir" && "$bin" -max_total_time="$seconds" -print_final_stats=1 corpus) >"$dir/log" 2>&1
}

bins=()
for bin in "$build_dir"/fuzz/fuzz_*; do
    [ -x "$bin" ] && bins+=("$bin")
done

pids=()
for bin in "${bins[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n
    done
    echo "---- $(basename "$bin"): ${seconds}s"
    run_target "$bin" &
    pids+=($!)
done

status=0
for i in "${!bins[@]}"; do
    name=$(basename "${bins[$i]}")
    if wait "${pids[$i]}"; then
        echo "---- $name: passed ($(grep -m1 '^stat::number_of_executed_units' "$build_dir/runs/$name/log" | awk '{print $2}') runs)"
    else
        echo "---- $name: FAILED"
        tail -n 60 "$build_dir/runs/$name/log"
        status=1
    fi
done
echo "fuzz targets run: ${#bins[@]}"
exit $status
