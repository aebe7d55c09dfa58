// The printer library's BMP -> FS q path: a logo file's bytes, already in memory (no disk), to the
// FS q command the library sends, exactly as POS_PreDownloadBmpsToFlash builds it.
//  - "BMP to FS q WxH": product = that path, baseline = a memcpy of the file's bytes;
//  - "BMP to FS q WxH (us|ms)": the same path against its absolute goal (80 us, 15 ms), as
//    ratio = measured time / goal, since a goal in memcpys would move with the machine;
//  - "FS q memory, largest logo": the most heap held at once while the largest logo (8184 x 2304)
//    becomes FS q, beyond the file's bytes, over the image's FS q data size (goal 1.5). Counted
//    by the replaced operator new / delete below.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bench/Ratio.h"
#include "links/PosdllFuncs.h"
#include "posdll/BmpReader.h"

namespace {

// Heap accounting: live bytes and their peak, while `gCounting` is set.
std::atomic<bool> gCounting{false};
std::atomic<int64_t> gLive{0};
std::atomic<int64_t> gPeak{0};

void* Allocate(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    if (gCounting.load(std::memory_order_relaxed)) {
        const int64_t live = gLive += static_cast<int64_t>(malloc_usable_size(p));
        int64_t peak = gPeak.load(std::memory_order_relaxed);
        while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
        }
    }
    return p;
}

void Release(void* p) {
    if (p == nullptr)
        return;
    if (gCounting.load(std::memory_order_relaxed))
        gLive -= static_cast<int64_t>(malloc_usable_size(p));
    std::free(p);
}

}  // namespace

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}

namespace {

using kelvo::bench::Goal;

// A 1-bit BMP as a paint program writes it: 40-byte header, palette black then white,
// bottom-up rows. The picture: a disc, a frame and diagonal stripes.
std::string MonoBmp(uint32_t width, uint32_t height) {
    const uint32_t stride = (width + 31) / 32 * 4;
    const uint32_t offBits = 14 + 40 + 8;
    std::string f(offBits + size_t{stride} * height, '\0');
    auto put32 = [&f](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, static_cast<uint32_t>(f.size()));
    put32(10, offBits);
    put32(14, 40);
    put32(18, width);
    put32(22, height);
    f[26] = 1;              // planes
    f[28] = 1;              // bits per pixel
    put32(54, 0);           // black
    put32(58, 0x00FFFFFF);  // white
    const int64_t cx = width / 2, cy = height / 2, r = std::min(width, height) / 3;
    for (uint32_t y = 0; y < height; ++y) {
        char* row = f.data() + offBits + size_t{height - 1 - y} * stride;
        for (uint32_t x = 0; x < width; ++x) {
            const int64_t dx = int64_t{x} - cx, dy = int64_t{y} - cy;
            const bool black = dx * dx + dy * dy < r * r || x < 4 || y < 4 || x + 4 >= width ||
                               y + 4 >= height || (x + y) % 32 < 5;
            if (!black)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));  // white = 1
        }
    }
    return f;
}

const std::string& Logo() {
    static const std::string file = MonoBmp(576, 288);
    return file;
}
const std::string& LargestLogo() {
    static const std::string file =
        MonoBmp(kelvo::posdll::kMaxWidthDots, kelvo::posdll::kMaxHeightDots);
    return file;
}

// The library's path: BMP bytes to the FS q command of one image.
std::string Product(const std::string& file) {
    kelvo::posdll::FsQBuilder fsq;
    if (fsq.AddBmp(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                   kelvo::kPosBmpThreshold) != kelvo::kPosSuccess)
        std::abort();
    return fsq.Take();
}

void Convert(benchmark::State& state, const std::string& file) {
    for (auto _ : state) {
        std::string fsq = Product(file);
        benchmark::DoNotOptimize(fsq.data());
    }
}

void Copy(benchmark::State& state, const std::string& file) {
    std::vector<char> copy(file.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), file.data(), file.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
}

// The path against an absolute goal: ratio = time per conversion / goal.
void AgainstGoal(benchmark::State& state, const std::string& file, double goalSeconds) {
    const auto start = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        std::string fsq = Product(file);
        benchmark::DoNotOptimize(fsq.data());
        ++n;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["ratio"] = n > 0 ? seconds / static_cast<double>(n) / goalSeconds : -1;
}

void LogoProduct(benchmark::State& state) {
    Convert(state, Logo());
}
void LogoBaseline(benchmark::State& state) {
    Copy(state, Logo());
}
void LogoMicroseconds(benchmark::State& state) {
    AgainstGoal(state, Logo(), 80e-6);
}
void LargestProduct(benchmark::State& state) {
    Convert(state, LargestLogo());
}
void LargestBaseline(benchmark::State& state) {
    Copy(state, LargestLogo());
}
void LargestMilliseconds(benchmark::State& state) {
    AgainstGoal(state, LargestLogo(), 15e-3);
}

void LargestMemory(benchmark::State& state) {
    const std::string& file = LargestLogo();
    const size_t fsqData =
        kelvo::posdll::FsQDataBytes(kelvo::posdll::kMaxWidthDots, kelvo::posdll::kMaxHeightDots);
    double ratio = -1;
    for (auto _ : state) {
        gLive = 0;
        gPeak = 0;
        gCounting = true;
        {
            std::string fsq = Product(file);
            benchmark::DoNotOptimize(fsq.data());
        }
        gCounting = false;
        ratio = static_cast<double>(gPeak.load()) / static_cast<double>(fsqData);
    }
    state.counters["ratio"] = ratio;
}

const bool kRegistered = [] {
    benchmark::RegisterBenchmark("BMP to FS q 576x288/product", LogoProduct);
    benchmark::RegisterBenchmark("BMP to FS q 576x288/baseline", LogoBaseline);
    benchmark::RegisterBenchmark("BMP to FS q 576x288 (us)", LogoMicroseconds);
    benchmark::RegisterBenchmark("BMP to FS q 8184x2304/product", LargestProduct)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BMP to FS q 8184x2304/baseline", LargestBaseline)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BMP to FS q 8184x2304 (ms)", LargestMilliseconds)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FS q memory, largest logo", LargestMemory);
    // The memcpy rows' goals are the absolute ones in memcpys of this machine (a memcpy of the
    // file took 0.26 us and 59 us): for the table only, the (us) and (ms) rows are the goals.
    Goal("BMP to FS q 576x288", 300, "under 300 memcpys (80 us)");
    Goal("BMP to FS q 576x288 (us)", 1.0, "under 80 us");
    Goal("BMP to FS q 8184x2304", 250, "under 250 memcpys (15 ms)");
    Goal("BMP to FS q 8184x2304 (ms)", 1.0, "under 15 ms");
    Goal("FS q memory, largest logo", 1.5, "under 1.5 x FS q data");
    return true;
}();

}  // namespace
