// Figures only: how long a scan of a /24 takes where 250 addresses drop what they get and three
// printers answer, against one connect time-out. The silent addresses can only end by their
// time-outs, so the ratio counts how many rounds of connections in flight the scan needs. Runs in
// namespaces of its own (needs root); the namespaces are set up once and not timed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Ratio.h"
#include "links/Discovery.h"
#include "testing/NetnsSubnet.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvo::testing::LanPrinters;
using kelvo::testing::NetnsSubnet;

constexpr const char* kScanRow =
    "Scan of a /24, 250 silent and 3 printers, against the connect time-out";

void ScanRow(benchmark::State& state) {
    std::string whyNot;
    auto subnet = NetnsSubnet::Create(&whyNot);
    if (!subnet) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    std::vector<LanPrinters::Printer> printers;
    for (int host : {2, 3, 4}) {
        subnet->addHost(host);
        printers.push_back({subnet->listenInside(host, 9100), 0x12, "QM417"});
    }
    LanPrinters lan(std::move(printers));
    kelvo::ScanOptions options;
    options.addresses = kelvo::ParseScanRange(subnet->address(2) + "-254", nullptr);  // 253

    double scanned = 0, timeouts = 0;
    int64_t runs = 0;
    for (auto _ : state) {
        double seconds = -1;
        size_t found = 0;
        std::thread([&] {
            subnet->joinScanningSide();
            const auto start = Clock::now();
            found = kelvo::ScanForPrinters(options, {}).found;
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        }).join();
        if (found != 3) {
            state.SkipWithError("the scan did not find the three printers");
            return;
        }
        scanned += seconds;
        timeouts += std::chrono::duration<double>(options.connectTimeout).count();
        ++runs;
        state.SetIterationTime(seconds);
    }
    state.counters["product"] = scanned / double(runs) * 1e9;
    state.counters["baseline"] = timeouts / double(runs) * 1e9;
    state.counters["ratio"] = scanned / timeouts;
}

const int registered = (benchmark::RegisterBenchmark(kScanRow, ScanRow)
                            ->UseManualTime()
                            ->Unit(benchmark::kMillisecond)
                            ->Iterations(3),
                        kelvo::bench::Goal(kScanRow, 1.2, "at most 1.2x the connect time-out"), 0);

}  // namespace
