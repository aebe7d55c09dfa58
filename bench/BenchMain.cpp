// main() of every benchmark: Google Benchmark's console output, then the table of ratios.
// `--once` runs every case a single iteration (the test command uses it to keep them working).
// Exit status 2 when a goal was not met in a full run, 1 when a case could not run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/Ratio.h"

namespace kelvo::bench {

namespace {

struct RowGoal {
    double maxRatio;
    std::string text;
};

std::map<std::string, RowGoal>& Goals() {
    static std::map<std::string, RowGoal> goals;
    return goals;
}

struct Row {
    double product = -1;
    double baseline = -1;
    double ratio = -1;  // set directly by a row that measures its own
};

// Keeps every run's time per iteration, keyed by row.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions, the median stands for the case: one slow run on a shared
            // machine does not decide it.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median)
                continue;
            if (run.error_occurred) {
                failed_ = true;
                continue;
            }
            // The name as registered: the full name also carries "/manual_time" and the like.
            const std::string name = run.run_name.function_name;
            // Nanoseconds per iteration (manual time when the case measures its own).
            const double perIteration =
                run.iterations > 0
                    ? run.real_accumulated_time / static_cast<double>(run.iterations) * 1e9
                    : -1;
            const size_t slash = name.rfind('/');
            const std::string tail = slash == std::string::npos ? "" : name.substr(slash + 1);
            if (tail == "product" || tail == "baseline") {
                Row& row = rows_[name.substr(0, slash)];
                (tail == "product" ? row.product : row.baseline) = perIteration;
            } else if (auto it = run.counters.find("ratio"); it != run.counters.end()) {
                // A case that pairs product and baseline itself gives their times as counters.
                Row& row = rows_[name];
                row.ratio = it->second.value;
                if (auto p = run.counters.find("product"); p != run.counters.end())
                    row.product = p->second.value;
                if (auto b = run.counters.find("baseline"); b != run.counters.end())
                    row.baseline = b->second.value;
            }
        }
    }

    // Prints the table; returns whether every goal was met.
    bool PrintTable() const {
        bool allMet = true;
        std::printf("\n%-44s %12s %12s %9s  %-26s %s\n", "case", "product", "baseline", "ratio",
                    "goal", "met");
        for (const auto& [name, row] : rows_) {
            double ratio = row.ratio;
            if (ratio < 0 && row.product > 0 && row.baseline > 0)
                ratio = row.product / row.baseline;
            const auto goal = Goals().find(name);
            const bool met =
                goal == Goals().end() || (ratio >= 0 && ratio <= goal->second.maxRatio);
            allMet = allMet && met;
            auto time = [](double ns) {
                char text[32] = "-";
                if (ns >= 1e6)
                    std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
                else if (ns >= 0)
                    std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
                return std::string(text);
            };
            std::printf("%-44s %12s %12s %9.3f  %-26s %s\n", name.c_str(),
                        time(row.product).c_str(), time(row.baseline).c_str(), ratio,
                        goal == Goals().end() ? "" : goal->second.text.c_str(),
                        goal == Goals().end() ? "" : (met ? "yes" : "NO"));
        }
        return allMet;
    }

    bool failed() const { return failed_; }

  private:
    std::map<std::string, Row> rows_;
    bool failed_ = false;
};

}  // namespace

void Goal(const std::string& row, double maxRatio, const std::string& text) {
    Goals()[row] = RowGoal{maxRatio, text};
}

}  // namespace kelvo::bench

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    bool once = false;
    for (auto it = args.begin() + 1; it != args.end();) {
        if (std::strcmp(*it, "--once") == 0) {
            once = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    // A minimum time of zero stops after the first iteration.
    static char minTime[] = "--benchmark_min_time=0";
    if (once)
        args.push_back(minTime);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    kelvo::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool met = reporter.PrintTable();
    benchmark::Shutdown();
    if (reporter.failed())
        return 1;
    return once || met ? 0 : 2;
}
