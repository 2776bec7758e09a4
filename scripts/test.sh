#!/bin/sh
# Installs what is missing, builds and runs every test: the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, the whole suite again
# in an optimised build without sanitizers (timing faults hide in slow builds), and finally the
# demo without a display, to its success box, and the Debian packages.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)

# The suite installs this build (tst_devkeys_install): it holds the development keys, so it says
# that it may.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARDEL_SANITIZE=address \
    -DVARDEL_BUILD_BENCH=OFF -DVARDEL_ALLOW_DEV_KEYS=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARDEL_SANITIZE=thread \
    -DVARDEL_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target vardel_thread_tests
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L threads)

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build-release -j "$jobs"
(cd build-release && ctest --output-on-failure -j "$jobs")

# The README's main command, here without a display: it runs on a virtual one and fails unless
# the installation ends with the success box.
env -u DISPLAY -u WAYLAND_DISPLAY ./scripts/demo.sh

# The Debian packages, their content and the program installed from them.
./scripts/check-package.sh
