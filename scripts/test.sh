#!/bin/sh
# Installs what is missing, builds and runs every test: the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARDEL_SANITIZE=address \
    -DVARDEL_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARDEL_SANITIZE=thread \
    -DVARDEL_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target vardel_thread_tests
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L threads)

# The Debian packages, their content and the program installed from them.
./scripts/check-package.sh
