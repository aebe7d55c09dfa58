#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
# FUZZ_SECONDS sets the time of the deep parsers' targets (default 60; the small ones take less),
# FUZZ_TARGETS a subset (e.g. "fuzz_printer"), FUZZ_BUILD_DIR the build directory (default
# build-fuzz), FUZZ_JOBS how many run at once (default one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# A tree configured for fuzzing already (the test command's sanitizer build) is used as it is.
if ! grep -qs '^KELVO_FUZZ:BOOL=ON' "$dir/CMakeCache.txt"; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKELVO_BUILD_TESTS=OFF -DKELVO_BUILD_APP=OFF -DKELVO_FUZZ=ON \
        -DKELVO_SANITIZE=address,undefined >/dev/null
fi
# The deep parsers first, for the whole time; the small ones reach all their code in a few seconds
# (their last new path came within 2 s of a 20 s run), so they take a quarter of it, the GBK
# text half.
deep="fuzz_decoder fuzz_printer fuzz_bmp"
targets=${FUZZ_TARGETS:-$deep fuzz_gbk fuzz_integer_text fuzz_ip_string fuzz_port_name}
if [[ -z ${FUZZ_TARGETS:-} ]]; then
    for t in $(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//'); do
        [[ " $targets " == *" $t "* ]] || { echo "fuzz.sh: $t is in no list here" >&2; exit 2; }
    done
fi
seconds_for() {
    case $1 in
        fuzz_gbk) echo $((seconds / 2)) ;;
        fuzz_integer_text | fuzz_ip_string | fuzz_port_name) echo $((seconds / 4)) ;;
        *) echo "$seconds" ;;
    esac
}
cmake --build "$dir" --target $targets
# One target per core at a time: each fuzzer runs on one thread.
fuzz_one() {
    local t=$1 name=${1#fuzz_} work log runs time
    time=$(seconds_for "$t")
    work=$(mktemp -d)
    log=$(mktemp)
    cp -r "fuzz/corpus/$name/." "$work/"
    if ! "$dir/fuzz/$t" -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$PWD/$dir/" "$work" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz target $t failed" >&2
        return 1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "$t: ${time}s, $runs executions, no findings"
    rm -rf "$work" "$log"
}
parallel=${FUZZ_JOBS:-$(nproc)}
running=0
status=0
for t in $targets; do
    if [[ $running -ge $parallel ]]; then
        wait -n || status=1
        running=$((running - 1))
    fi
    fuzz_one "$t" &
    running=$((running + 1))
done
while [[ $running -gt 0 ]]; do
    wait -n || status=1
    running=$((running - 1))
done
exit $status
