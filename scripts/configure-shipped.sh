#!/bin/sh
# Configures BUILD_DIR as the programs are shipped: optimised, without the tests and benchmarks,
# and without the test suite's seam (VARDEL_TEST_TIMINGS off, also where a cache had it on).
# The Debian packages and the demo are built this way. The development keys may be installed
# (the package check installs this build).
# Usage: scripts/configure-shipped.sh BUILD_DIR
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDEL_BUILD_TESTS=OFF \
    -DVARDEL_BUILD_BENCH=OFF -DVARDEL_TEST_TIMINGS=OFF -DVARDEL_ALLOW_DEV_KEYS=ON
