// Start-up of the window against a bare Qt window with the same number and kinds of widgets, each
// a fresh process (startup_window, startup_bare, found beside this executable) that ends at its
// first paint, offscreen. Time is exec to exit, wall clock; memory is the child's peak RSS.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/Ratio.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kTimeRow[] = "Window start, exec to first paint";
constexpr char kMemoryRow[] = "Peak memory at start";
// A probe that has not painted by then is stuck: it is killed and the case fails.
constexpr int kProbeLimitMs = 30000;

[[maybe_unused]] static const int goals =
    (kelvo::bench::Goal(kTimeRow, 1.2, "at most 1.2x a bare window"),
     kelvo::bench::Goal(kMemoryRow, 1.2, "at most 1.2x a bare window"), 0);

struct ProbeRun {
    bool ok = false;
    double seconds = 0;
    long maxRssKiB = 0;
    std::string why;
};

std::string Beside(const char* name) {
    std::error_code ec;
    return (std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / name).string();
}

// This process's environment with the offscreen platform and no inherited platform choice.
std::vector<std::string> ProbeEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            env.emplace_back(*e);
    }
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    return env;
}

ProbeRun RunProbe(const std::string& path) {
    ProbeRun run;
    static const std::vector<std::string> env = ProbeEnvironment();
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};

    // The probes' warnings would drown the table.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto start = Clock::now();
    const int failed = posix_spawn(&pid, path.c_str(), &files, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (failed != 0) {
        run.why = path + ": " + std::strerror(failed);
        return run;
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    bool ended = true;
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        ended = ::poll(&p, 1, kProbeLimitMs) == 1;
        ::close(pidfd);
    }
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    const pid_t waited = ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.maxRssKiB = usage.ru_maxrss;
    if (waited != pid || !ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.why = path + (ended ? " failed" : " did not paint in time");
        return run;
    }
    run.ok = true;
    return run;
}

// The window and the bare window start by turns, the first of each pair alternating, so the load
// of a shared machine falls on both alike; the ratio is the sum of the one's times over the
// other's.
void StartTime(benchmark::State& state) {
    const std::string window = Beside("startup_window");
    const std::string bare = Beside("startup_bare");
    double windowSum = 0, bareSum = 0;
    int64_t turn = 0;
    for (auto _ : state) {
        const bool windowFirst = turn++ % 2 == 0;
        const ProbeRun first = RunProbe(windowFirst ? window : bare);
        const ProbeRun second = RunProbe(windowFirst ? bare : window);
        if (!first.ok || !second.ok) {
            state.SkipWithError((first.ok ? second.why : first.why).c_str());
            return;
        }
        windowSum += windowFirst ? first.seconds : second.seconds;
        bareSum += windowFirst ? second.seconds : first.seconds;
        state.SetIterationTime(first.seconds + second.seconds);
    }
    state.counters["product"] = windowSum / static_cast<double>(turn) * 1e9;
    state.counters["baseline"] = bareSum / static_cast<double>(turn) * 1e9;
    state.counters["ratio"] = windowSum / bareSum;
}

void PeakMemory(benchmark::State& state) {
    const std::string window = Beside("startup_window");
    const std::string bare = Beside("startup_bare");
    double windowKiB = 0;
    double bareKiB = 0;
    for (auto _ : state) {
        const ProbeRun w = RunProbe(window);
        const ProbeRun b = RunProbe(bare);
        if (!w.ok || !b.ok) {
            state.SkipWithError((w.ok ? b.why : w.why).c_str());
            return;
        }
        windowKiB += static_cast<double>(w.maxRssKiB);
        bareKiB += static_cast<double>(b.maxRssKiB);
        state.SetIterationTime(w.seconds + b.seconds);
    }
    state.counters["ratio"] = windowKiB / bareKiB;
    state.counters["window_MiB"] = windowKiB / 1024 / static_cast<double>(state.iterations());
    state.counters["bare_MiB"] = bareKiB / 1024 / static_cast<double>(state.iterations());
}

BENCHMARK(StartTime)->Name(kTimeRow)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PeakMemory)->Name(kMemoryRow)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
