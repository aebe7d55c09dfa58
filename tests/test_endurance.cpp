// A thousand short sessions on each kind of held link, as a long working day would bring: every
// byte arrives, and afterwards the process holds no more descriptors and threads than before.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "links/Comm.h"
#include "links/NetworkLink.h"
#include "testing/LoopbackPrinter.h"
#include "testing/NoticeQueue.h"
#include "testing/ProcessResources.h"
#include "testing/Pty.h"
#include "testing/TestHost.h"

using kelvo::NetworkLink;
using kelvo::testing::Held;
using kelvo::testing::HeldNow;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::NoticeQueue;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::WaitUntilHeld;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCycles = 1000;
// Far more than either loop needs (well under a second here); a loop that gets near it is
// stuck somewhere and fails instead of holding up the run.
constexpr auto kTimeLimit = 30s;

std::string Line(int cycle) {
    char text[32];
    std::snprintf(text, sizeof text, "cycle %04d\r\n", cycle);
    return text;
}

// One warm-up cycle (lazily made process resources come into being before counting), then
// kCycles within the time limit. Returns what the process held before the counted cycles. A cycle
// ends only when both ends of its session are closed (the loopback printer closes its end before it
// reports the close), so nothing of the warm-up is still closing when the baseline is counted.
template <class Cycle>
Held RunCycles(Cycle& cycle) {
    cycle(-1);
    const Held before = HeldNow();
    const auto deadline = Clock::now() + kTimeLimit;
    int done = 0;
    for (; done < kCycles && Clock::now() < deadline; ++done) {
        cycle(done);
        if (::testing::Test::HasFatalFailure())
            return before;
    }
    EXPECT_EQ(done, kCycles) << "too slow";
    return before;
}

// No growth over the counted cycles. A joined thread can stay listed for a moment, and one still
// listed when the baseline was taken only makes the baseline larger.
void ExpectNoGrowth(const Held& before) {
    const Held after = WaitUntilHeld(before);
    EXPECT_LE(after.fds, before.fds) << "before: " << before << "; after: " << after;
    EXPECT_LE(after.threads, before.threads) << "before: " << before << "; after: " << after;
}

}  // namespace

TEST(Endurance, SerialOpenSendCloseCyclesLeaveNothingHeld) {
    Pty pty;
    PortOverride com3("COM3", pty.slavePath());
    NoticeQueue notices;
    TComm comm(notices.poster());
    comm.SetCommName("COM3");
    comm.SetBaudRate(115200);
    comm.SetStopBits(TStopBits::_2);

    auto cycle = [&](int i) {
        comm.OpenPort();
        const std::string line = Line(i);
        ASSERT_TRUE(comm.SendData(line.data(), static_cast<uint16_t>(line.size())));
        // Closing flushes what is not written yet: wait until the printer has it.
        ASSERT_EQ(pty.read(line.size()), line) << "cycle " << i;
        comm.ClosePort();
        notices.pump();
    };
    const Held before = RunCycles(cycle);
    if (HasFatalFailure())
        return;
    EXPECT_FALSE(comm.IsOpen());
    ExpectNoGrowth(before);
    EXPECT_EQ(pty.drain(50ms), "");
}

TEST(Endurance, NetworkConnectSendDisconnectCyclesLeaveNothingHeld) {
    LoopbackPrinter printer(OwnLoopbackHost(), 9100);
    NetworkLink link;
    link.SetHost(OwnLoopbackHost());
    link.SetPort(9100);

    size_t closed = 0;
    auto cycle = [&](int i) {
        link.Connect();
        link.SendLine(Line(i));
        link.Disconnect();
        // One session at a time, as the window has them; keeps the listener's backlog short.
        ASSERT_TRUE(printer.waitForClosed(++closed)) << "cycle " << i;
    };
    const Held before = RunCycles(cycle);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(link.GetState(), NetworkLink::State::Idle);
    ExpectNoGrowth(before);

    const auto sessions = printer.connections();
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kCycles + 1));
    for (int i = 0; i < kCycles; ++i)
        ASSERT_EQ(sessions[static_cast<size_t>(i) + 1], Line(i) + "\r\n") << "cycle " << i;
}
