#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test. The tests run in a network namespace
# with only loopback (scripts/offline.sh), so none of them can reach another machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build run test
jobs=$(nproc)
# The suites wait on their peers and timers far more than they compute (a plain run uses about a
# tenth of its cores' time), so ctest runs three for each core.
at_once=$((3 * jobs))

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_BUILD_APP=ON -DKELVO_BUILD_TESTS=ON
cmake --build build
scripts/offline.sh ctest --test-dir build --output-on-failure -j "$at_once"
# How long the window stalls during long actions: figures only; fails only if a case cannot run.
scripts/offline.sh build/bench/bench_responsiveness
# How far the virtual printer outpaces a line: figures only.
scripts/offline.sh build/bench/bench_virtual_printer
# A lab of 100 headless printers under a steady load, briefly: figures only.
scripts/offline.sh build/bench/bench_lab --once
# The web page and API with 10,000 saved jobs held: answer times and memory, figures only.
scripts/offline.sh build/bench/bench_web --once
# The ratio benchmarks of scripts/bench.sh, one iteration each, so they keep building and running.
for bench in bench_bmp bench_links bench_startup bench_batch; do
    scripts/offline.sh "build/bench/$bench" --once >/dev/null
done

# Everything once more under AddressSanitizer + UndefinedBehaviorSanitizer, with the libFuzzer
# targets in the same build: clang, which libFuzzer needs, compiles the sanitized code in a
# quarter of g++'s time. Any report fails.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVO_SANITIZE=address,undefined -DKELVO_FUZZ=ON -DKELVO_BUILD_BENCH=OFF
cmake --build build-asan
scripts/offline.sh ctest --test-dir build-asan --output-on-failure -j "$at_once"

# The serial driver's threads and the port writes' watcher once more under ThreadSanitizer, in a
# build of their own (no Qt).
# ASLR off for the run: ThreadSanitizer does not know every kernel's memory layout.
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DKELVO_BUILD_APP=OFF -DKELVO_SANITIZE=thread \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-tsan --target test_comm test_serial_line test_device_output
TSAN_OPTIONS=halt_on_error=1 scripts/offline.sh setarch "$(uname -m)" -R \
    ctest --test-dir build-tsan -R '^test_(comm|serial_line|device_output)$' --output-on-failure -j "$jobs"

# Every parser of outside input under libFuzzer, from the sanitizer build above.
FUZZ_SECONDS=${FUZZ_SECONDS:-40} FUZZ_BUILD_DIR=build-asan scripts/offline.sh scripts/fuzz.sh
