#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in BUILD_DIR and runs each
# for SECONDS from its seed corpus (fuzz/corpus/<name>/, copied so the
# checkout stays clean). Fails on the first target that finds a crash, a leak
# or a sanitizer report.
# Usage: scripts/fuzz.sh [BUILD_DIR] [SECONDS]
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$(realpath -m "${1:-$root/build-fuzz}")
seconds=${2:-60}
jobs=$(nproc 2>/dev/null || echo 2)

CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DVELBO_FUZZ=ON -DVELBO_WERROR=ON || exit $?
cmake --build "$build_dir" -j "$jobs" --target velbo_fuzz || exit $?

status=0
ran=0
for bin in "$build_dir"/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin")
    corpus=$build_dir/corpus/$name
    rm -rf "$corpus"
    mkdir -p "$corpus"
    if [ -d "$root/fuzz/corpus/$name" ]; then
        cp -r "$root/fuzz/corpus/$name/." "$corpus/"
    fi
    echo "---- $name: ${seconds}s"
    if ! (cd "$build_dir" && "$bin" -max_total_time="$seconds" -print_final_stats=1 "$corpus"); then
        echo "---- $name: FAILED"
        status=1
    fi
    ran=$((ran + 1))
done
echo "fuzz targets run: $ran"
exit $status
