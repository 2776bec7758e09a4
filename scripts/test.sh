#!/bin/sh
# Installs what is missing, builds and runs every test: the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, the whole suite again
# in an optimised build without sanitizers (timing faults hide in slow builds) with each
# benchmark once in its short mode, then the programs as shipped: the Debian packages, and the
# demo without a display, to its success box.
#
# The test builds are configured with VARDEL_TEST_TIMINGS, which lets the tests shorten the
# protocol's waits for the programs they start; the shipped build is not, and the package check
# makes sure of it. Each phase prints how long it took.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

# Every build goes through a compiler cache of the tree's own: the shipped build takes most of
# its objects from the optimised test build, whose objects are the same but for the one file
# that reads the test suite's timing seam.
export CCACHE_DIR="$PWD/.ccache" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache

jobs=$(nproc)
# Most tests spend their time waiting on a simulated line, not computing: three times as many
# at once as there are cores.
tests=$((jobs * 3))
started=$(date +%s)
last=$started
phase() {
    now=$(date +%s)
    echo "test.sh: $1 took $((now - last)) s ($((now - started)) s in all)"
    last=$now
}

# The suite installs this build (tst_devkeys_install): it holds the development keys, so it says
# that it may.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARDEL_SANITIZE=address \
    -DVARDEL_BUILD_BENCH=OFF -DVARDEL_ALLOW_DEV_KEYS=ON -DVARDEL_TEST_TIMINGS=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$tests")
phase "AddressSanitizer (build and suite)"

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARDEL_SANITIZE=thread \
    -DVARDEL_BUILD_BENCH=OFF -DVARDEL_TEST_TIMINGS=ON
cmake --build build-tsan -j "$jobs" --target vardel_thread_tests
(cd build-tsan && ctest --output-on-failure -j "$tests" -L threads)
phase "ThreadSanitizer (build and threaded tests)"

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDEL_TEST_TIMINGS=ON
cmake --build build-release -j "$jobs"
(cd build-release && ctest --output-on-failure -j "$tests")
phase "Release (build, suite and short benchmarks)"

# The Debian packages, their content and the program installed from them; then the README's
# main command, here without a display: it runs on a virtual display and fails unless the
# installation ends with the success box. Both use the one shipped build, build/.
./scripts/check-package.sh build
phase "Debian packages"
env -u DISPLAY -u WAYLAND_DISPLAY ./scripts/demo.sh
phase "demo"
