#pragma once

// A row whose product and baseline take turns within each iteration, the first of the pair
// alternating, so a shared machine's drift (another process, the disk's journal) falls on both
// alike. The row's ratio is the sum of the product's times over the baseline's. Each side returns
// its seconds, or a negative number when it could not run.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace kelvo::bench {

inline void RegisterPair(const std::string& row, std::function<double()> product,
                         std::function<double()> baseline) {
    benchmark::RegisterBenchmark(
        row.c_str(),
        [=](benchmark::State& state) {
            double productSum = 0, baselineSum = 0;
            int64_t turn = 0;
            for (auto _ : state) {
                const bool productFirst = turn++ % 2 == 0;
                const double first = productFirst ? product() : baseline();
                const double second = productFirst ? baseline() : product();
                if (first < 0 || second < 0) {
                    state.SkipWithError("a side did not finish its work");
                    return;
                }
                productSum += productFirst ? first : second;
                baselineSum += productFirst ? second : first;
                state.SetIterationTime(first + second);
            }
            state.counters["product"] = productSum / static_cast<double>(turn) * 1e9;
            state.counters["baseline"] = baselineSum / static_cast<double>(turn) * 1e9;
            state.counters["ratio"] = productSum / baselineSum;
        })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// The seconds from spawn to exit of `argv`, its output thrown away; -1 when it failed.
inline double TimeProcess(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int failed = ::posix_spawn(&pid, args[0], &files, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    int status = 0;
    if (failed != 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

}  // namespace kelvo::bench
