// Peers that fail while a link is using them: a serial printer unplugged under the serial
// component's running writer, and a print spooler that stopped before a raw job. Each failure is
// reported, nothing stays held, and the next peer is served.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "links/Comm.h"
#include "links/PosdllFuncs.h"
#include "links/SendRawToPrinter.h"
#include "links/Transfer.h"
#include "testing/CupsServer.h"
#include "testing/LoopbackPrinter.h"
#include "testing/NoticeQueue.h"
#include "testing/ProcessResources.h"
#include "testing/Pty.h"
#include "testing/SilentServer.h"
#include "testing/TestHost.h"

using kelvo::testing::CupsServer;
using kelvo::testing::CupsServerRoute;
using kelvo::testing::Held;
using kelvo::testing::HeldNow;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::NoticeQueue;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::SilentServer;
using kelvo::testing::WaitUntilHeld;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPrintCommand("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40", 13);

bool Send(TComm& comm, const std::string& bytes) {
    return comm.SendData(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

// Set up like the window's Comm1.
void LikeComm1(TComm& comm, const std::string& port) {
    comm.SetCommName(port);
    comm.SetBaudRate(115200);
    comm.SetStopBits(TStopBits::_2);
}

}  // namespace

TEST(FailingSerialPrinter, UnpluggedUnderARunningWriteHangsUpReleasesAllAndAFreshPortWorks) {
    NoticeQueue notices;
    auto pty = std::make_unique<Pty>();
    auto route = std::make_unique<PortOverride>("COM3", pty->slavePath());
    const Held before = HeldNow();

    TComm comm(notices.poster());
    LikeComm1(comm, "COM3");
    int hangups = 0;
    int emptied = 0;
    comm.OnSendDataEmpty = [&](TComm&) { ++emptied; };
    comm.OnRequestHangup = [&](TComm& sender) {
        ++hangups;
        sender.ClosePort();  // what an owner is asked to do
    };
    comm.OpenPort();
    ASSERT_TRUE(notices.pumpUntil([&] { return emptied == 1; }));

    // Far more than the port buffers while the printer reads nothing: once the first bytes are
    // through, the writer is stuck in the middle of its work.
    const std::string block(60000, 'p');
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(Send(comm, block));
    pollfd arrived{pty->master(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 3000), 1);
    EXPECT_FALSE(comm.SendQueueEmpty());

    pty->closeMaster();
    ASSERT_TRUE(notices.pumpUntil([&] { return hangups > 0; }));
    notices.pumpFor(200ms);
    EXPECT_LE(hangups, 2);  // at most once from each thread
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_FALSE(Send(comm, "late"));
    const Held unplugged{before.fds - 1, before.threads};  // the master is gone as well
    EXPECT_EQ(WaitUntilHeld(unplugged), unplugged);

    // A fresh port under the same name works at once.
    route.reset();
    pty = std::make_unique<Pty>();
    route = std::make_unique<PortOverride>("COM3", pty->slavePath());
    comm.OpenPort();
    ASSERT_TRUE(Send(comm, kPrintCommand));
    EXPECT_EQ(pty->read(kPrintCommand.size()), kPrintCommand);
    comm.ClosePort();
    notices.pump();
    EXPECT_EQ(WaitUntilHeld(before), before);
}

// The spooler's own link, and the printer library's driver port on it, once the print server has
// gone away: a prompt error, no job, no wait.
TEST(FailingSpooler, StoppedServerIsAPromptErrorWithoutAJob) {
    if (std::string why = CupsServer::MissingPieces(); !why.empty())
        GTEST_SKIP() << why;
    // libcups keeps to the first server it was pointed at in a thread: one stopped server per
    // process (a repeated run skips).
    static bool serverStopped = false;
    if (serverStopped)
        GTEST_SKIP() << "the print server of this process is already stopped";
    LoopbackPrinter printer(OwnLoopbackHost(2), 9100);
    auto server = std::make_unique<CupsServer>();
    server->AddRawQueue("ESCPOS", OwnLoopbackHost(2), 9100);
    kelvo::PosdllLibrary library(kelvo::PosdllPath());
    ASSERT_TRUE(library.loaded()) << library.error();
    const kelvo::PosdllFuncs& pos = library.funcs();

    // Served while it runs (and the client holds a connection to it afterwards).
    kelvo::RawPrintResult served = kelvo::SendRawToPrinter("ESCPOS", kPrintCommand);
    EXPECT_FALSE(served.error);
    EXPECT_GT(served.jobId, 0);
    ASSERT_TRUE(printer.waitForClosed(1, 15s));
    EXPECT_EQ(printer.bytes(), kPrintCommand);
    ASSERT_TRUE(server->WaitForJobsEnded());
    const int32_t handle = pos.POS_Open("ESCPOS", 0, 0, 0, 0, 20);
    EXPECT_GT(handle, 0);
    EXPECT_EQ(pos.POS_Close(), kelvo::kPosSuccess);

    server.reset();
    serverStopped = true;
    auto start = Clock::now();
    kelvo::RawPrintResult failed = kelvo::SendRawToPrinter("ESCPOS", kPrintCommand);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(failed.error, "错误： 1282");  // server-error-service-unavailable
    EXPECT_EQ(failed.jobId, 0);
    std::string why;
    EXPECT_TRUE(kelvo::InstalledPrinters(&why).empty());
    EXPECT_NE(why.find(" not reachable: "), std::string::npos) << why;

    start = Clock::now();
    EXPECT_EQ(pos.POS_Open("ESCPOS", 0, 0, 0, 0, 20), -1);
    EXPECT_EQ(pos.POS_WriteFile(handle, kPrintCommand.data(), 13), kelvo::kPosNoPort);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(printer.settle(), kPrintCommand);
    EXPECT_EQ(printer.connectionCount(), 1u);
}

// A print server that takes the connection and never answers, as a hung cupsd does: each call
// gives up after its own time-out, with the error the window shows and the reason it logs.
TEST(FailingSpooler, HungServerIsABoundedErrorWithAReason) {
    SilentServer hung;
    CupsServerRoute route(hung.path());

    // The print waits out its bound beside the list's, on a thread that reads the route afresh.
    auto print = std::async(std::launch::async, [] {
        const auto start = Clock::now();
        kelvo::RawPrintResult failed = kelvo::SendRawToPrinter("ESCPOS", kPrintCommand);
        return std::pair(failed, Clock::now() - start);
    });
    const auto start = Clock::now();
    std::string why;
    EXPECT_TRUE(kelvo::InstalledPrinters(&why).empty());
    const auto listed = Clock::now() - start;
    EXPECT_EQ(why.rfind("print server at " + hung.path() + " not answering: ", 0), 0u) << why;

    const auto [failed, printed] = print.get();
    EXPECT_EQ(failed.error, "错误： 1280");  // server-error-internal-error
    EXPECT_EQ(failed.jobId, 0);

    using Seconds = std::chrono::duration<double>;
    std::cout << "printer list gave up after " << Seconds(listed).count() << " s, raw print after "
              << Seconds(printed).count() << " s\n";
    EXPECT_LT(listed, 15s);
    EXPECT_LT(printed, 15s);
}

TEST(FailingSpooler, CancelledActionStopsWaitingForAHungServerAtOnce) {
    SilentServer hung;
    CupsServerRoute route(hung.path());
    kelvo::CancelSignal cancel;
    kelvo::TransferMonitor monitor;
    monitor.cancelFd = cancel.fd();
    kelvo::TransferScope action(&monitor);
    // The user cancels once the look-up is waiting on the server.
    std::thread user([&] {
        hung.waitForAccepted(1);
        cancel.Cancel();
    });

    const auto start = Clock::now();
    int code = 0;
    EXPECT_FALSE(kelvo::LookUpPrinter("ESCPOS", code));
    const auto took = Clock::now() - start;
    user.join();
    EXPECT_EQ(code, 1280);
    std::cout << "cancelled look-up returned after " << std::chrono::duration<double>(took).count()
              << " s\n";
    EXPECT_LT(took, 3s);
}
