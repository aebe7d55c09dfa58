// Whole runs of the command line: one test page to fifty printers that read at print speed, at
// fifty at once, against the same page to one of them; and the headless printer taking jobs while
// it saves each, against the same printer keeping nothing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/Pair.h"
#include "bench/Ratio.h"
#include "links/UniqueFd.h"
#include "testing/PacedPrinter.h"
#include "testing/Process.h"
#include "testing/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kBatchRow = "test page to 50 printers at print speed, -j 50";
const char* const kSaveRow = "virtual-printer --save, 200 receipts";

constexpr int kPrinters = 50;
constexpr int kJobs = 200;
constexpr int kInFlight = 8;

// Each printer takes 4 KiB per 100 ms, so the page's 40 KiB memo keeps it reading about a second.
struct Batch {
    Batch() {
        std::ofstream(memo) << std::string(40 * 1024, 'x');
        std::ofstream everyone(all), first(one);
        for (int i = 1; i <= kPrinters; ++i) {
            const std::string host = "127.77.251." + std::to_string(i);
            printers.push_back(std::make_unique<kelvo::testing::PacedPrinter>(
                host, 9100, kelvo::testing::PacedPrinter::Options{}));
            everyone << host << ":9100\n";
            if (i == 1)
                first << host << ":9100\n";
        }
    }
    kelvo::testing::TempDir dir{"kelvo-bench-batch"};
    const std::string memo = dir / "memo.txt", all = dir / "all.txt", one = dir / "one.txt";
    std::vector<std::unique_ptr<kelvo::testing::PacedPrinter>> printers;
};

Batch& TheBatch() {
    static Batch batch;
    return batch;
}

double TestPages(const std::string& targets, const std::string& jobs) {
    return kelvo::bench::TimeProcess(
        {KELVOTOOL, "test-page", "--memo-file", TheBatch().memo, "--targets", targets, "-j", jobs});
}

// A receipt from the independent encoders sent to a headless printer kJobs times, one connection
// each, with at most kInFlight not yet reported (the printer's accept queue holds twice that).
double HeadlessJobs(bool save) {
    static const std::string receipt = [] {
        std::ifstream in(KELVO_RECEIPTS_DIR "/epe_58mm_receipt.bin", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    const kelvo::testing::TempDir dir("kelvo-bench-save");
    std::vector<std::string> args{"virtual-printer", "--listen", "127.77.251.200:0"};
    if (save)
        args.insert(args.end(), {"--save", dir / "jobs"});
    kelvo::testing::Process printer(KELVOTOOL, args);
    if (receipt.empty() || !printer.WaitForOutput("\n"))
        return -1;
    const std::string banner = printer.OutputSoFar();
    const size_t colon = banner.find(':', banner.find("TCP "));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(banner.substr(colon + 1))));
    ::inet_pton(AF_INET, "127.77.251.200", &address.sin_addr);
    const auto start = Clock::now();
    for (int i = 1; i <= kJobs + kInFlight; ++i) {
        if (i > kInFlight && !printer.WaitForOutput("job " + std::to_string(i - kInFlight) + ":"))
            return -1;
        if (i > kJobs)
            continue;
        kelvo::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::write(fd.get(), receipt.data(), receipt.size()) != ssize_t(receipt.size()))
            return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const int registered =
    (kelvo::bench::RegisterPair(
         kBatchRow, [] { return TestPages(TheBatch().all, "50"); },
         [] { return TestPages(TheBatch().one, "1"); }),
     kelvo::bench::RegisterPair(
         kSaveRow, [] { return HeadlessJobs(true); }, [] { return HeadlessJobs(false); }),
     0);

const int goals = (kelvo::bench::Goal(kBatchRow, 1.5, "under 1.5x the page to one printer"), 0);

}  // namespace
