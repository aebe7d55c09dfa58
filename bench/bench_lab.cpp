// A lab of 100 printers in one headless process, each sent a 2 KB receipt every second for a
// minute (five seconds with --once): the process's CPU time, as a share of one core over the run,
// its peak resident memory, and whether every job was saved. Figures only (goals: under 10 % of
// one core, under 150 MB, every job); exits 1 only when the run could not be made.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "links/UniqueFd.h"
#include "testing/Process.h"
#include "testing/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPrinters = 100;
const char* const kHost = "127.77.252.1";

// User and system time the process has used, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12)
            ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A line of /proc/PID/status in MB ("VmHWM", "VmRSS").
double StatusMb(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0)
            return std::stod(line.substr(key.size() + 1)) / 1024.0;
    }
    return -1;
}

std::string Receipt() {
    std::string bytes = "\x1B@\x1B\x61\x01SHOP RECEIPT\n\x1B\x61\x00";
    for (int i = 0; bytes.size() < 2000; ++i)
        bytes += "Item " + std::to_string(i) + " ........................ " +
                 std::to_string(i % 97) + ".50\r\n";
    return bytes + "\x1D\x56\x42\x05";
}

struct Figures {
    double cpu = -1;     // share of one core, in per cent
    double peakMb = -1;  // peak resident memory
    int saved = 0;
};

// The run: with `save`, each printer keeps its jobs in a folder of its own, with `pictures` their
// PNGs too.
Figures Run(int seconds, bool save, bool pictures = true) {
    const kelvo::testing::TempDir dir("kelvo-bench-lab");
    std::string lab = "{\"printers\": [";
    for (int i = 0; i < kPrinters; ++i) {
        lab += std::string(i ? ",\n" : "") + "{\"name\": \"p" + std::to_string(1000 + i) +
               "\", \"listen\": \"" + kHost + ":0\", \"paper\": " + (i % 2 ? "58" : "80") +
               (save ? ", \"save\": \"" + (dir / std::to_string(i)) + "\"" : "") +
               (pictures ? "" : ", \"pictures\": false") + "}";
    }
    std::ofstream(dir / "lab.json") << lab << "]}";
    kelvo::testing::Process printer(KELVOTOOL,
                                    {"virtual-printer", "--lab", dir / "lab.json", "--json"});
    const std::string last = "\"printer\":\"p" + std::to_string(1000 + kPrinters - 1) + "\"";
    if (!printer.WaitForOutput(last))
        return {};
    std::vector<sockaddr_in> addresses;
    std::istringstream banner(printer.OutputSoFar());
    for (std::string line; std::getline(banner, line);) {
        const size_t at = line.find("\"tcp\":\"");
        if (at == std::string::npos)
            continue;
        const std::string address = line.substr(at + 7, line.find('"', at + 7) - at - 7);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port =
            htons(static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1))));
        ::inet_pton(AF_INET, kHost, &a.sin_addr);
        addresses.push_back(a);
    }
    if (addresses.size() != kPrinters)
        return {};
    const std::string receipt = Receipt();
    const double cpuBefore = CpuSeconds(printer.pid());
    const auto start = Clock::now();
    for (int s = 0; s < seconds; ++s) {
        for (const sockaddr_in& a : addresses) {
            kelvo::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
                ::write(fd.get(), receipt.data(), receipt.size()) != ssize_t(receipt.size()))
                return {};
        }
        // Reading its lines meanwhile: a reader that falls behind would hold the printer up.
        const auto tick = start + std::chrono::seconds(s + 1);
        printer.WaitForOutput(
            "\"job\":" + std::to_string(s + 1) + ",\"printer\":\"p" +
                std::to_string(1000 + kPrinters - 1) + "\"",
            std::chrono::ceil<std::chrono::milliseconds>(std::max(tick - Clock::now(), {})));
        std::this_thread::sleep_until(tick);
    }
    // Every printer's last job reported: its record is saved by then.
    for (int i = 0; i < kPrinters; ++i) {
        if (!printer.WaitForOutput("\"job\":" + std::to_string(seconds) + ",\"printer\":\"p" +
                                   std::to_string(1000 + i) + "\""))
            break;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    Figures figures;
    figures.cpu = 100.0 * (CpuSeconds(printer.pid()) - cpuBefore) / wall;
    figures.peakMb = StatusMb(printer.pid(), "VmHWM");
    printer.Signal(SIGTERM);
    printer.Finish();
    for (int i = 0; save && i < kPrinters; ++i) {
        for (int n = 1; n <= seconds; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "/job-%04d.json", n);
            figures.saved += std::filesystem::exists(dir / std::to_string(i) + name) ? 1 : 0;
        }
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
    const int seconds = once ? 5 : 60;
    const Figures saving = Run(seconds, true), bare = Run(seconds, true, false),
                  reporting = Run(seconds, false);
    if (saving.cpu < 0 || bare.cpu < 0 || reporting.cpu < 0) {
        std::fprintf(stderr, "bench_lab: the lab could not be run\n");
        return 1;
    }
    std::printf(
        "lab of %d printers, a %zu-byte receipt to each every second for %d s, saved: CPU %.1f %% "
        "of one core (goal under 10 %%), peak RSS %.1f MB (goal under 150 MB), %d of %d jobs "
        "saved; saved without pictures (\"pictures\": false): CPU %.1f %%, peak RSS %.1f MB, %d of "
        "%d; "
        "reported only: CPU %.1f %%, peak RSS %.1f MB\n",
        kPrinters, Receipt().size(), seconds, saving.cpu, saving.peakMb, saving.saved,
        kPrinters * seconds, bare.cpu, bare.peakMb, bare.saved, kPrinters * seconds, reporting.cpu,
        reporting.peakMb);
    return 0;
}
