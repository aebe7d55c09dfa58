// Printers that fail in the middle of an action, at real peers, with the window offscreen: the
// failure is reported, nothing is left held, and the window goes on working with the next
// printer. Every connect is aimed at this suite's own loopback address first.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/Timer.h"
#include "jobs/Jobs.h"
#include "links/NetworkLink.h"
#include "links/PortLock.h"
#include "links/UniqueFd.h"
#include "protocol/Commands.h"
#include "protocol/GbkText.h"
#include "testing/CupsServer.h"
#include "testing/EventLoopWatch.h"
#include "testing/LongText.h"
#include "testing/LoopbackPrinter.h"
#include "testing/PacedPrinter.h"
#include "testing/ProcessResources.h"
#include "testing/Pty.h"
#include "testing/SilentServer.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"

using kelvo::testing::CupsServer;
using kelvo::testing::CupsServerRoute;
using kelvo::testing::EventLoopWatch;
using kelvo::testing::Held;
using kelvo::testing::HeldNow;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::PacedPrinter;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::SilentServer;
using kelvo::testing::WaitUntilHeld;
using namespace std::chrono_literals;

// Failure messages show QStrings as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

// The private print server starts before the first window, so that this process's CUPS client
// binds to it and never to the machine's own; one test stops it for good.
class PrintServer : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!CupsServer::MissingPieces().empty())
            return;
        queue = std::make_unique<LoopbackPrinter>(OwnLoopbackHost(2), 9100);
        server = std::make_unique<CupsServer>();
        server->AddRawQueue("ESCPOS", OwnLoopbackHost(2), 9100);
    }
    void TearDown() override {
        server.reset();
        queue.reset();
    }
    static inline std::unique_ptr<CupsServer> server;
    static inline std::unique_ptr<LoopbackPrinter> queue;
};
[[maybe_unused]] auto* const printServer = ::testing::AddGlobalTestEnvironment(new PrintServer);

const char kConnected[] = "连接打印机成功！(Connect the printer to success)";

using Clock = std::chrono::steady_clock;

// How long one click took to come back.
template <class F>
Clock::duration Timed(F&& click) {
    const auto start = Clock::now();
    click();
    return Clock::now() - start;
}

// The printer's XOFF reaches the line discipline a moment after it is sent: waits until the port
// takes no more output (a stopped tty offers no room to write).
bool OutputStopped(const Pty& pty) {
    kelvo::UniqueFd probe(
        ::open(pty.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    for (int i = 0; probe && i < 200; ++i) {
        pollfd p{probe.get(), POLLOUT, 0};
        if (::poll(&p, 1, 0) == 0)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Runs `act` once, from whatever event loop is turning (an action's own included), as soon as
// `ready` holds.
void When(QObject* owner, std::function<bool()> ready, std::function<void()> act) {
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, ready, act] {
        if (!ready())
            return;
        poll->stop();
        poll->deleteLater();
        act();
    });
    poll->start(5);
}

// Far under a second: the window painted throughout (the watch ticks every 20 ms).
constexpr auto kResponsive = 400ms;
// The stall limit the window tests use instead of the 10 s a technician gets.
constexpr int kTestStallMs = 600;

class FailingPeers : public kelvo::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        form->Actions->StallLimitMs = kTestStallMs;
        // Nothing may ever reach the built-in addresses: both address fields point home.
        form->IPEdit3->SetIPString(QString::fromStdString(OwnLoopbackHost()));
        form->IPEdit1->SetIPString(QString::fromStdString(OwnLoopbackHost()));
    }

    // The test page as it reaches the printer for the memo text `memo`.
    static std::string TestPage(const QString& memo) {
        QString body = memo;
        body.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return std::string("\x1d\x21\x11", 3) + kelvo::ToGbk(" QM417网口测试打印开始") + "\r\r\n" +
               std::string("\x1d\x21\x00", 3) + kelvo::ToGbk(body.toStdString()) + "\r\n" +
               "\x1d\x56\x42\x05\r\n";
    }
};

TEST_F(FailingPeers, NetworkPrinterResettingMidTestPageClosesTheLinkAndTheNextPrinterWorks) {
    std::optional<LoopbackPrinter> printer;
    printer.emplace(OwnLoopbackHost(), 9100,
                    LoopbackPrinter::Options{LoopbackPrinter::Mode::ResetAfter, 64 * 1024});
    const QString memo = kelvo::testing::LongMemo();
    form->Memo1->setPlainText(memo);
    form->Button1->click();
    ASSERT_EQ(form->StatusText(), kConnected);

    const auto took = Timed([&] { form->Button3->click(); });
    EXPECT_LT(took, 10s);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    const auto& box = dialogs->boxes[0];
    EXPECT_EQ(box.title, "Kelvotool");
    EXPECT_EQ(box.icon, Dialogs::Icon::Error);
    // The printer's reset, or the broken pipe of a send after it, as the link names them.
    const QRegularExpression socketError(
        QStringLiteral("^Socket Error # (%1|%2)\r\n[A-Z][^\r\n]+\\.$").arg(ECONNRESET).arg(EPIPE));
    EXPECT_TRUE(socketError.match(box.text).hasMatch()) << box.text.toStdString();
    EXPECT_EQ(form->IdTCPClient1.GetState(), kelvo::NetworkLink::State::Closed);
    EXPECT_EQ(form->StatusText(), kConnected);  // a send failure leaves the status line alone
    // The page was cut off: the printer took no more than it read before resetting.
    EXPECT_TRUE(printer->waitForClosed(1));
    EXPECT_LE(printer->bytes().size(), 64u * 1024);
    EXPECT_EQ(printer->bytes().substr(0, 3), "\x1d\x21\x11");

    // The window stays usable: further sends name the closed link, the language switch works.
    form->Button4->click();
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_EQ(dialogs->boxes[1].text, "Connection Closed Gracefully.");
    form->btn13->click();
    EXPECT_EQ(form->Button1->text(), "连接 &Q");
    form->btn13->click();
    EXPECT_EQ(form->Button1->text(), "Connection");

    // A printer that records: a new connect and the whole page reach it.
    printer.reset();
    printer.emplace(OwnLoopbackHost(), 9100);
    form->SetStatusText("before");
    form->Button1->click();
    ASSERT_EQ(form->StatusText(), kConnected);
    EXPECT_EQ(form->IdTCPClient1.GetState(), kelvo::NetworkLink::State::Connected);
    form->Button3->click();
    const std::string page = TestPage(memo);
    const std::string got = printer->waitForBytes(page.size(), 10s);
    EXPECT_EQ(got.size(), page.size());
    EXPECT_TRUE(got == page) << "the page arrived changed";
    EXPECT_EQ(dialogs->boxes.size(), 2u);
}

TEST_F(FailingPeers, APrinterClosingTheLinkBetweenActionsIsShownAtOnceAndConnectWorksAgain) {
    LoopbackPrinter printer(OwnLoopbackHost(), 9100, {LoopbackPrinter::Mode::CloseAtOnce, 0});
    form->Button1->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->StatusText() != kConnected; }, 5000));
    EXPECT_EQ(form->StatusText(), "打印机已断开连接！(The printer closed the connection)");
    EXPECT_TRUE(form->Log->Text(true, false)
                    .contains("] Printer closed the connection → " +
                              QString::fromStdString(OwnLoopbackHost()) + ":9100"));
    // The pages' own texts stay: a send names the closed link, and a new connect stands.
    form->Button4->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "Connection Closed Gracefully.");
    printer.setMode({LoopbackPrinter::Mode::Record, 0});
    form->Button1->click();
    EXPECT_EQ(form->StatusText(), kConnected);
    form->Button4->click();
    EXPECT_EQ(printer.waitForBytes(7), std::string("\x1B\x70\x00\x28\x28\r\n", 7));
}

TEST_F(FailingPeers, SerialPrinterUnpluggedDuringADeviceWriteIsAClearErrorAndFreesThePort) {
    auto pty = std::make_unique<Pty>();
    auto com1 = std::make_unique<PortOverride>("COM1", pty->slavePath());
    form->Button7->click();
    form->rb1->click();
    form->cbb4->setEditText("COM1");
    form->cbb5->setEditText("9600");
    form->btn16->click();  // initialize: raw line, XON/XOFF on
    ASSERT_TRUE(dialogs->boxes.empty());
    ASSERT_TRUE(form->Button14->isEnabled());
    pty->drain(50ms);

    // The printer is busy (XOFF) and is unplugged while the setting waits to get out.
    pty->write("\x13");
    ASSERT_TRUE(OutputStopped(*pty));
    const Held before = HeldNow();
    std::thread unplug([&] {
        std::this_thread::sleep_for(300ms);
        pty->closeMaster();
    });
    const auto took = Timed([&] { form->Button14->click(); });
    unplug.join();
    EXPECT_GE(took, 250ms) << "the write did not wait for the printer";
    EXPECT_LT(took, 5s);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_EQ(dialogs->boxes[0].text, QStringLiteral("I/O error %1.").arg(1000 + EIO));
    EXPECT_EQ(dialogs->boxes[0].icon, Dialogs::Icon::Error);
    // Our descriptor went with the action; the master is gone too.
    EXPECT_EQ(WaitUntilHeld({before.fds - 1, before.threads}),
              (Held{before.fds - 1, before.threads}));

    // The same name on a freshly plugged port: initialize and the setting both work.
    com1.reset();
    pty = std::make_unique<Pty>();
    com1 = std::make_unique<PortOverride>("COM1", pty->slavePath());
    form->btn16->click();
    EXPECT_EQ(dialogs->boxes.size(), 1u);
    termios line{};
    ASSERT_EQ(::tcgetattr(pty->master(), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), speed_t{B9600});
    pty->drain(50ms);
    form->Button14->click();
    const std::string setting = kelvo::SetFunctionSwitches(
        form->CheckBox3->isChecked(), form->CheckBox2->isChecked(), form->CheckBox1->isChecked());
    EXPECT_EQ(pty->read(setting.size()), setting);
    EXPECT_EQ(dialogs->boxes.size(), 1u);
}

TEST_F(FailingPeers, WirelessLoopAgainstAPortFailingEveryOtherTickKeepsGoingAndHoldsNothing) {
    Pty bridge;
    PortOverride com1("COM1", bridge.slavePath());
    // Another program that grabs the bridge's port on every other tick.
    kelvo::UniqueFd other(::open(bridge.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(other);
    int ticks = 0;
    const auto product = form->tmr1->OnTimer;
    form->tmr1->OnTimer = [&, product] {
        ++ticks;
        if (ticks % 2 == 0)
            ASSERT_EQ(kelvo::LockPortExclusive(other.get()), 0);
        else
            ASSERT_EQ(::flock(other.get(), LOCK_UN), 0);
        product();
    };
    form->cbb1->setEditText("COM1");
    form->edt4->setText("25");
    form->btn9->click();
    const Held before = HeldNow();

    form->btn5->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 20; }, 10000));
    form->btn8->click();
    EXPECT_FALSE(form->tmr1->Enabled());
    ASSERT_EQ(::flock(other.get(), LOCK_UN), 0);

    // Every failing tick said so; only the good ones counted, each with the next number.
    const int failed = ticks / 2, printed = ticks - failed;
    EXPECT_EQ(form->PrintCounter, printed);
    ASSERT_EQ(dialogs->boxes.size(), static_cast<size_t>(failed));
    for (const auto& box : dialogs->boxes) {
        EXPECT_EQ(box.title, "Error");
        EXPECT_EQ(box.text, "数据发送失败！");
    }
    const std::string wire = bridge.drain(100ms);
    size_t at = 0;
    for (int n = 0; n < printed; ++n) {
        const std::string counted = kelvo::ToGbk("本次打印第" + std::to_string(n) + "张数据");
        at = wire.find(counted, at);
        ASSERT_NE(at, std::string::npos) << "page " << n;
    }
    EXPECT_EQ(wire.find(kelvo::ToGbk("本次打印第" + std::to_string(printed)), at),
              std::string::npos);
    EXPECT_EQ(WaitUntilHeld(before), before);
}

TEST_F(FailingPeers, PrintServerStoppedBeforeADriverModePrintShowsTheSpoolerErrorWithoutWaiting) {
    if (PrintServer::server == nullptr)
        GTEST_SKIP() << "no private CUPS server: " << CupsServer::MissingPieces();
    LoopbackPrinter& queue = *PrintServer::queue;
    ASSERT_EQ(form->cbb6->currentText(), "ESCPOS");
    form->PortChoiceItems[2]->click();  // the driver port opens at once
    EXPECT_GT(form->PosPortHandle, 0);
    form->btn21->click();
    EXPECT_EQ(queue.waitForBytes(13, 10s).size(), 13u);
    ASSERT_TRUE(queue.waitForClosed(1, 10s));
    ASSERT_TRUE(PrintServer::server->WaitForJobsEnded());
    ASSERT_TRUE(dialogs->boxes.empty());

    PrintServer::server.reset();
    const auto took = Timed([&] { form->btn21->click(); });
    EXPECT_LT(took, 5s);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^错误： [1-9][0-9]*$"))
                    .match(dialogs->boxes[0].text)
                    .hasMatch())
        << dialogs->boxes[0].text.toStdString();

    // The window goes on: choosing the driver again finds no printer to open, quickly.
    const auto reopen = Timed([&] {
        form->PortChoiceItems[0]->click();
        form->PortChoiceItems[2]->click();
    });
    EXPECT_LT(reopen, 5s);
    EXPECT_EQ(form->PosPortHandle, -1);
    EXPECT_EQ(form->edQuery->text(), "ESCPOS");
    EXPECT_EQ(queue.settle().size(), 13u);  // nothing more reached the printer
}

// ---- The window keeps painting while a printer misbehaves ----------------------------------

TEST_F(FailingPeers,
       SerialPrintToAPortHeldByXoffEndsAtTheStallLimitOrAtCancelAndThePortWorksAfterXon) {
    Pty pty;
    PortOverride com1("COM1", pty.slavePath());
    form->ComboBox1->setEditText("COM1");
    form->ComboBox2->setEditText("115200");
    form->Button9->click();  // XON/XOFF on the line
    ASSERT_TRUE(dialogs->boxes.empty());
    pty.drain(50ms);
    // Far more than the tty buffers, so the page is still going out when the printer stops it.
    form->memo2->setPlainText(kelvo::testing::LongMemo(256 * 1024));
    ASSERT_TRUE(pty.holdOutput(true));

    EventLoopWatch watch;
    const auto stalled = Timed([&] { form->Button8->click(); });
    EXPECT_GE(stalled, std::chrono::milliseconds(kTestStallMs));
    EXPECT_LT(stalled, 5s);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Error");
    EXPECT_EQ(dialogs->boxes[0].text, "数据发送失败！\r\nsend failure");

    // Cancel in the dialog ends the next one at once, long before the stall limit.
    form->Actions->StallLimitMs = 60000;
    Clock::time_point cancelled{};
    QString shown, title;
    When(
        form.get(), [&] { return form->Actions->Dialog() != nullptr; },
        [&] {
            shown = form->Actions->Dialog()->labelText();
            title = form->Actions->Dialog()->windowTitle();
            cancelled = Clock::now();
            form->Actions->Dialog()->findChild<QPushButton*>()->click();
        });
    form->Button8->click();
    const auto afterCancel = Clock::now() - cancelled;
    EXPECT_LT(afterCancel, 200ms);
    EXPECT_TRUE(shown.contains("bytes sent")) << shown.toStdString();
    // Counted against the whole page, which the action composes before it sends any of it, under
    // the name the log gives the action.
    const uint64_t whole = kelvo::jobs::WireSize(
        kelvo::jobs::SerialTestPage(form->memo2->toPlainText().toStdString()));
    EXPECT_TRUE(shown.contains(QStringLiteral(" of %1 bytes sent").arg(whole)))
        << shown.toStdString();
    EXPECT_EQ(title, "Test Print");
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_EQ(dialogs->boxes[1].text, "数据发送失败！\r\nsend failure");
    EXPECT_LT(watch.Longest(), kResponsive);

    // The printer is ready again: the same port takes a whole page.
    ASSERT_TRUE(pty.holdOutput(false));
    pty.drain(100ms);
    form->memo2->setPlainText("after XON\n");
    form->Button8->click();
    const std::string page = std::string("\x1d\x21\x11", 3) + kelvo::ToGbk("QM417测试打印开始") +
                             "\r\r\n" + std::string("\x1d\x21\x00", 3) + "after XON\r\n\r\n" +
                             "\x1d\x56\x42\x05\r\n";
    EXPECT_EQ(pty.read(page.size()), page);
    EXPECT_EQ(dialogs->boxes.size(), 2u);
}

TEST_F(FailingPeers, WirelessTickStuckOnAHeldBridgeCanBeStoppedAndTheBridgeWorksAfterXon) {
    Pty bridge;
    PortOverride com1("COM1", bridge.slavePath());
    form->cbb1->setEditText("COM1");
    form->btn1->click();  // 9600, XON/XOFF
    ASSERT_TRUE(dialogs->boxes.empty());
    bridge.drain(50ms);
    form->mmo1->setPlainText(kelvo::testing::LongMemo(64 * 1024));
    ASSERT_TRUE(bridge.holdOutput(true));
    int ticks = 0;
    const auto product = form->tmr1->OnTimer;
    form->tmr1->OnTimer = [&, product] {
        ++ticks;
        product();
    };
    form->edt4->setText("25");
    form->btn9->click();

    // Stop is pressed while the first tick is held; later ticks fall due meanwhile.
    bool stoppedWhileHeld = false;
    When(
        form.get(), [&] { return form->Actions->Busy(); },
        [&] {
            QTimer::singleShot(100, form.get(), [&] {
                form->btn8->click();
                stoppedWhileHeld = form->Actions->Busy() && !form->tmr1->Enabled();
            });
        });
    EventLoopWatch watch;
    form->btn5->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs->boxes.size() == 1; }, 5000));
    EXPECT_TRUE(stoppedWhileHeld);
    EXPECT_LT(watch.Longest(), kResponsive);
    EXPECT_EQ(dialogs->boxes[0].text, "数据发送失败！");
    EXPECT_EQ(form->PrintCounter, 0);
    QTest::qWait(150);  // six more intervals: no tick may come after the stop
    EXPECT_EQ(ticks, 1);

    // The tick's dialog blocks the window, Stop included: its Cancel stops the loop too.
    When(
        form.get(), [&] { return form->Actions->Dialog() != nullptr; },
        [&] { form->Actions->Dialog()->findChild<QPushButton*>()->click(); });
    form->btn5->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs->boxes.size() == 2; }, 5000));
    EXPECT_FALSE(form->tmr1->Enabled());
    EXPECT_TRUE(form->btn5->isEnabled());
    EXPECT_EQ(ticks, 2);

    ASSERT_TRUE(bridge.holdOutput(false));
    bridge.drain(100ms);
    form->mmo1->setPlainText("ok\n");
    form->btn2->click();
    const std::string counted = kelvo::ToGbk("本次打印第0张数据");
    const std::string wire = bridge.read(200, 2000ms);
    EXPECT_NE(wire.find(counted), std::string::npos);
    EXPECT_EQ(form->PrintCounter, 1);
    EXPECT_EQ(dialogs->boxes.size(), 2u);
}

TEST_F(FailingPeers, NetworkTestPageToAPrinterThatStopsReadingEndsWithASocketErrorAtTheStallLimit) {
    LoopbackPrinter printer(OwnLoopbackHost(), 9100,
                            LoopbackPrinter::Options{LoopbackPrinter::Mode::Hold, 0});
    form->Memo1->setPlainText(kelvo::testing::LongMemo());
    form->Button1->click();
    ASSERT_EQ(form->StatusText(), kConnected);

    EventLoopWatch watch;
    const auto took = Timed([&] { form->Button3->click(); });
    EXPECT_GE(took, std::chrono::milliseconds(kTestStallMs));
    EXPECT_LT(took, 5s);
    EXPECT_LT(watch.Longest(), kResponsive);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_TRUE(
        dialogs->boxes[0].text.startsWith(QStringLiteral("Socket Error # %1\r\n").arg(ETIMEDOUT)))
        << dialogs->boxes[0].text.toStdString();
    EXPECT_EQ(form->IdTCPClient1.GetState(), kelvo::NetworkLink::State::Closed);
}

TEST_F(FailingPeers, PrinterThatTalksAndReadsSlowlyGetsTheWholePageBeforeDisconnectCloses) {
    // A status byte first, then 4 KiB at a time.
    PacedPrinter printer(OwnLoopbackHost(), 9100, {.pause = 2ms, .talkAt = 0ms});
    const QString memo = kelvo::testing::LongMemo(48 * 1024);
    form->Memo1->setPlainText(memo);
    form->Button1->click();
    ASSERT_EQ(form->StatusText(), kConnected);
    form->Button3->click();
    form->Button7->click();
    const std::string page = TestPage(memo);
    printer.waitForBytes(page.size(), 10s);
    EXPECT_EQ(printer.bytes().size(), page.size());
    EXPECT_TRUE(printer.bytes() == page) << "the page arrived changed";
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(FailingPeers, DisconnectFromAPrinterThatStopsReadingNamesTheBytesItNeverTook) {
    const QString memo = kelvo::testing::LongMemo(48 * 1024);
    const std::string page = TestPage(memo);
    PacedPrinter::Options slow;
    slow.pause = 0ms;
    slow.stopReadingAfter = page.size() - 8 * 1024;  // the rest fits in the kernels' buffers
    PacedPrinter printer(OwnLoopbackHost(), 9100, slow);
    form->Memo1->setPlainText(memo);
    form->Button1->click();
    ASSERT_EQ(form->StatusText(), kConnected);
    form->Button3->click();
    ASSERT_TRUE(dialogs->boxes.empty());

    EventLoopWatch watch;
    const auto took = Timed([&] { form->Button7->click(); });
    EXPECT_GE(took, std::chrono::milliseconds(kTestStallMs));
    EXPECT_LT(took, 5s);
    EXPECT_LT(watch.Longest(), kResponsive);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    const QString text = dialogs->boxes[0].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Socket Error # %1\r\n").arg(ETIMEDOUT)))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QRegularExpression(
        QStringLiteral("The printer did not take the last [1-9][0-9]* bytes sent"))))
        << text.toStdString();
    // Closed all the same: the buttons follow the disconnect.
    EXPECT_EQ(form->IdTCPClient1.GetState(), kelvo::NetworkLink::State::Idle);
    EXPECT_FALSE(form->Button15->isEnabled());
    EXPECT_TRUE(form->Button13->isEnabled());
    EXPECT_TRUE(form->Log->Entries().back().failed);
}

TEST_F(FailingPeers, PipeWithoutAReaderAsThePortIsAnErrorAtOnce) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("printer-pipe");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    form->ComboBox1->setEditText(fifo);
    const auto took = Timed([&] { form->Button8->click(); });
    EXPECT_LT(took, 1s);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "数据发送失败！\r\nsend failure");
}

// A window of its own: it must be built while the silent server is the one CUPS finds.
TEST(HungPrintServer, WindowAppearsAtOnceAndADriverPrintFailsWithinItsBound) {
    SilentServer silent;
    CupsServerRoute route(silent.path());
    auto recorder = std::make_unique<kelvo::testing::DialogRecorder>();
    auto dialogs = recorder->state();
    const auto start = Clock::now();
    TForm1 form(std::move(recorder));
    form.show();
    QCoreApplication::processEvents();
    EXPECT_LT(Clock::now() - start, 1s);
    EventLoopWatch watch;
    // The driver chosen while the list is still asked for: the choice waits for the list with
    // the window painting, and the wait's Cancel ends it at once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return silent.waitForAccepted(1, 0ms); }, 5000));
    ASSERT_FALSE(form.DriverNamesListed);
    Clock::time_point cancelled{};
    When(
        &form, [&] { return form.Actions->Dialog() != nullptr; },
        [&] {
            cancelled = Clock::now();
            form.Actions->Dialog()->findChild<QPushButton*>()->click();
        });
    form.PortChoiceItems[2]->click();
    EXPECT_LT(Clock::now() - cancelled, 1s);
    EXPECT_TRUE(form.DriverNamesListed);
    EXPECT_EQ(form.cbb6->count(), 0);
    EXPECT_EQ(form.edQuery->text(), QStringLiteral("驱动程序名不能为空！"));
    EXPECT_LT(watch.Longest(), kResponsive);

    form.cbb6->setEditText("ESCPOS");
    form.PortChoiceItems[2]->click();
    form.btn21->click();
    EXPECT_LT(Clock::now() - start, 30s);
    EXPECT_LT(watch.Longest(), kResponsive);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_TRUE(dialogs->boxes[0].text.startsWith(QStringLiteral("错误： ")))
        << dialogs->boxes[0].text.toStdString();
}

}  // namespace
