#!/usr/bin/env bash
# Builds the benchmarks and prints one table: every case beside its baseline of the same run, the
# ratio and its goal. Ratios, not times, are what compare across machines; the machine and its load
# are printed with them. Exit status 1 when a goal is not met.
# Each case runs five times and its median counts. BENCH_ARGS replaces the Google Benchmark options
# given to every binary (e.g. BENCH_ARGS=--benchmark_filter=pty for a quick look).
set -euo pipefail
cd "$(dirname "$0")/.."
benches=(bench_bmp bench_links bench_startup bench_discovery bench_batch)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target "${benches[@]}" >/dev/null

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
for bench in "${benches[@]}"; do
    # A window's start or a 1 MiB transfer takes tens of milliseconds and varies by a few on a
    # shared machine: each repetition of those cases takes two seconds, not half a second.
    more=()
    if [[ ($bench == bench_startup || $bench == bench_links) && -z ${BENCH_ARGS:-} ]]; then
        more=(--benchmark_min_time=2)
    fi
    # shellcheck disable=SC2086
    scripts/offline.sh "build/bench/$bench" --benchmark_color=false \
        ${BENCH_ARGS:---benchmark_repetitions=5 --benchmark_report_aggregates_only=true} \
        "${more[@]}" >"$logs/$bench.log" 2>&1 || status=$?
    if [[ $status -eq 1 ]]; then
        cat "$logs/$bench.log"
        echo "$bench: a case could not run" >&2
        exit 1
    fi
done

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "load average (1, 5, 15 min) before: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
header=printed
for bench in "${benches[@]}"; do
    # Each binary ends with its table: a header line starting "case", then one row per case.
    awk -v skip="$header" '/^case /{on=1; if (skip == "done") next} on' "$logs/$bench.log"
    header=done
done
if grep -q ' NO$' "$logs"/*.log; then
    echo "some goals are not met" >&2
    exit 1
fi
