// Printers as they are: slow to take a job, talking while they print, answering late. What was
// sent must arrive whole or be reported as not arrived, and every status answer must stay in its
// own request's slot.

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "links/NetworkLink.h"
#include "links/PosdllFuncs.h"
#include "links/StatusQuery.h"
#include "links/Transfer.h"
#include "protocol/Commands.h"
#include "testing/PacedPrinter.h"
#include "testing/Pty.h"
#include "testing/RowName.h"
#include "testing/StatusResponder.h"
#include "testing/TestHost.h"

using namespace kelvo;
using namespace kelvo::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kPort = 9100;
constexpr size_t kJobSize = 48 * 1024;

std::string Job() {
    std::string job(kJobSize, '\0');
    for (size_t i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>(i * 131 + i / 256);
    return job;
}

// The printer library as the window binds it.
const PosdllFuncs& Library() {
    static const PosdllLibrary library(PosdllPath());
    return library.funcs();
}

enum class Closer { Link, Library };

// How the job goes out and how the connection is closed; the close's failure text, or "".
std::string SendAndClose(Closer closer, const std::string& job, int32_t* libraryResult = nullptr) {
    if (closer == Closer::Link) {
        NetworkLink link;
        link.SetHost(OwnLoopbackHost());
        link.SetPort(kPort);
        link.Connect();
        link.SendRaw(job);
        try {
            link.Disconnect();
        } catch (const ENetworkError& e) {
            EXPECT_EQ(link.GetState(), NetworkLink::State::Idle);
            return e.what();
        }
        return "";
    }
    const PosdllFuncs& pos = Library();
    const int32_t handle = pos.POS_Open(OwnLoopbackHost().c_str(), 0, 0, 0, 0, 21);
    EXPECT_GT(handle, 0);
    EXPECT_EQ(pos.POS_WriteFile(handle, job.data(), static_cast<int32_t>(job.size())), kPosSuccess);
    const int32_t closed = pos.POS_Close();
    if (libraryResult != nullptr)
        *libraryResult = closed;
    return closed == kPosSuccess ? "" : "POS_Close " + std::to_string(closed);
}

struct CloseCase {
    const char* name;
    PacedPrinter::Options printer;
    Closer closer;
};

PacedPrinter::Options TalksOnceAt1300() {
    PacedPrinter::Options o;
    o.talkAt = 1300ms;
    return o;
}
PacedPrinter::Options TalksEvery20() {
    PacedPrinter::Options o;
    o.talkEvery = 20ms;
    return o;
}

class SlowPrinterClose : public ::testing::TestWithParam<CloseCase> {};

}  // namespace

// 4 KiB per 100 ms: the printer needs about 1.2 s for the job, longer than any fixed wait.
TEST_P(SlowPrinterClose, EveryByteArrivesInOrderBeforeTheConnectionCloses) {
    const CloseCase& c = GetParam();
    PacedPrinter printer(OwnLoopbackHost(), kPort, c.printer);
    const std::string job = Job();
    const auto start = Clock::now();
    EXPECT_EQ(SendAndClose(c.closer, job), "");
    const auto closed = Clock::now() - start;
    ASSERT_TRUE(printer.waitForBytes(job.size(), 10s)) << printer.bytes().size();
    const auto read = Clock::now() - start;
    EXPECT_EQ(printer.bytes().size(), job.size());
    EXPECT_TRUE(printer.bytes() == job) << "the job arrived changed";
    EXPECT_TRUE(printer.waitForEnd(10s).has_value());
    std::cout << c.name << ": closed after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(closed).count()
              << " ms, the printer had read the job after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(read).count() << " ms\n";
}

INSTANTIATE_TEST_SUITE_P(
    TalkingPrinters, SlowPrinterClose,
    ::testing::Values(CloseCase{"DisconnectStatusAt1300ms", TalksOnceAt1300(), Closer::Link},
                      CloseCase{"DisconnectStatusEvery20ms", TalksEvery20(), Closer::Link},
                      CloseCase{"PosCloseStatusAt1300ms", TalksOnceAt1300(), Closer::Library},
                      CloseCase{"PosCloseStatusEvery20ms", TalksEvery20(), Closer::Library}),
    kelvo::testing::NamedByName());

TEST(SlowPrinterStops, TheCloseFailsAtTheStallLimitNamingTheBytesNeverTaken) {
    for (const Closer closer : {Closer::Link, Closer::Library}) {
        SCOPED_TRACE(closer == Closer::Link ? "Disconnect" : "POS_Close");
        PacedPrinter::Options o = TalksEvery20();
        o.stopReadingAfter = kJobSize - 8 * 1024;  // the rest fits in the kernels' buffers
        PacedPrinter printer(OwnLoopbackHost(), kPort, o);
        TransferMonitor monitor;
        monitor.stallLimitMs = 400;
        TransferScope scope(&monitor);
        if (closer == Closer::Library) {
            ASSERT_EQ(Library().KELVO_SetTransferMonitor(&monitor), kPosSuccess);
        }
        const std::string job = Job();
        const auto start = Clock::now();
        int32_t result = 0;
        const std::string failure = SendAndClose(closer, job, &result);
        EXPECT_GE(Clock::now() - start, 400ms);
        const auto end = printer.waitForEnd(10s);
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->read, o.stopReadingAfter);
        EXPECT_TRUE(printer.bytes() == job.substr(0, o.stopReadingAfter));
        // Whatever the printer's kernel acknowledged counts as taken; the rest is named.
        const size_t notTaken = job.size() - end->read - end->unread;
        if (closer == Closer::Link) {
            EXPECT_EQ(failure, NetworkLink::NotTakenText(ETIMEDOUT, notTaken));
        } else {
            EXPECT_EQ(result, kPosTimeout);
            Library().KELVO_SetTransferMonitor(nullptr);
        }
    }
}

// ---- Status answers, each in its own slot --------------------------------------------------

namespace {

constexpr StatusBytes kCoverClosed{0x12, 0x12, 0x12, 0x12};
constexpr StatusBytes kCoverOpen{0x12, 0x16, 0x12, 0x12};

// Over the network or over a pty, against a printer answering `answers` after `delay`, talking
// every `talk` (0: never).
StatusAnswers Ask(bool network, StatusBytes answers, std::chrono::milliseconds delay,
                  std::chrono::milliseconds talk = 0ms) {
    if (network) {
        PacedPrinter::Options o;
        o.pause = 0ms;
        o.answers = answers;
        o.answerDelay = delay;
        o.talkEvery = talk;
        PacedPrinter printer(OwnLoopbackHost(), kPort, o);
        NetworkLink link;
        link.SetHost(OwnLoopbackHost());
        link.SetPort(kPort);
        link.Connect();
        return QueryStatus(link);
    }
    Pty pty;
    StatusResponder responder(pty, answers, delay, talk);
    return QueryDeviceStatus(pty.slavePath());
}

struct SlotCase {
    const char* name;
    std::chrono::milliseconds delay;
    std::chrono::milliseconds talk;
};

class StatusSlots : public ::testing::TestWithParam<std::tuple<SlotCase, bool>> {};

}  // namespace

// A state is shown only from the answer to its own request: late answers are kept apart, and a
// printer that never stops talking leaves requests unanswered rather than answered by its chatter.
TEST_P(StatusSlots, NoRequestEverShowsAnotherRequestsAnswer) {
    const auto& [c, network] = GetParam();
    const StatusAnswers got = Ask(network, kCoverOpen, c.delay, c.talk);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("DLE EOT " + std::to_string(i + 1));
        if (got.answer[i]) {
            EXPECT_EQ(got.answer[i], kCoverOpen[i]);
        }
        if (got.late[i]) {
            EXPECT_EQ(got.late[i], kCoverOpen[i]);
        }
        EXPECT_FALSE(got.answer[i] && got.late[i]);
    }
    if (c.talk.count() == 0 && c.delay < kStatusAnswerWait) {
        EXPECT_EQ(got.answer, kCoverOpen);
    }
    if (c.talk.count() == 0 && c.delay > kStatusAnswerWait) {
        EXPECT_EQ(got.late, kCoverOpen);  // every one late, none shifted into the next slot
    }
}

INSTANTIATE_TEST_SUITE_P(LateAndTalkingPrinters, StatusSlots,
                         ::testing::Combine(::testing::Values(SlotCase{"Prompt", 0ms, 0ms},
                                                              SlotCase{"Late700ms", 700ms, 0ms},
                                                              SlotCase{"Late400ms", 400ms, 0ms},
                                                              SlotCase{"Flood", 0ms, 2ms}),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Network" : "Pty");
                         });

// An earlier program asked "cover open?" and left without reading: the stale answers are unasked
// bytes, and the query reads the printer as it is now.
TEST(StatusSlotsOverSeconds, StaleAnswersOnAPortGiveWayToTheTrueState) {
    Pty pty;
    termios cooked{};
    ASSERT_EQ(::tcgetattr(pty.master(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;  // as the earlier program left it
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &cooked), 0);
    const std::string stale = "\x16\x16";  // two answers "cover open" nobody read
    pty.write(stale);
    StatusResponder responder(pty, kCoverClosed);
    for (int round = 0; round < 2; ++round) {
        const StatusAnswers got = QueryDeviceStatus(pty.slavePath());
        EXPECT_EQ(got.answer, kCoverClosed) << round;
        EXPECT_EQ(got.unsolicited, round == 0 ? stale : "") << round;
    }
}
