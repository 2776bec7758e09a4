#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and runs each one for a
# bounded time: ./scripts/fuzz.sh [SECONDS_PER_TARGET] (default 60). Not part of test.sh.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
./scripts/install-deps.sh

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVARDEL_SANITIZE=address \
    -DVARDEL_BUILD_FUZZ=ON -DVARDEL_BUILD_TESTS=OFF -DVARDEL_BUILD_TOOLS=OFF \
    -DVARDEL_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$(nproc)" --target fuzz_configuration fuzz_sealedfile fuzz_rsa

status=0
for target in configuration sealedfile rsa; do
    corpus=build-fuzz/corpus/$target
    mkdir -p "$corpus"
    dictionary=
    if [ -f "fuzz/$target.dict" ]; then
        dictionary=-dict=fuzz/$target.dict
    fi
    seeds=
    if [ -d "fuzz/seeds/$target" ]; then
        seeds=fuzz/seeds/$target
    fi
    echo "fuzz: $target for $seconds s"
    # The corpus grows in build-fuzz; the committed seeds are only read.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/crash-$target-" $dictionary "$corpus" $seeds ||
        status=1
done
exit $status
