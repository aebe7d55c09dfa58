#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "links/NetworkLink.h"
#include "links/PortLock.h"
#include "links/StatusQuery.h"
#include "protocol/Commands.h"
#include "testing/CancelWhenBlocked.h"
#include "testing/LoopbackPrinter.h"
#include "testing/RowName.h"
#include "testing/StatusResponder.h"
#include "testing/TestHost.h"

using namespace kelvo;
using namespace kelvo::testing;
using namespace std::chrono_literals;

namespace {

const std::string kFourRequests =
    TransmitStatus(1) + TransmitStatus(2) + TransmitStatus(3) + TransmitStatus(4);

// The error code a call throws (socket error or I/O error code), or 0.
template <typename F>
int CodeOf(F&& call) {
    try {
        call();
    } catch (const ENetworkError& e) {
        return e.Code();
    } catch (const EInOutError& e) {
        return e.ErrorCode();
    }
    return 0;
}

class PrinterStatus : public ::testing::Test {
  protected:
    PrinterStatus() {
        link.SetHost(OwnLoopbackHost());
        link.SetPort(printer.port());
    }
    LoopbackPrinter printer{OwnLoopbackHost()};
    NetworkLink link;
    Pty pty;
};

}  // namespace

// Each answer comes back exactly, over the network and through a port left cooked.
struct AnswerRow {
    const char* what;
    StatusBytes answers;
};

class EachAnswer : public PrinterStatus, public ::testing::WithParamInterface<AnswerRow> {};

TEST_P(EachAnswer, ComesBackExactlyOverTheNetworkAndAPortLeftCooked) {
    const StatusBytes& answers = GetParam().answers;
    link.Connect();
    termios cooked{};
    ASSERT_EQ(::tcgetattr(pty.master(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;  // as a port nobody has set up
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &cooked), 0);
    PortOverride com3("COM3", pty.slavePath());
    printer.setStatusAnswers(answers);
    printer.clear();
    const StatusAnswers got = QueryStatus(link, 300ms);
    EXPECT_EQ(got.answer, answers);
    EXPECT_EQ(got.unsolicited, "");
    EXPECT_EQ(printer.waitForBytes(12), kFourRequests);

    StatusResponder responder(pty, answers);
    const StatusAnswers viaPort = QueryDeviceStatus("COM3", 300ms);
    EXPECT_EQ(viaPort.answer, answers);
    EXPECT_EQ(viaPort.unsolicited, "");
    EXPECT_EQ(responder.bytes(), kFourRequests);  // nothing echoed
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.master(), &after), 0);
    EXPECT_EQ(after.c_lflag, cooked.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(PrinterStatus, EachAnswer,
                         ::testing::Values(AnswerRow{"online", {0x12, 0x12, 0x12, 0x12}},
                                           AnswerRow{"cover open", {0x12, 0x16, 0x12, 0x12}},
                                           AnswerRow{"paper out", {0x12, 0x12, 0x12, 0x72}},
                                           AnswerRow{"drawer pin high", {0x16, 0x12, 0x12, 0x12}},
                                           AnswerRow{"second unanswered",
                                                     {0x12, std::nullopt, 0x12, 0x12}}),
                         NamedByWhat());

// Each request: its time-out, then as long again for a late answer. The port waits beside the
// network link.
TEST_F(PrinterStatus, ASilentPrinterGivesFourEmptyAnswersWithinAboutFourSeconds) {
    link.Connect();
    StatusResponder responder(pty, {});
    auto timed = [](auto query) {
        const auto start = std::chrono::steady_clock::now();
        const StatusAnswers got = query();
        return std::pair(got, std::chrono::steady_clock::now() - start);
    };
    auto overPort =
        std::async(std::launch::async, timed, [&] { return QueryDeviceStatus(pty.slavePath()); });
    const auto overLink = timed([&] { return QueryStatus(link); });
    for (const bool network : {true, false}) {
        const auto [got, took] = network ? overLink : overPort.get();
        // About 4.1 s; the slack is for a loaded machine, short of a third wait per request.
        EXPECT_LT(took, 6000ms) << network;
        EXPECT_EQ(got.answer, StatusBytes{}) << network;
    }
    EXPECT_EQ(printer.waitForBytes(12), kFourRequests);
    EXPECT_EQ(responder.bytes(), kFourRequests);
}

TEST_F(PrinterStatus, BytesSentBeforeARequestAreKeptAndNeverTakenAsAnAnswer) {
    const StatusBytes paperOut{0x12, 0x12, 0x12, 0x72};
    printer.setStatusAnswers(paperOut);
    link.Connect();
    link.SendRaw(TransmitStatus(4));  // answered while nobody waits for it
    printer.waitForBytes(3);
    link.SendRaw("x");
    EXPECT_EQ(link.TakeUnsolicited(), "\x72");
    EXPECT_EQ(link.TakeUnsolicited(), "");
    link.SendRaw(TransmitStatus(2));
    printer.waitForBytes(7);
    StatusAnswers got = QueryStatus(link, 300ms);
    EXPECT_EQ(got.answer, paperOut);
    EXPECT_EQ(got.unsolicited, "\x12");

    StatusResponder responder(pty, paperOut);
    pty.write("\x14");
    UniqueFd peek(::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    pollfd arrived{peek.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 3000), 1);
    got = QueryDeviceStatus(pty.slavePath(), 300ms);
    EXPECT_EQ(got.answer, paperOut);
    EXPECT_EQ(got.unsolicited, "\x14");
}

TEST_F(PrinterStatus, CancelEndsAQueryAtOnceAndLeavesThePortFree) {
    link.Connect();
    const std::function<void()> queries[] = {[&] { QueryStatus(link, 10s); },
                                             [&] { QueryDeviceStatus(pty.slavePath(), 10s); }};
    const int expected[] = {ECANCELED, 1000 + ECANCELED};
    for (int i = 0; i < 2; ++i) {
        CancelSignal cancel;
        TransferMonitor monitor;
        monitor.cancelFd = cancel.fd();
        TransferScope scope(&monitor);
        CancelWhenBlocked canceller(cancel);
        EXPECT_EQ(CodeOf(queries[i]), expected[i]);
        const auto late = canceller.SinceCancel();
        ASSERT_TRUE(late.has_value());
        EXPECT_LT(*late, 2s);
    }
    EXPECT_EQ(link.GetState(), NetworkLink::State::Connected);  // nothing of it is left to send
    UniqueFd again(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_EQ(LockPortExclusive(again.get()), 0);
}

TEST_F(PrinterStatus, APrinterThatHangsUpLeavesTheLinkClosed) {
    printer.setMode({LoopbackPrinter::Mode::CloseAtOnce, 0});
    link.Connect();
    ASSERT_TRUE(printer.waitForClosed(1));
    EXPECT_THROW(QueryStatus(link), ENetworkError);
    EXPECT_EQ(link.GetState(), NetworkLink::State::Closed);
}

TEST_F(PrinterStatus, AnythingButACharacterDeviceIsRefused) {
    EXPECT_EQ(CodeOf([] { QueryDeviceStatus("/dev/kelvo-no-such-port"); }), kIoFileNotFound);
    char path[] = "/tmp/kelvo-status-XXXXXX";
    UniqueFd file(::mkstemp(path));
    EXPECT_EQ(CodeOf([&] { QueryDeviceStatus(path); }), kIoUnknownType);
    ::unlink(path);
}
