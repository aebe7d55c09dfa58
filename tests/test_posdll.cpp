#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "links/PosdllFuncs.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"
#include "testing/BmpFiles.h"
#include "testing/CancelWhenBlocked.h"
#include "testing/CupsServer.h"
#include "testing/LoopbackPrinter.h"
#include "testing/Pty.h"
#include "testing/TestHost.h"

using namespace kelvo;
using kelvo::testing::BmpShape;
using kelvo::testing::CancelWhenBlocked;
using kelvo::testing::CupsServer;
using kelvo::testing::ExpectedFsQ;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::MakeBmp;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::TempFile;

namespace {

const std::string kPrintCommand("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40", 13);
const std::string kMotionUnit180("\x1D\x50\xB4\xB4", 4);
constexpr int32_t kSerialNoFlow = 2, kDriver = 20, kNetwork = 21;

// The private spooler starts before any test so that libcups, in this process
// and in the library, binds to it and never to the machine's own.
class CupsEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!CupsServer::MissingPieces().empty())
            return;
        printer = std::make_unique<LoopbackPrinter>(OwnLoopbackHost(2), 9100);
        server = std::make_unique<CupsServer>();
        server->AddRawQueue("ESCPOS", OwnLoopbackHost(2), 9100);
    }
    void TearDown() override {
        server.reset();
        printer.reset();
    }
    static inline std::unique_ptr<LoopbackPrinter> printer;
    static inline std::unique_ptr<CupsServer> server;
};
const auto* const kCups = ::testing::AddGlobalTestEnvironment(new CupsEnvironment);

// The library as the window binds it: loaded from the build tree through the
// binding.
class Posdll : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { library = std::make_unique<PosdllLibrary>(PosdllPath()); }
    static void TearDownTestSuite() { library.reset(); }
    void SetUp() override { ASSERT_TRUE(library->loaded()) << library->error(); }
    void TearDown() override { pos.POS_Close(); }

    static inline std::unique_ptr<PosdllLibrary> library;
    const PosdllFuncs& pos = library->funcs();
};

class PosdllNetwork : public Posdll {
  protected:
    LoopbackPrinter printer{OwnLoopbackHost(), 9100};
    std::string host = OwnLoopbackHost();

    // Opens, runs `body`, closes, and returns what the printer received on that
    // connection.
    std::string Session(const std::function<void(int32_t)>& body) {
        const int32_t handle = pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork);
        EXPECT_GT(handle, 0);
        body(handle);
        EXPECT_EQ(pos.POS_Close(), kPosSuccess);
        EXPECT_TRUE(printer.waitForClosed(1));
        return printer.bytes();
    }
};

BmpShape Logo(int bpp, bool topDown, bool whiteFirst) {
    BmpShape s;
    s.width = 12;
    s.height = 10;
    s.bitsPerPixel = bpp;
    s.topDown = topDown;
    s.whiteFirst = whiteFirst;
    s.black = [](int x, int y) { return kelvo::testing::TestPattern(x, y, 12, 10); };
    return s;
}

TEST_F(Posdll, BindingFindsAllFiveAndAMissingLibraryFailsSafely) {
    EXPECT_NE(pos.POS_Open, nullptr);
    EXPECT_NE(pos.POS_PreDownloadBmpsToFlash, nullptr);
    EXPECT_NE(pos.KELVO_SetTransferMonitor, nullptr);
    PosdllLibrary missing("/nonexistent/libposdll.so");
    EXPECT_FALSE(missing.loaded());
    EXPECT_FALSE(missing.error().empty());
    const PosdllFuncs& f = missing.funcs();
    EXPECT_EQ(f.POS_Open(OwnLoopbackHost().c_str(), 0, 0, 0, 0, kNetwork), -1);
    EXPECT_EQ(f.POS_WriteFile(1, "x", 1), kPosNoPort);
    EXPECT_EQ(f.POS_SetMotionUnit(180, 180), kPosNoPort);
    EXPECT_EQ(f.POS_Close(), kPosNoPort);
}

TEST_F(Posdll, LibraryPathPrefersTheEnvironmentThenTheLoadersSearch) {
    const std::string built = std::getenv("KELVO_POSDLL");
    EXPECT_EQ(PosdllPath(), built);
    ::unsetenv("KELVO_POSDLL");
    // Nothing beside this test program: the loader's own search, through the run path.
    EXPECT_EQ(PosdllPath(), "libposdll.so");
    ::setenv("KELVO_POSDLL", built.c_str(), 1);
}

TEST_F(Posdll, CallsWithoutAnOpenPortFailWithNoPort) {
    const char* paths[] = {"/nonexistent.bmp", nullptr, nullptr};
    EXPECT_EQ(pos.POS_Close(), kPosNoPort);
    EXPECT_EQ(pos.POS_WriteFile(1, kPrintCommand.data(), 13), kPosNoPort);
    EXPECT_EQ(pos.POS_WriteFile(-1, kPrintCommand.data(), 13), kPosNoPort);
    EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosNoPort);
    EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(paths, 2, 1), kPosNoPort);
    // A failed open leaves no port either.
    EXPECT_EQ(pos.POS_Open(nullptr, 0, 0, 0, 0, kNetwork), -1);
    EXPECT_EQ(pos.POS_Open("127.0.0.1", 0, 0, 0, 0, 7), -1);  // no such mode
    EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosNoPort);
}

TEST_F(PosdllNetwork, WriteAndMotionUnitReachThePrinterExactly) {
    std::string got = Session([&](int32_t handle) {
        EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 13), kPosSuccess);
        EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosSuccess);
        EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 0), kPosSuccess);
    });
    EXPECT_EQ(got, kPrintCommand + kMotionUnit180);
    EXPECT_EQ(printer.connectionCount(), 1u);
}

TEST_F(PosdllNetwork, BadArgumentsAndStaleHandlesSendNothing) {
    std::string got = Session([&](int32_t handle) {
        EXPECT_EQ(pos.POS_WriteFile(handle, nullptr, 5), kPosInvalidArgument);
        EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), -1), kPosInvalidArgument);
        EXPECT_EQ(pos.POS_WriteFile(handle + 1, kPrintCommand.data(), 13), kPosNoPort);
        EXPECT_EQ(pos.POS_SetMotionUnit(256, 180), kPosInvalidArgument);
        EXPECT_EQ(pos.POS_SetMotionUnit(180, -1), kPosInvalidArgument);
        EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(nullptr, 2, 1), kPosInvalidArgument);
        const char* none[] = {nullptr, nullptr, nullptr};
        EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(none, 2, 1), kPosInvalidArgument);
        EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(none, 2, 0), kPosInvalidArgument);
        EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(none, 7, 1), kPosInvalidArgument);
    });
    EXPECT_EQ(got, "");
}

TEST_F(PosdllNetwork, EachOpenIsANewHandleAndReplacesTheOldPort) {
    const int32_t first = pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork);
    const int32_t second = pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_TRUE(printer.waitForClosed(1));  // the first connection was closed by the second open
    EXPECT_EQ(pos.POS_WriteFile(first, "a", 1), kPosNoPort);
    EXPECT_EQ(pos.POS_WriteFile(second, "b", 1), kPosSuccess);
    EXPECT_EQ(pos.POS_Close(), kPosSuccess);
    EXPECT_TRUE(printer.waitForClosed(2));
    EXPECT_EQ(printer.connections(), (std::vector<std::string>{"", "b"}));
}

TEST_F(PosdllNetwork, RefusedOrNonNumericAddressesDoNotOpen) {
    EXPECT_EQ(pos.POS_Open(OwnLoopbackHost(5).c_str(), 0, 0, 0, 0, kNetwork),
              -1);  // refused
    // Only dotted IPv4 text: nothing is ever looked up by name or guessed from
    // short forms. (All of them loopback if anything were to read them loosely.)
    for (const char* text :
         {"", "localhost", "127.1", " 127.0.0.1", "127.0.0.1 ", "127.0.0.1.1", "127.0.0.256"}) {
        EXPECT_EQ(pos.POS_Open(text, 0, 0, 0, 0, kNetwork), -1) << text;
    }
    EXPECT_EQ(printer.connectionCount(), 0u);
}

TEST_F(PosdllNetwork, APrinterThatHangsUpMakesWritesFailWithoutKillingTheProcess) {
    printer.setMode({LoopbackPrinter::Mode::CloseAtOnce, 0});
    const int32_t handle = pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork);
    ASSERT_GT(handle, 0);
    ASSERT_TRUE(printer.waitForClosed(1));
    int32_t result = kPosSuccess;
    for (int i = 0; i < 50 && result == kPosSuccess; ++i) {
        result = pos.POS_WriteFile(handle, kPrintCommand.data(), 13);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(result, kPosFailed);
}

TEST_F(PosdllNetwork, CallsFromTwoThreadsNeverTearAPortApart) {
    // One thread keeps replacing the port while another writes: every write
    // either lands whole on the port it was checked against or is refused; none
    // goes to a closed descriptor.
    std::atomic<int32_t> handle{pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork)};
    ASSERT_GT(handle.load(), 0);
    size_t opened = 1;
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            const int32_t r = pos.POS_WriteFile(handle.load(), kPrintCommand.data(), 13);
            if (r == kPosSuccess)
                ++written;
            EXPECT_TRUE(r == kPosSuccess || r == kPosNoPort) << r;
        }
    });
    for (int i = 0; i < 30; ++i) {
        if (i % 3 == 0)
            pos.POS_Close();
        handle = pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork);
        opened += handle.load() > 0 ? 1 : 0;
    }
    writer.join();
    pos.POS_Close();
    // Every connection, not only those the printer happened to have accepted by now.
    ASSERT_TRUE(printer.waitForClosed(opened));
    std::string expected;
    for (int i = 0; i < written.load(); ++i)
        expected += kPrintCommand;
    EXPECT_EQ(printer.bytes(), expected);
}

TEST_F(PosdllNetwork, NvDownloadSendsFsQForEveryLayoutAsThePageCallsIt) {
    const BmpShape logos[] = {Logo(1, false, false), Logo(1, false, true),   Logo(1, true, false),
                              Logo(1, true, true),   Logo(24, false, false), Logo(8, true, true)};
    for (const BmpShape& logo : logos) {
        printer.clear();
        TempFile file("logo.bmp", MakeBmp(logo));
        const char* paths[] = {file.path().c_str(), nullptr, nullptr};
        const int32_t handle = pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork);
        ASSERT_GT(handle, 0);
        EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosSuccess);
        EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(paths, 2, 1), kPosSuccess);
        EXPECT_EQ(pos.POS_Close(), kPosSuccess);
        const std::string expected = kMotionUnit180 + ExpectedFsQ(12, 10, logo.black);
        EXPECT_EQ(printer.waitForBytes(expected.size()), expected)
            << logo.bitsPerPixel << " bit, top-down " << logo.topDown;
    }
}

TEST_F(PosdllNetwork, RefusedBitmapsSendNothing) {
    std::string good = MakeBmp(Logo(1, false, false));
    std::string truncated = good.substr(0, 60);
    std::string wrongMagic = "XM" + good.substr(2);
    std::string compressed = good;
    compressed[30] = 1;  // RLE8
    std::string huge = good;
    huge[18] = static_cast<char>(0xF9);  // 8185 dots wide
    huge[19] = 0x1F;
    std::string negative = good;
    negative[21] = static_cast<char>(0xFF);  // width < 0
    const std::pair<std::string, int32_t> cases[] = {
        {truncated, kPosBmpMalformed},    {wrongMagic, kPosBmpMalformed},
        {compressed, kPosBmpUnsupported}, {huge, kPosBmpTooLarge},
        {negative, kPosBmpMalformed},     {"not a picture", kPosBmpMalformed}};
    for (const auto& [bytes, code] : cases) {
        TempFile file("logo.bmp", bytes);
        const char* paths[] = {file.path().c_str(), nullptr, nullptr};
        ASSERT_GT(pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork), 0);
        EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(paths, 2, 1), code);
        pos.POS_Close();
    }
    const char* missing[] = {"/nonexistent/logo.bmp", nullptr, nullptr};
    ASSERT_GT(pos.POS_Open(host.c_str(), 0, 0, 0, 0, kNetwork), 0);
    EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(missing, 2, 1), kPosFileError);
    // Option 1 takes monochrome only: a 24-bit picture is refused before anything
    // is sent.
    TempFile deep("deep.bmp", MakeBmp(Logo(24, false, false)));
    const char* paths[] = {deep.path().c_str(), nullptr, nullptr};
    EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(paths, 1, 1), kPosBmpUnsupported);
    // One download's FS q may not pass 8 MiB: four of the largest pictures (2.36 MB each) do.
    std::string largest = good.substr(0, 62);  // the header and palette of a 1-bit file
    largest[18] = static_cast<char>(0xF8);     // 8184 dots wide
    largest[19] = 0x1F;
    largest[22] = 0x00;  // 2304 dots high
    largest[23] = 0x09;
    largest.resize(62 + 1024 * 2304, '\0');
    TempFile big("largest.bmp", largest);
    const char* four[] = {big.path().c_str(), big.path().c_str(), big.path().c_str(),
                          big.path().c_str()};
    EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(four, 2, 4), kPosBmpTooLarge);
    pos.POS_Close();
    EXPECT_TRUE(printer.waitForClosed(7));
    EXPECT_EQ(printer.bytes(), "");
}

class PosdllDriver : public Posdll {
  protected:
    void SetUp() override {
        Posdll::SetUp();
        if (std::string why = CupsServer::MissingPieces(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(CupsEnvironment::server->WaitForJobsEnded());
        jobsBefore = CupsEnvironment::server->Jobs().size();
        connectionsBefore = CupsEnvironment::printer->connectionCount();
    }
    size_t jobsBefore = 0;
    size_t connectionsBefore = 0;
};

TEST_F(PosdllDriver, EveryWriteIsOneRawJobToTheQueue) {
    const int32_t handle = pos.POS_Open("ESCPOS", 0, 0, 0, 0, kDriver);
    ASSERT_GT(handle, 0);
    EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 13), kPosSuccess);
    EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosSuccess);
    EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 0),
              kPosSuccess);  // no job
    EXPECT_EQ(pos.POS_Close(), kPosSuccess);

    auto& printer = *CupsEnvironment::printer;
    ASSERT_TRUE(printer.waitForClosed(connectionsBefore + 2, std::chrono::seconds(15)));
    auto all = printer.connections();
    EXPECT_EQ(
        std::vector<std::string>(all.begin() + static_cast<long>(connectionsBefore), all.end()),
        (std::vector<std::string>{kPrintCommand, kMotionUnit180}));
    ASSERT_TRUE(CupsEnvironment::server->WaitForJobsEnded());
    EXPECT_EQ(CupsEnvironment::server->Jobs().size(), jobsBefore + 2);
}

TEST_F(PosdllDriver, UnknownQueueDoesNotOpen) {
    EXPECT_EQ(pos.POS_Open("NoSuchPrinter", 0, 0, 0, 0, kDriver), -1);
    EXPECT_EQ(pos.POS_Open("", 0, 0, 0, 0, kDriver), -1);
    EXPECT_EQ(CupsEnvironment::server->Jobs().size(), jobsBefore);
}

// The serial port through a pseudo-terminal standing in for COM7.
class PosdllSerial : public Posdll {
  protected:
    Pty pty;
    PortOverride com7{"COM7", pty.slavePath()};

    termios Line() {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty.master(), &t), 0);
        return t;
    }
};

constexpr int32_t kXonXoff = 0, kHardware = 1;

TEST_F(PosdllSerial, OpensAtTheRequestedLineAndPassesBytesUnchanged) {
    // Scrambled first, so the library has to set every flag itself.
    termios t = Line();
    t.c_lflag |= ICANON | ECHO;
    t.c_oflag |= OPOST | ONLCR;
    ::cfsetspeed(&t, B300);
    ::tcsetattr(pty.master(), TCSANOW, &t);

    const int32_t handle = pos.POS_Open("COM7", 9600, 8, 0, 0, kXonXoff);
    ASSERT_GT(handle, 0);
    t = Line();
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    const std::string everyByte = [] {
        std::string s;
        for (int b = 0; b < 256; ++b)
            s.push_back(static_cast<char>(b));
        return s;
    }();
    EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 13), kPosSuccess);
    EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosSuccess);
    EXPECT_EQ(pos.POS_WriteFile(handle, everyByte.data(), 256), kPosSuccess);
    EXPECT_EQ(pos.POS_Close(), kPosSuccess);
    EXPECT_EQ(pty.read(13 + 4 + 256), kPrintCommand + kMotionUnit180 + everyByte);
}

TEST_F(PosdllSerial, FlowCodesSetTheirFlowControl) {
    ASSERT_GT(pos.POS_Open("COM7", 115200, 8, 0, 0, kHardware), 0);
    termios t = Line();
    EXPECT_EQ(::cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CRTSCTS, tcflag_t{CRTSCTS});
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    ASSERT_GT(pos.POS_Open("COM7", 19200, 8, 0, 0, kSerialNoFlow), 0);
    t = Line();
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(PosdllSerial, NvDownloadGoesOutAsFsQ) {
    const BmpShape logo = Logo(1, false, true);
    TempFile file("logo.bmp", MakeBmp(logo));
    const char* paths[] = {file.path().c_str(), nullptr, nullptr};
    ASSERT_GT(pos.POS_Open("COM7", 115200, 8, 0, 0, kSerialNoFlow), 0);
    EXPECT_EQ(pos.POS_SetMotionUnit(180, 180), kPosSuccess);
    EXPECT_EQ(pos.POS_PreDownloadBmpsToFlash(paths, 2, 1), kPosSuccess);
    pos.POS_Close();
    const std::string expected = kMotionUnit180 + ExpectedFsQ(12, 10, logo.black);
    EXPECT_EQ(pty.read(expected.size()), expected);
}

TEST_F(PosdllSerial, MissingBusyOrWrongPortsDoNotOpen) {
    PortOverride com8("COM8", "/nonexistent/ttyUSB9");
    EXPECT_EQ(pos.POS_Open("COM8", 9600, 8, 0, 0, kSerialNoFlow), -1);
    EXPECT_FALSE(std::filesystem::exists("/nonexistent/ttyUSB9"));
    // A plain file is no serial port, and is left as it was.
    TempFile plain("COM9", "unchanged");
    PortOverride com9("COM9", plain.path());
    EXPECT_EQ(pos.POS_Open("COM9", 9600, 8, 0, 0, kSerialNoFlow), -1);
    // Held by someone else (the serial page's component takes the same lock).
    {
        UniqueFd other(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(other);
        ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(pos.POS_Open("COM7", 9600, 8, 0, 0, kSerialNoFlow), -1);
    }
    // Settings the line cannot have.
    EXPECT_EQ(pos.POS_Open("COM7", 0, 8, 0, 0, kSerialNoFlow), -1);
    EXPECT_EQ(pos.POS_Open("COM7", 9600, 9, 0, 0, kSerialNoFlow), -1);
    EXPECT_EQ(pos.POS_Open("COM7", 9600, 8, 3, 0, kSerialNoFlow), -1);
    EXPECT_EQ(pos.POS_Open("COM7", 9600, 8, 0, 5, kSerialNoFlow), -1);
    EXPECT_EQ(pos.POS_Open("COM7", 9600, 8, 0, 0, 3), -1);
    // Free again: it opens.
    EXPECT_GT(pos.POS_Open("COM7", 9600, 8, 0, 0, kSerialNoFlow), 0);
}

// The library's own copy of the monitor for this thread, for the scope's life.
class LibraryMonitor {
  public:
    LibraryMonitor(const PosdllFuncs& pos, const TransferMonitor& monitor) : pos_(pos) {
        EXPECT_EQ(pos_.KELVO_SetTransferMonitor(&monitor), kPosSuccess);
    }
    ~LibraryMonitor() { pos_.KELVO_SetTransferMonitor(nullptr); }

  private:
    const PosdllFuncs& pos_;
};

TEST_F(PosdllSerial, APortThatStopsTakingBytesTimesOutAfterTheStallLimitAndReportsProgress) {
    struct Seen {
        uint64_t done = 0, size = 0;
    } seen;
    TransferMonitor monitor;
    monitor.stallLimitMs = 300;
    monitor.context = &seen;
    monitor.progress = [](void* context, uint64_t done, uint64_t size) {
        *static_cast<Seen*>(context) = {done, size};
    };
    LibraryMonitor installed(pos, monitor);
    const int32_t handle = pos.POS_Open("COM7", 115200, 8, 0, 0, kSerialNoFlow);
    ASSERT_GT(handle, 0);
    const std::string mib(1 << 20, 'm');  // the test never reads the port
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pos.POS_WriteFile(handle, mib.data(), 1 << 20), kPosTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(seen.size, mib.size());
    EXPECT_GT(seen.done, 0u);
    EXPECT_LT(seen.done, mib.size());
    EXPECT_EQ(pos.POS_Close(), kPosSuccess);
}

TEST_F(PosdllSerial, CancelEndsAHeldWritePromptly) {
    CancelSignal cancel;
    TransferMonitor monitor;
    monitor.cancelFd = cancel.fd();
    monitor.stallLimitMs = 60000;
    LibraryMonitor installed(pos, monitor);
    const int32_t handle = pos.POS_Open("COM7", 115200, 8, 0, 0, kSerialNoFlow);
    ASSERT_GT(handle, 0);
    const std::string mib(1 << 20, 'c');
    int32_t result = 0;
    std::optional<std::chrono::milliseconds> late;
    {
        CancelWhenBlocked canceller(cancel);
        result = pos.POS_WriteFile(handle, mib.data(), 1 << 20);
        late = canceller.SinceCancel();
    }
    EXPECT_EQ(result, kPosFailed);
    ASSERT_TRUE(late.has_value());
    std::printf("write ended %lld ms after the cancel\n", static_cast<long long>(late->count()));
    EXPECT_LT(*late, std::chrono::seconds(2));
    EXPECT_EQ(pos.POS_Close(), kPosSuccess);
}

TEST_F(PosdllSerial, AnUnpluggedPortFailsTheWrite) {
    const int32_t handle = pos.POS_Open("COM7", 9600, 8, 0, 0, kSerialNoFlow);
    ASSERT_GT(handle, 0);
    pty.closeMaster();
    EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 13), kPosFailed);
    EXPECT_EQ(pos.POS_Close(), kPosSuccess);
}

}  // namespace
