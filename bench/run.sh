#!/bin/sh
# Runs the benchmarks of a build tree (default: build-release, configured and built here in
# RelWithDebInfo when missing) with the modem-line shim and umockdev preloaded, as the mocked
# serial devices need. Every benchmark runs to its end; those that failed are named at the end,
# and the status is then non-zero.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-release}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j 2 --target vardel_bench
cmake --build "$build" --target run_bench
