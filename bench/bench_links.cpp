// Writing to a port or file through the links against a plain write() loop of the same blocks to
// the same kind of target. A pty's master end is read by a thread of the bench in both cases, and
// a case's time runs until the last byte has arrived there. Opening the pty and the component are
// setup and not timed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/Pair.h"
#include "bench/Ratio.h"
#include "links/Comm.h"
#include "links/DeviceFileOutput.h"
#include "links/InOutError.h"
#include "links/NetworkLink.h"
#include "links/Tap.h"
#include "links/TcpConnect.h"
#include "links/UniqueFd.h"
#include "testing/LoopbackPrinter.h"
#include "testing/PacedPrinter.h"
#include "testing/Pty.h"
#include "testing/TempDir.h"

using Clock = std::chrono::steady_clock;
using kelvo::UniqueFd;
using kelvo::testing::Pty;

namespace {

constexpr size_t kTotal = size_t{1} << 20;
constexpr auto kGiveUp = std::chrono::seconds(20);

const std::string& Payload() {
    static const std::string bytes = [] {
        std::string s(kTotal, '\0');
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<char>((i * 7) & 0xFF);
        return s;
    }();
    return bytes;
}

// Reads a pty's master end as fast as bytes come until `expected` arrived; notes when the last
// one did.
class Drain {
  public:
    Drain(const Pty& pty, size_t expected)
        : thread_([this, fd = pty.master(), expected] { Run(fd, expected); }) {}
    ~Drain() {
        if (thread_.joinable())
            thread_.join();
    }

    // When the last byte arrived, or nothing when it did not within kGiveUp.
    std::optional<Clock::time_point> Finish() {
        thread_.join();
        return done_;
    }

  private:
    void Run(int fd, size_t expected) {
        static thread_local char buffer[64 * 1024];
        const auto deadline = Clock::now() + kGiveUp;
        size_t got = 0;
        while (got < expected && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                got += static_cast<size_t>(n);
        }
        if (got >= expected)
            done_ = Clock::now();
    }

    std::optional<Clock::time_point> done_;
    std::thread thread_;
};

// The owner's thread for the serial component: runs the notices in order, as the window's event
// loop would.
class NoticeThread {
  public:
    NoticeThread() : thread_([this] { Run(); }) {}
    ~NoticeThread() {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        posted_.notify_one();
        thread_.join();
    }

    // Returns once every notice posted so far has run.
    void Flush() {
        std::promise<void> ran;
        Poster()([&ran] { ran.set_value(); });
        ran.get_future().wait();
    }

    TNoticePoster Poster() {
        return [this](std::function<void()> notice) {
            {
                std::lock_guard lock(mutex_);
                notices_.push_back(std::move(notice));
            }
            posted_.notify_one();
        };
    }

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            posted_.wait(lock, [this] { return ending_ || !notices_.empty(); });
            if (notices_.empty())
                return;
            std::function<void()> notice = std::move(notices_.front());
            notices_.pop_front();
            lock.unlock();
            notice();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> notices_;
    bool ending_ = false;
    std::thread thread_;
};

// Writes `bytes` whole to a blocking descriptor.
bool WriteWhole(int fd, const char* bytes, size_t size) {
    for (size_t at = 0; at < size;) {
        const ssize_t n = ::write(fd, bytes + at, size - at);
        if (n > 0)
            at += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            return false;
    }
    return true;
}

bool WriteLoop(int fd, size_t block) {
    const std::string& bytes = Payload();
    for (size_t at = 0; at < bytes.size(); at += block) {
        if (!WriteWhole(fd, bytes.data() + at, std::min(block, bytes.size() - at)))
            return false;
    }
    return true;
}

// The seconds from the call of `timed` to the moment the drain of `pty` has every byte; negative
// when something failed.
template <class Timed>
double TimeThroughPty(Pty& pty, Timed timed) {
    Drain drain(pty, kTotal);
    const auto start = Clock::now();
    const bool ok = timed();
    const std::optional<Clock::time_point> end = drain.Finish();
    return ok && end ? std::chrono::duration<double>(*end - start).count() : -1;
}

// ---- TComm, 1 KiB requests ------------------------------------------------------------------

constexpr size_t kRequest = 1024;
const char* const kCommRow = "TComm 1 MiB in 1 KiB requests, pty";

double CommProduct() {
    static NoticeThread owner;
    Pty pty;
    kelvo::testing::PortOverride route("COM9", pty.slavePath());
    TComm comm(owner.Poster());
    comm.SetCommName("COM9");
    comm.OpenPort();
    const double seconds = TimeThroughPty(pty, [&] {
        const std::string& bytes = Payload();
        for (size_t at = 0; at < bytes.size(); at += kRequest) {
            if (!comm.SendData(bytes.data() + at, static_cast<uint16_t>(kRequest)))
                return false;
        }
        return true;
    });
    comm.ClosePort();
    // The notices read the component: they must be done before it goes.
    owner.Flush();
    return seconds;
}

double CommBaseline() {
    Pty pty;
    UniqueFd slave(::open(pty.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    return TimeThroughPty(pty, [&] { return slave && WriteLoop(slave.get(), kRequest); });
}

// ---- DeviceFileOutput, 4 KiB calls ----------------------------------------------------------

constexpr size_t kCall = 4096;
const char* const kFileRow = "DeviceFileOutput 1 MiB, file";
const char* const kPtyRow = "DeviceFileOutput 1 MiB, pty";

// The payload as the calls' strings, made before any timing.
const std::vector<std::string>& Calls() {
    static const std::vector<std::string> calls = [] {
        std::vector<std::string> v;
        for (size_t at = 0; at < kTotal; at += kCall)
            v.push_back(Payload().substr(at, kCall));
        return v;
    }();
    return calls;
}

bool DeviceOutputAction(const std::string& path) {
    try {
        kelvo::DeviceFileOutput out;
        out.OpenDevice(path);
        for (const std::string& call : Calls())
            out.DeviceWrite(call);
        out.CloseDevice();
        return true;
    } catch (const kelvo::EInOutError&) {
        return false;
    }
}

// The same calls' strings the product is given, each in one write() loop.
bool PlainAction(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_WRONLY | O_NOCTTY | O_CLOEXEC, 0666));
    if (!fd)
        return false;
    for (const std::string& call : Calls()) {
        if (!WriteWhole(fd.get(), call.data(), call.size()))
            return false;
    }
    return fd.reset() == 0;
}

template <class Action>
double ToFile(Action action) {
    static const kelvo::testing::TempDir dir("kelvo-bench");
    const std::string path = dir / "out.bin";
    const auto start = Clock::now();
    const bool ok = action(path);
    const auto end = Clock::now();
    return ok ? std::chrono::duration<double>(end - start).count() : -1;
}

double FileProduct() {
    return ToFile(DeviceOutputAction);
}
double FileBaseline() {
    return ToFile([](const std::string& path) { return PlainAction(path, O_CREAT | O_TRUNC); });
}
double PtyProduct() {
    Pty pty;
    return TimeThroughPty(pty, [&] { return DeviceOutputAction(pty.slavePath()); });
}
double PtyBaseline() {
    Pty pty;
    return TimeThroughPty(pty, [&] { return PlainAction(pty.slavePath(), 0); });
}

// Seconds from the first byte sent until Disconnect returned, and until the printer had read the
// last byte; -1 when the job did not arrive whole.
std::pair<double, double> CloseAfterSlowPrinter() {
    kelvo::testing::PacedPrinter::Options slow;
    slow.talkAt = std::chrono::milliseconds(300);
    kelvo::testing::PacedPrinter printer("127.77.250.1", 9100, slow);
    const std::string job = Payload().substr(0, 48 * 1024);
    kelvo::NetworkLink link;
    link.SetHost("127.77.250.1");
    link.SetPort(9100);
    link.Connect();
    const auto start = Clock::now();
    link.SendRaw(job);
    link.Disconnect();
    const auto closed = Clock::now();
    if (!printer.waitForBytes(job.size(), kGiveUp) || printer.bytes() != job)
        return {-1, -1};
    const auto read = printer.LastRead();
    return {std::chrono::duration<double>(closed - start).count(),
            std::chrono::duration<double>(read - start).count()};
}

// ---- kelvotool status, whole process --------------------------------------------------------

const char* const kStatusRow = "status at a printer that answers at once";

const kelvo::testing::LoopbackPrinter& AnsweringPrinter() {
    static kelvo::testing::LoopbackPrinter printer("127.77.250.2", 0);
    static const bool answering = (printer.setStatusAnswers({0x12, 0x12, 0x12, 0x12}), true);
    (void)answering;
    return printer;
}

double StatusProduct() {
    const auto& p = AnsweringPrinter();
    return kelvo::bench::TimeProcess(
        {KELVOTOOL, "status", "-p", p.host() + ":" + std::to_string(p.port())});
}
double StatusBaseline() {
    const auto& p = AnsweringPrinter();
    return kelvo::bench::TimeProcess({STATUS_BARE, p.host(), std::to_string(p.port())});
}

// ---- A status round trip through the tap ---------------------------------------------------

const char* const kTapRow = "status round trip through the tap, added (ms)";
constexpr int kRoundTrips = 200;

// The seconds of one DLE EOT 1 round trip over an open connection to host:port, averaged.
double RoundTrips(const std::string& host, uint16_t port) {
    UniqueFd fd;
    if (kelvo::ConnectTcp(host, port, fd) != 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto start = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) {
        char answer = 0;
        pollfd in{fd.get(), POLLIN, 0};
        if (!WriteWhole(fd.get(), "\x10\x04\x01", 3) || ::poll(&in, 1, 5000) != 1 ||
            ::read(fd.get(), &answer, 1) != 1)
            return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count() / kRoundTrips;
}

const int tapRegistered =
    (benchmark::RegisterBenchmark(kTapRow,
                                  [](benchmark::State& state) {
                                      const auto& printer = AnsweringPrinter();
                                      kelvo::TapOptions options;
                                      options.listenHost = "127.77.250.3";
                                      options.listenPort = 0;
                                      options.printerHost = printer.host();
                                      options.printerPort = printer.port();
                                      kelvo::Tap tap(options, [](const kelvo::TapEvent&) {});
                                      double through = 0, direct = 0;
                                      int64_t runs = 0;
                                      for (auto _ : state) {
                                          const double t = RoundTrips("127.77.250.3", tap.Port());
                                          const double d =
                                              RoundTrips(printer.host(), printer.port());
                                          if (t < 0 || d < 0) {
                                              state.SkipWithError("a round trip did not come back");
                                              return;
                                          }
                                          through += t, direct += d, ++runs;
                                          state.SetIterationTime(t + d);
                                      }
                                      state.counters["product"] = through / double(runs) * 1e9;
                                      state.counters["baseline"] = direct / double(runs) * 1e9;
                                      state.counters["ratio"] =
                                          (through - direct) / double(runs) * 1e3;
                                  })
         ->UseManualTime()
         ->Unit(benchmark::kMillisecond),
     0);

void Register(const std::string& row, double (*product)(), double (*baseline)()) {
    Calls();  // made before any timing
    kelvo::bench::RegisterPair(row, product, baseline);
}

const int registered =
    (Register(kCommRow, CommProduct, CommBaseline), Register(kFileRow, FileProduct, FileBaseline),
     Register(kPtyRow, PtyProduct, PtyBaseline),
     Register(kStatusRow, StatusProduct, StatusBaseline), 0);

// Figures only: how long after the printer has read a job the network close returns, for a printer
// that takes 4 KiB per 100 ms (about 1.2 s for the job) and sends a status byte meanwhile. The
// close waits for the printer's acknowledgements, not for its reads, so it may end a little before.
constexpr const char* kCloseRow = "Close after 48 KiB, printer at 4 KiB/100 ms";

const int closeRegistered =
    (benchmark::RegisterBenchmark(kCloseRow,
                                  [](benchmark::State& state) {
                                      double closed = 0, read = 0;
                                      int64_t runs = 0;
                                      for (auto _ : state) {
                                          const auto [c, r] = CloseAfterSlowPrinter();
                                          if (c < 0) {
                                              state.SkipWithError("the job did not all arrive");
                                              return;
                                          }
                                          closed += c;
                                          read += r;
                                          ++runs;
                                          state.SetIterationTime(c);
                                      }
                                      state.counters["product"] = closed / double(runs) * 1e9;
                                      state.counters["baseline"] = read / double(runs) * 1e9;
                                      state.counters["ratio"] = closed / read;
                                  })
         ->UseManualTime()
         ->Unit(benchmark::kMillisecond),
     0);

static const int goals = (kelvo::bench::Goal(kCommRow, 1.25, "at least 0.8x a write loop"),
                          kelvo::bench::Goal(kFileRow, 1.11, "at least 0.9x a write loop"),
                          kelvo::bench::Goal(kPtyRow, 1.11, "at least 0.9x a write loop"),
                          kelvo::bench::Goal(kStatusRow, 3.0, "at most 3x a minimal C client"),
                          kelvo::bench::Goal(kTapRow, 1.0, "under 1 ms added"), 0);

}  // namespace
