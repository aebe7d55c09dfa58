// The web page with many jobs held: a headless printer started on a folder of N saved jobs
// (hard links to one job's files), then the time to the page's whole first answer and to whole
// API pages of 50 jobs (the newest, one in the middle, one printer's), and the process's resident
// memory. Figures only (goals: under 200 ms each with 10,000 jobs; memory that grows by far less
// than the jobs' files); exits 1 only when the run could not be made.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/Http.h"
#include "testing/Process.h"
#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
const char* const kHost = "127.77.251.1";

double RssMb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return -1;
}

// The time to GET `path`'s whole answer, from the connect on, in ms; -1 for none.
double Get(uint16_t port, const std::string& path) {
    const auto start = Clock::now();
    if (kelvo::testing::Http(kHost, port, "GET", path).status != 200)
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
    double page = -1, newest = -1, middle = -1, printer = -1;  // the slowest of the tries, ms
    double rssMb = -1;
};

Figures Run(int jobs, int tries) {
    const kelvo::testing::TempDir dir("kelvo-bench-web");
    const fs::path folder = fs::path(dir.path()) / "jobs";
    fs::create_directory(folder);
    // One job's files as the printer saves them, linked under every number (a file takes so
    // many links only: a copy for each 50,000).
    for (int n = 1; n <= jobs; ++n) {
        const fs::path one = folder / ("one-" + std::to_string(n / 50000));
        if (n == 1 || n % 50000 == 0) {
            std::ofstream(one.string() + ".json")
                << "{\"commands\": [" << std::string(2000, ' ') << "]}\n";
            std::ofstream(one.string() + ".txt") << "SHOP RECEIPT\nItem 1 ........ 2.50\n";
            std::ofstream(one.string() + ".bin") << std::string(2000, 'x');
            std::ofstream(one.string() + ".png") << std::string(20000, 'p');
        }
        char base[32];
        std::snprintf(base, sizeof base, "job-%04d", n);
        for (const char* suffix : {".bin", ".png", ".txt", ".json"})
            fs::create_hard_link(one.string() + suffix, folder / (base + std::string(suffix)));
    }
    kelvo::testing::Process printer(
        KELVOTOOL, {"virtual-printer", "--listen", std::string(kHost) + ":0", "--http",
                    std::string(kHost) + ":0", "--save", folder});
    if (!printer.WaitForOutput("web page: http://"))
        return {};
    const std::string& banner = printer.OutputSoFar();
    const size_t at = banner.find("web page: http://") + 17;
    const size_t colon = banner.find(':', at);
    const auto port = static_cast<uint16_t>(std::stoi(banner.substr(colon + 1)));
    Figures f;
    for (int i = 0; i < tries; ++i) {
        for (const auto& [path, slowest] :
             {std::pair{std::string("/"), &f.page},
              std::pair{std::string("/api/jobs?limit=50"), &f.newest},
              std::pair{"/api/jobs?limit=50&before=" + std::to_string(jobs / 2), &f.middle},
              std::pair{std::string("/api/jobs?limit=50&printer=network"), &f.printer}}) {
            const double ms = Get(port, path);
            if (ms < 0)
                return {};
            *slowest = std::max(*slowest, ms);
        }
    }
    f.rssMb = RssMb(printer.pid());
    printer.Signal(SIGTERM);
    printer.Finish();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
    std::vector<int> sizes = {100, 10000};
    if (!once)
        sizes.push_back(100000);
    for (const int jobs : sizes) {
        const Figures f = Run(jobs, once ? 3 : 20);
        if (f.rssMb < 0) {
            std::fprintf(stderr, "bench_web: the printer with %d jobs could not be run\n", jobs);
            return 1;
        }
        std::printf(
            "web page, %d jobs held: page %.1f ms, API page of 50 newest %.1f ms, middle %.1f ms, "
            "one printer's %.1f ms (slowest of the tries; goal under 200 ms), RSS %.1f MB\n",
            jobs, f.page, f.newest, f.middle, f.printer, f.rssMb);
        std::fflush(stdout);
    }
    return 0;
}
