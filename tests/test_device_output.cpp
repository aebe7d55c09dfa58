#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "links/DeviceFileOutput.h"
#include "links/PortLock.h"
#include "links/Transfer.h"
#include "links/WriteWatch.h"
#include "testing/CancelWhenBlocked.h"
#include "testing/Files.h"
#include "testing/Pty.h"
#include "testing/TempDir.h"

using kelvo::DeviceFileOutput;
using kelvo::EInOutError;
using kelvo::UniqueFd;
using kelvo::testing::CancelWhenBlocked;
using kelvo::testing::FileBytes;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::TempDir;
using namespace std::string_literals;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kDrawer = "\x1b\x70\x00\x28\x28"s;

int OpenFdCount() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    return s;
}

// Runs `action`, which must throw EInOutError, and returns the error.
EInOutError CaughtIoError(const std::function<void()>& action) {
    try {
        action();
    } catch (const EInOutError& e) {
        return e;
    }
    ADD_FAILURE() << "no EInOutError thrown";
    return EInOutError(0);
}

UniqueFd OpenSlave(const Pty& pty) {
    return UniqueFd(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
}

// Writes `size` bytes to COM3 under a long stall limit, cancels once the write is held, and
// checks the write ended as cancelled; how long after the cancel it ended.
std::optional<std::chrono::milliseconds> CancelledWhileHeld(DeviceFileOutput& out, size_t size) {
    kelvo::CancelSignal cancel;
    kelvo::TransferMonitor monitor;
    monitor.cancelFd = cancel.fd();
    monitor.stallLimitMs = 60000;
    kelvo::TransferScope scope(&monitor);
    out.OpenDevice("COM3");
    int code = 0;
    std::optional<std::chrono::milliseconds> late;
    {
        CancelWhenBlocked canceller(cancel);
        code = CaughtIoError([&] { out.DeviceWriteLine(std::string(size, 'C')); }).ErrorCode();
        late = canceller.SinceCancel();
    }
    EXPECT_EQ(code, 1000 + ECANCELED);
    if (late)
        std::printf("write ended %lld ms after the cancel\n",
                    static_cast<long long>(late->count()));
    return late;
}

}  // namespace

// --- Bytes at a real port ---------------------------------------------------------------------

TEST(DeviceOutputPort, EachCallReachesThePortBeforeItReturnsExactlyAsGiven) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    DeviceFileOutput out;
    out.OpenDevice("COM3");
    out.DeviceWrite(kDrawer);
    EXPECT_EQ(pty.read(5), kDrawer);
    out.DeviceWriteLine("\x1d\x56\x42\x05");
    EXPECT_EQ(pty.read(6), "\x1d\x56\x42\x05\r\n");
    out.DeviceWriteLine("QM417\r");
    EXPECT_EQ(pty.read(8), "QM417\r\r\n");
    out.DeviceWriteLine("");
    EXPECT_EQ(pty.read(2), "\r\n");
    out.CloseDevice();
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(pty.drain(), "");  // nothing held back for the close, nothing added
}

TEST(DeviceOutputPort, AllByteValuesPassThroughLptNameAndTypedDevicePath) {
    const std::string all = AllByteValues();
    {
        Pty pty;
        PortOverride lpt1("LPT1", pty.slavePath());
        DeviceFileOutput out;
        out.OpenDevice("lpt1");
        out.DeviceWrite(all + all + "x");  // two full buffers and a pushed remainder
        EXPECT_EQ(pty.read(513), all + all + "x");
        out.CloseDevice();
    }
    {
        Pty pty;
        DeviceFileOutput out;
        out.OpenDevice(pty.slavePath());
        out.DeviceWriteLine(all);
        out.CloseDevice();
        EXPECT_EQ(pty.read(258), all + "\r\n");
    }
}

// --- Who may open a port ----------------------------------------------------------------------

TEST(DeviceOutputPort, PortHeldElsewhereIsAccessDeniedAndLeavesNothingOpen) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    const int fdsBefore = OpenFdCount();
    {
        // Held in this process, as the serial component holds it.
        UniqueFd holder = OpenSlave(pty);
        ASSERT_TRUE(holder);
        ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);
        DeviceFileOutput out;
        EInOutError e = CaughtIoError([&] { out.OpenDevice("COM3"); });
        EXPECT_EQ(e.ErrorCode(), 5);
        EXPECT_STREQ(e.what(), "File access denied");
        EXPECT_FALSE(out.IsOpen());
        EXPECT_EQ(OpenFdCount(), fdsBefore + 1);  // only the holder
    }
    {
        // Held by another process.
        int ready[2], release[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            ::close(release[1]);  // so the parent's close is seen as end of file
            int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
            char ok = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        char ok = 0;
        ASSERT_EQ(::read(ready[0], &ok, 1), 1);
        ASSERT_EQ(ok, 1);
        DeviceFileOutput out;
        EXPECT_EQ(CaughtIoError([&] { out.OpenDevice("COM3"); }).ErrorCode(), 5);
        ::close(release[1]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        out.OpenDevice("COM3");  // free again
        out.DeviceWrite("ok");
        out.CloseDevice();
        EXPECT_EQ(pty.read(2), "ok");
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST(DeviceOutputPort, MissingDeviceIsFileNotFoundAndIsNeverCreated) {
    TempDir dir;
    const std::string missing = dir / "ttyUSB7";
    PortOverride com4("COM4", missing);
    DeviceFileOutput out;
    EInOutError e = CaughtIoError([&] { out.OpenDevice("COM4"); });
    EXPECT_EQ(e.ErrorCode(), 2);
    EXPECT_STREQ(e.what(), "File not found");
    EXPECT_FALSE(fs::exists(missing));

    const std::string devMissing = "/dev/ttyKelvoMissing9";
    ASSERT_FALSE(fs::exists(devMissing));
    EXPECT_EQ(CaughtIoError([&] { out.OpenDevice(devMissing); }).ErrorCode(), 2);
    EXPECT_FALSE(fs::exists(devMissing));
    if (fs::exists(devMissing))
        fs::remove(devMissing);
}

// --- Failures after a successful open ---------------------------------------------------------

TEST(DeviceOutputPort, VanishedPortGivesAClearErrorAndReleasesTheDescriptor) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    const int fdsBefore = OpenFdCount();
    DeviceFileOutput out;
    out.OpenDevice("COM3");
    out.DeviceWrite("a");
    EXPECT_EQ(pty.read(1), "a");
    pty.closeMaster();  // the adapter is unplugged
    EInOutError e = CaughtIoError([&] { out.DeviceWriteLine("b"); });
    EXPECT_EQ(e.ErrorCode(), 1000 + EIO);
    EXPECT_EQ(e.SystemError(), EIO);
    EXPECT_EQ(std::string(e.what()), "I/O error " + std::to_string(1000 + EIO));
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(OpenFdCount(), fdsBefore - 1);  // ours and the master are both gone
    EXPECT_EQ(CaughtIoError([&] { out.DeviceWrite("c"); }).ErrorCode(), 103);
    EXPECT_EQ(CaughtIoError([&] { out.CloseDevice(); }).ErrorCode(), 103);
}

TEST(DeviceOutputPort, AfterAFailedWriteTheSamePortWorksOnceItIsFreeAgain) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    DeviceFileOutput out;
    out.OpenDevice("COM3");
    {
        // A hang-up breaks every open descriptor of the port while the port itself stays.
        UniqueFd other = OpenSlave(pty);
        ASSERT_TRUE(other);
        if (::ioctl(other.get(), TIOCVHANGUP) != 0) {
            ASSERT_EQ(errno, EPERM);
            GTEST_SKIP() << "hanging up a port needs CAP_SYS_ADMIN";
        }
    }
    EXPECT_EQ(CaughtIoError([&] { out.DeviceWrite(kDrawer); }).SystemError(), EIO);
    {
        // Nobody keeps the port claimed: not even our broken descriptor.
        UniqueFd probe = OpenSlave(pty);
        ASSERT_TRUE(probe);
        EXPECT_EQ(kelvo::LockPortExclusive(probe.get()), 0);
    }
    out.OpenDevice("COM3");
    out.DeviceWrite(kDrawer);
    out.CloseDevice();
    EXPECT_EQ(pty.read(5), kDrawer);
}

TEST(DeviceOutputPort, FullDeviceIsDiskFullAndReleasesTheLock) {
    DeviceFileOutput out;
    out.OpenDevice("/dev/full");
    EInOutError e = CaughtIoError([&] { out.DeviceWrite("x"); });
    EXPECT_EQ(e.ErrorCode(), 101);
    EXPECT_STREQ(e.what(), "Disk full");
    UniqueFd probe(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(probe);
    EXPECT_EQ(kelvo::LockPortExclusive(probe.get()), 0);
}

TEST(DeviceOutputPort, PortHeldByXoffFailsAfterTheStallLimitAndIsFreeAfterwards) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);
    t.c_iflag |= IXON;  // as the tool's initialize leaves the port
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &t), 0);
    ASSERT_TRUE(pty.holdOutput(true));
    kelvo::TransferMonitor monitor;
    monitor.stallLimitMs = 300;
    kelvo::TransferScope scope(&monitor);

    DeviceFileOutput out;
    out.OpenDevice("COM3");
    const auto start = std::chrono::steady_clock::now();
    EInOutError e = CaughtIoError([&] { out.DeviceWriteLine(std::string(1000, 'L')); });
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(e.ErrorCode(), 1000 + ETIMEDOUT);
    EXPECT_STREQ(e.what(), "I/O error 1110");
    EXPECT_FALSE(out.IsOpen());

    // The printer resumes: the next action has the port to itself and starts clean.
    ASSERT_TRUE(pty.holdOutput(false));
    out.OpenDevice("COM3");
    out.DeviceWrite(kDrawer);
    out.CloseDevice();
    EXPECT_EQ(pty.read(5), kDrawer);
}

TEST(DeviceOutputPort, CancelEndsAHeldWritePromptly) {
    Pty pty;  // never read: the port stops taking bytes once its buffer is full
    PortOverride com3("COM3", pty.slavePath());
    DeviceFileOutput out;
    const auto late = CancelledWhileHeld(out, 1 << 20);
    ASSERT_TRUE(late.has_value());
    EXPECT_LT(*late, 2s);
    EXPECT_FALSE(out.IsOpen());
}

TEST(DeviceOutputPort, APortTakingBytesSlowlyIsNotStalledAndProgressIsHeardOnTheWay) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    // 96 KiB against a pty that holds about 14 KiB, taken 4 KiB every 30 ms: one write call
    // outlasts the stall limit, and the port is full between takes.
    std::string bytes(96 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 13);
    std::string got;
    std::thread printer([&] {
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        char chunk[4096];
        while (got.size() < bytes.size() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(30ms);
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
                if (n > 0)
                    got.append(chunk, static_cast<size_t>(n));
            }
        }
    });
    int reports = 0;
    kelvo::TransferMonitor monitor;
    monitor.stallLimitMs = 500;
    monitor.context = &reports;
    monitor.progress = [](void* context, uint64_t, uint64_t) { ++*static_cast<int*>(context); };
    kelvo::TransferScope scope(&monitor);

    DeviceFileOutput out;
    out.OpenDevice("COM3");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(out.DeviceWrite(bytes));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_NO_THROW(out.CloseDevice());
    printer.join();
    EXPECT_TRUE(got == bytes);
    EXPECT_GE(reports, 2);
}

// --- Whatever else the program does with signals -----------------------------------------------

namespace {

std::atomic<int> foreignCalls{0};

void ForeignHandler(int) {
    foreignCalls.fetch_add(1, std::memory_order_relaxed);
}

// The disposition another part of the program gives a signal, for the object's life; what was
// there before comes back after.
class ForeignDisposition {
  public:
    ForeignDisposition(int signal, bool ignore) : signal_(signal) {
        struct sigaction theirs {};
        // SA_RESTART: a write this handler lands in starts again instead of returning.
        theirs.sa_handler = ignore ? SIG_IGN : &ForeignHandler;
        theirs.sa_flags = SA_RESTART;
        ::sigemptyset(&theirs.sa_mask);
        ok_ = ::sigaction(signal_, &theirs, &before_) == 0;
    }
    ~ForeignDisposition() {
        if (ok_)
            ::sigaction(signal_, &before_, nullptr);
    }
    ForeignDisposition(const ForeignDisposition&) = delete;
    ForeignDisposition& operator=(const ForeignDisposition&) = delete;

    bool ok() const { return ok_; }
    // Still what was put there: nobody installed over it.
    bool Intact() const {
        struct sigaction now {};
        return ::sigaction(signal_, nullptr, &now) == 0 &&
               (now.sa_handler == SIG_IGN || now.sa_handler == &ForeignHandler);
    }

  private:
    int signal_;
    bool ok_ = false;
    struct sigaction before_ {};
};

enum class Taken {
    ByAHandler,  // another handler owns the signal the writer chose
    Ignored,     // someone set it to SIG_IGN
    AllOfThem,   // every real-time signal is someone else's, handled or ignored
};

std::string TakenName(Taken taken) {
    switch (taken) {
        case Taken::ByAHandler:
            return "ByAHandler";
        case Taken::Ignored:
            return "Ignored";
        case Taken::AllOfThem:
            return "AllOfThem";
    }
    return "?";
}

void PrintTo(Taken taken, std::ostream* os) {
    *os << TakenName(taken);
}

// A port held by XOFF whose printer sends XON only after 10 s: a write that ignored its stall
// limit or its cancel would end then, by success, instead of hanging the suite.
class HeldPort {
  public:
    HeldPort() : com3_("COM3", pty_.slavePath()) {
        termios t{};
        ok_ = ::tcgetattr(pty_.master(), &t) == 0;
        t.c_iflag |= IXON;
        ok_ = ok_ && ::tcsetattr(pty_.master(), TCSANOW, &t) == 0 && pty_.holdOutput(true);
        xon_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mu_);
            if (!done_.wait_for(lock, 10s, [this] { return over_; }))
                pty_.holdOutput(false);
        });
    }
    ~HeldPort() {
        {
            const std::lock_guard<std::mutex> lock(mu_);
            over_ = true;
        }
        done_.notify_all();
        xon_.join();
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    bool ok() const { return ok_; }

  private:
    Pty pty_;
    PortOverride com3_;
    bool ok_ = false;
    std::mutex mu_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread xon_;
};

class DeviceOutputSignalTaken : public ::testing::TestWithParam<Taken> {
  protected:
    void SetUp() override {
        foreignCalls = 0;
        first_ = kelvo::ClaimWakeSignal();
        ASSERT_NE(first_, 0) << "no real-time signal free before the test";
        const Taken taken = GetParam();
        if (taken == Taken::AllOfThem) {
            for (int n = SIGRTMIN; n <= SIGRTMAX; ++n)
                taken_.push_back(std::make_unique<ForeignDisposition>(n, n % 2 == 0));
        } else {
            taken_.push_back(std::make_unique<ForeignDisposition>(first_, taken == Taken::Ignored));
        }
        for (const auto& d : taken_)
            ASSERT_TRUE(d->ok());
        // The next port uses another signal, or writes without one.
        const int next = kelvo::ClaimWakeSignal();
        if (taken == Taken::AllOfThem)
            EXPECT_EQ(next, 0);
        else
            EXPECT_NE(next, first_);
        ASSERT_TRUE(port_.ok());
    }
    void TearDown() override {
        EXPECT_EQ(foreignCalls.load(), 0);  // their handler never ran for us
        for (const auto& d : taken_)
            EXPECT_TRUE(d->Intact());
        taken_.clear();
    }

    int first_ = 0;
    std::vector<std::unique_ptr<ForeignDisposition>> taken_;
    HeldPort port_;
};

}  // namespace

TEST_P(DeviceOutputSignalTaken, HeldWriteEndsAtItsStallLimit) {
    kelvo::TransferMonitor monitor;
    monitor.stallLimitMs = 300;
    kelvo::TransferScope scope(&monitor);
    DeviceFileOutput out;
    out.OpenDevice("COM3");
    const auto start = std::chrono::steady_clock::now();
    EInOutError e = CaughtIoError([&] { out.DeviceWriteLine(std::string(1000, 'L')); });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(e.ErrorCode(), 1000 + ETIMEDOUT);
    EXPECT_GE(took, 300ms);
    std::printf("held write ended after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_FALSE(out.IsOpen());
}

TEST_P(DeviceOutputSignalTaken, HeldWriteEndsOnCancel) {
    DeviceFileOutput out;
    const auto late = CancelledWhileHeld(out, 1000);
    ASSERT_TRUE(late.has_value());
    EXPECT_FALSE(out.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Signals, DeviceOutputSignalTaken,
                         ::testing::Values(Taken::ByAHandler, Taken::Ignored, Taken::AllOfThem),
                         [](const auto& info) { return TakenName(info.param); });

// --- Files, pipes and standard output ---------------------------------------------------------

TEST(DeviceOutputFile, FileGetsFullBuffersAsTheyFillAndTheRestAtClose) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    { std::ofstream(path) << std::string(1000, 'z'); }  // an old file is truncated
    const std::string a(100, 'a'), b(26, 'b'), c = AllByteValues() + std::string(44, 'c');
    DeviceFileOutput out;
    out.OpenDevice(path);
    EXPECT_EQ(FileSize(path), 0);
    out.DeviceWrite(a);
    EXPECT_EQ(FileSize(path), 0);
    out.DeviceWriteLine(b);  // 100 + 26 + 2: exactly full
    EXPECT_EQ(FileSize(path), 128);
    out.DeviceWrite(c);  // 300 bytes: two more full buffers, 44 wait
    EXPECT_EQ(FileSize(path), 384);
    out.CloseDevice();
    EXPECT_EQ(FileBytes(path), a + b + "\r\n" + c);
}

TEST(DeviceOutputFile, ALargeCallAfterAPartBufferKeepsTheOrderAndTheBufferBoundaries) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    std::string large;
    for (int i = 0; i < 4; ++i)
        large += AllByteValues();
    large.resize(1000);
    DeviceFileOutput out;
    out.OpenDevice(path);
    out.DeviceWrite(std::string(100, 'a'));
    out.DeviceWrite(large);  // 1100 bytes so far: eight full buffers out, 76 wait
    EXPECT_EQ(FileSize(path), 1024);
    out.CloseDevice();
    EXPECT_EQ(FileBytes(path), std::string(100, 'a') + large);
}

TEST(DeviceOutputFile, ChannelDroppedWithoutCloseWritesNothingMoreAndLeaksNothing) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    const int fdsBefore = OpenFdCount();
    {
        DeviceFileOutput out;
        out.OpenDevice(path);
        out.DeviceWrite(kDrawer);
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_EQ(FileSize(path), 0);
}

TEST(DeviceOutputFile, PipeIsDeferredAndAVanishedReaderIsAnErrorNotADeadProcess) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int fdsBefore = OpenFdCount();
    {
        UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(reader);
        DeviceFileOutput out;
        out.OpenDevice(fifo);
        out.DeviceWriteLine(kDrawer);
        char buf[16];
        EXPECT_EQ(::read(reader.get(), buf, sizeof buf), -1);  // still in our buffer
        out.CloseDevice();
        ASSERT_EQ(::read(reader.get(), buf, sizeof buf), 7);
        EXPECT_EQ(std::string(buf, 7), kDrawer + "\r\n");
    }
    {
        UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        DeviceFileOutput out;
        out.OpenDevice(fifo);
        out.DeviceWrite("lost");
        reader.reset();
        EInOutError e = CaughtIoError([&] { out.CloseDevice(); });
        EXPECT_EQ(e.SystemError(), EPIPE);
        EXPECT_FALSE(out.IsOpen());
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST(DeviceOutputFile, PipeWithoutAReaderFailsAtOnce) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    DeviceFileOutput out;
    EInOutError e = CaughtIoError([&] { out.OpenDevice(fifo); });
    EXPECT_EQ(e.SystemError(), ENXIO);
    EXPECT_EQ(e.ErrorCode(), 2);
    EXPECT_FALSE(out.IsOpen());
}

TEST(DeviceOutputFile, EmptyNameIsStandardOutputWhichStaysOpen) {
    TempDir dir;
    const std::string path = dir / "stdout.bin";
    std::fflush(stdout);
    UniqueFd saved(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(saved && file);
    ASSERT_EQ(::dup2(file.get(), STDOUT_FILENO), STDOUT_FILENO);
    {
        DeviceFileOutput out;
        out.OpenDevice("");
        out.DeviceWrite(kDrawer);
        EXPECT_EQ(FileSize(path), 0);  // a file: deferred
        out.CloseDevice();
    }
    const bool stillOpen = ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
    ::dup2(saved.get(), STDOUT_FILENO);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(FileBytes(path), kDrawer);
}

TEST(DeviceOutputFile, MissingStandardOutputIsUnknownType) {
    std::fflush(stdout);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(STDOUT_FILENO);
        int result = 1;
        try {
            DeviceFileOutput out;
            out.OpenDevice("");
        } catch (const EInOutError& e) {
            result = (e.ErrorCode() == 105 && std::string(e.what()) == "I/O error 105") ? 0 : 2;
        }
        ::_exit(result);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DeviceOutputFile, UnusableNamesFailWithoutCreatingAnything) {
    TempDir dir;
    DeviceFileOutput out;
    // A 00 byte would cut the name short in the kernel.
    EXPECT_EQ(CaughtIoError([&] { out.OpenDevice(dir / "a\0b"s); }).ErrorCode(), 3);
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(CaughtIoError([&] { out.OpenDevice(dir / ""); }).ErrorCode(), 5);  // a directory
    EXPECT_EQ(CaughtIoError([&] { out.OpenDevice(dir / "no/such"); }).ErrorCode(), 2);
    EXPECT_EQ(CaughtIoError([&] { out.DeviceWrite("x"); }).ErrorCode(), 103);  // never opened
}

// --- Error codes and texts --------------------------------------------------------------------

TEST(InOutError, CodesCarryTheirMessagesAndErrnoMapsByMeaning) {
    const std::pair<int, const char*> texts[] = {
        {2, "File not found"},
        {3, "Invalid filename"},
        {4, "Too many open files"},
        {5, "File access denied"},
        {100, "Read beyond end of file"},
        {101, "Disk full"},
        {106, "Invalid numeric input"},
        {105, "I/O error 105"},
        {1005, "I/O error 1005"},
    };
    for (const auto& [code, text] : texts) {
        EInOutError e(code);
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_STREQ(e.what(), text);
    }
    using kelvo::InOutErrorCodeFromErrno;
    EXPECT_EQ(InOutErrorCodeFromErrno(ENXIO), 2);
    EXPECT_EQ(InOutErrorCodeFromErrno(ENAMETOOLONG), 3);
    EXPECT_EQ(InOutErrorCodeFromErrno(ENFILE), 4);
    EXPECT_EQ(InOutErrorCodeFromErrno(EBUSY), 5);
    EXPECT_EQ(InOutErrorCodeFromErrno(EWOULDBLOCK), 5);
    EXPECT_EQ(InOutErrorCodeFromErrno(ENOSPC), 101);
    EXPECT_EQ(InOutErrorCodeFromErrno(EIO), 1000 + EIO);  // never mistaken for code 5
}
