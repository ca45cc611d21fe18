#!/usr/bin/env bash
# Configures and builds the project, then runs the whole test suite.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake args...]
# BUILD_DIR defaults to build/ in the source tree. The exit status is that of
# the tests (or of the configure or build step that failed).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$root/build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    build_dir=$1
    shift
fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$build_dir" -DVELBO_WERROR=ON "$@" || exit $?
cmake --build "$build_dir" -j "$jobs" || exit $?
cd "$build_dir" || exit 1
ctest --output-on-failure --no-tests=error -j "$jobs"
