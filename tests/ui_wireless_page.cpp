// The wireless printer page, driven like a user, with pseudo-terminals standing in for the ZigBee
// bridge's serial port.
#include <fcntl.h>
#include <termios.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <algorithm>

#include <string>

#include "links/PortLock.h"
#include "testing/CaptionFit.h"
#include "testing/Pty.h"
#include "testing/WindowFixture.h"

using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::WindowTest;
using namespace std::string_literals;

namespace {

// GBK texts of the page.
const std::string kPrintNo = "\xB1\xBE\xB4\xCE\xB4\xF2\xD3\xA1\xB5\xDA";  // 本次打印第
const std::string kPages = "\xD5\xC5\xCA\xFD\xBE\xDD";                    // 张数据
const std::string kThisPrinter =  // 此打印机编号为：
    "\xB4\xCB\xB4\xF2\xD3\xA1\xBB\xFA\xB1\xE0\xBA\xC5\xCE\xAA\xA3\xBA";
const std::string kBody =
    "Wireless printers using ZIGBEE Technology\r\n"
    "The wireless communication way good penetrability, strong interference resistance\r\n"
    "Distance\r\nThe end of the print test...\r\n\r\n\r\n";
const std::string kCut = "\x1D\x56\x42\x05\r\n";

std::string FirstLine(const std::string& number, int counter) {
    return "+++++DYSJ" + number + "\x1D\x21\x11" + kPrintNo + std::to_string(counter) + kPages +
           "\r\r\n";
}
std::string SecondLine(const std::string& number) {
    return kThisPrinter + number + "        " + "\x1D\x21\x00"s + kBody + "\r\n";
}
std::string Page(const std::string& number, int counter) {
    return FirstLine(number, counter) + SecondLine(number) + kCut;
}

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = 0; (at = haystack.find(needle, at)) != std::string::npos;
         at += needle.size()) {
        ++n;
    }
    return n;
}

// COM1 is a pseudo-terminal standing in for the ZigBee bridge.
class WirelessPageTest : public WindowTest {
  protected:
    std::string Received(size_t n) {
        std::string got = com1.read(n);
        return got + com1.drain(std::chrono::milliseconds(50));
    }

    Pty com1;
    PortOverride com1Override{"COM1", com1.slavePath()};
};

}  // namespace

TEST_F(WindowTest, WirelessPageShowsEnglishAtStartAndChineseAfterOneSwitch) {
    EXPECT_EQ(form->grp1->title(), "Initialization settings");
    EXPECT_EQ(form->lbl2->text(), "Printer number:");
    EXPECT_EQ(form->lbl3->text(), "The port settings:");
    EXPECT_EQ(form->btn1->text(), "Initialize port &W");
    EXPECT_EQ(form->lbl7->text(), "Set each time interval:");
    EXPECT_EQ(form->btn9->text(), "SET");
    EXPECT_EQ(form->chk1->text(), "Data print end cutter");
    EXPECT_EQ(form->btn2->text(), "Test Print &Z");
    EXPECT_EQ(form->btn4->text(), "Open the box &X");
    EXPECT_EQ(form->btn5->text(), "Loop print");
    EXPECT_EQ(form->btn8->text(), "Stop Loop print");
    EXPECT_EQ(form->edt1->text(), "002");
    EXPECT_EQ(form->edt4->text(), "1000");

    form->btn13->click();
    EXPECT_EQ(form->grp1->title(), "初始化设置");
    EXPECT_EQ(form->lbl2->text(), "打印机编号:");
    EXPECT_EQ(form->lbl3->text(), "端口设置：");
    EXPECT_EQ(form->btn1->text(), "初始化");
    EXPECT_EQ(form->lbl7->text(), "设置每单间隔时间：");
    EXPECT_EQ(form->btn9->text(), "设置");
    EXPECT_EQ(form->chk1->text(), "数据打印结束切刀");
    EXPECT_EQ(form->btn2->text(), "打印测试");
    EXPECT_EQ(form->btn4->text(), "开钱箱测试");
    EXPECT_EQ(form->btn5->text(), "循环打印开始");
    EXPECT_EQ(form->btn8->text(), "循环打印停止");
    EXPECT_EQ(form->edt1->text(), "002");
    EXPECT_EQ(form->edt4->text(), "5000");
}

TEST_F(WindowTest, WirelessPageInitialControls) {
    EXPECT_EQ(form->PageControl1->tabText(form->PageControl1->indexOf(form->ts1)),
              "Wireless printer test");
    for (QWidget* w :
         std::initializer_list<QWidget*>{form->lbl2, form->edt1, form->lbl3, form->cbb1, form->btn1,
                                         form->lbl7, form->edt4, form->btn9}) {
        EXPECT_EQ(w->parentWidget(), form->grp1) << w->objectName().toStdString();
    }
    for (QWidget* w : std::initializer_list<QWidget*>{form->mmo1, form->chk1, form->btn2,
                                                      form->btn4, form->btn5, form->btn8}) {
        EXPECT_EQ(w->parentWidget(), form->ts1) << w->objectName().toStdString();
    }
    QStringList ports;
    for (int i = 0; i < form->cbb1->count(); ++i)
        ports << form->cbb1->itemText(i);
    EXPECT_EQ(ports, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5"}));
    EXPECT_EQ(form->cbb1->currentText(), "COM1");
    EXPECT_TRUE(form->cbb1->isEditable());
    EXPECT_EQ(form->mmo1->toPlainText(),
              "Wireless printers using ZIGBEE Technology\n"
              "The wireless communication way good penetrability, strong interference resistance\n"
              "Distance\nThe end of the print test...\n\n\n");
    EXPECT_TRUE(form->chk1->isChecked());
    EXPECT_TRUE(form->btn5->isEnabled());
    EXPECT_FALSE(form->btn8->isEnabled());
    EXPECT_FALSE(form->tmr1->Enabled());
    EXPECT_EQ(form->tmr1->Interval(), 3000);
    EXPECT_EQ(form->PrintCounter, 0);
}

TEST_F(WindowTest, WirelessPageCaptionsFitInBothLanguages) {
    form->show();
    form->PageControl1->setCurrentWidget(form->ts1);
    for (const char* language : {"en", "zh"}) {
        const QStringList clipped = kelvo::testing::ClippedCaptions(form->ts1);
        EXPECT_TRUE(clipped.isEmpty()) << language << ": " << clipped.join("; ").toStdString();
        QImage shot = form->grab().toImage();
        EXPECT_TRUE(shot.save(QStringLiteral("/tmp/kelvotool-wireless-%1.png").arg(language)));
        form->btn13->click();
    }
}

// ---- The loop timer ---------------------------------------------------------------------------

TEST(TTimerRules, FirstTickComesOneFullIntervalAfterTheStart) {
    TTimer timer(nullptr, 200);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    QElapsedTimer clock;
    clock.start();
    timer.SetEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }, 3000));
    EXPECT_GE(clock.elapsed(), 195);
}

TEST(TTimerRules, ChangingTheIntervalRestartsTheCount) {
    TTimer timer(nullptr, 600);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    QElapsedTimer clock;
    clock.start();
    timer.SetEnabled(true);
    QTest::qWait(200);
    ASSERT_EQ(ticks, 0);
    const qint64 changed = clock.elapsed();
    timer.SetInterval(500);  // would have ticked at 600 without the restart
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }, 3000));
    EXPECT_GE(clock.elapsed(), changed + 495);
}

TEST(TTimerRules, ZeroOrNegativeIntervalStopsTicksButStaysEnabled) {
    for (int interval : {0, -1, -2147483647 - 1}) {
        TTimer timer(nullptr, 20);
        int ticks = 0;
        timer.OnTimer = [&] { ++ticks; };
        timer.SetEnabled(true);
        timer.SetInterval(interval);
        QTest::qWait(150);
        EXPECT_EQ(ticks, 0) << interval;
        EXPECT_TRUE(timer.Enabled());
        EXPECT_FALSE(timer.Ticking());
        EXPECT_EQ(timer.Interval(), interval);
        timer.SetInterval(20);  // a positive interval brings the ticks back
        EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }, 3000)) << interval;
    }
}

TEST(TTimerRules, ATickDueWhileTheHandlerRunsIsDroppedNotNested) {
    TTimer timer(nullptr, 20);
    int depth = 0, maxDepth = 0, ticks = 0;
    timer.OnTimer = [&] {
        ++ticks;
        maxDepth = std::max(maxDepth, ++depth);
        if (ticks == 1)
            QTest::qWait(200);  // like a modal message left open for a while
        --depth;
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 3000));
    EXPECT_EQ(maxDepth, 1);
}

TEST_F(WindowTest, SetIntervalReadsTheEditByTheIntegerRule) {
    EXPECT_EQ(form->tmr1->Interval(), 3000);  // edt4's "1000" has no effect until SET
    form->btn9->click();
    EXPECT_EQ(form->tmr1->Interval(), 1000);
    form->edt4->setText("$64");
    form->btn9->click();
    EXPECT_EQ(form->tmr1->Interval(), 100);

    form->edt4->setText("1 s");
    form->btn9->click();
    EXPECT_EQ(form->tmr1->Interval(), 100);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "'1 s' is not a valid integer value.");
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_FALSE(form->tmr1->Enabled());
}

TEST_F(WindowTest, LoopButtonsFollowStartAndStop) {
    form->btn5->click();
    EXPECT_TRUE(form->tmr1->Enabled());
    EXPECT_FALSE(form->btn5->isEnabled());
    EXPECT_TRUE(form->btn8->isEnabled());
    form->btn8->click();
    EXPECT_FALSE(form->tmr1->Enabled());
    EXPECT_TRUE(form->btn5->isEnabled());
    EXPECT_TRUE(form->btn8->isEnabled());  // stays enabled; a second stop changes nothing
    form->btn8->click();
    EXPECT_FALSE(form->tmr1->Enabled());
    EXPECT_TRUE(form->btn5->isEnabled());
    EXPECT_TRUE(form->btn8->isEnabled());
}

// ---- Printing ----------------------------------------------------------------------------------

TEST_F(WirelessPageTest, FirstPrintSendsTheCompleteWireImage) {
    form->btn2->click();
    const std::string expected =
        "+++++DYSJ002\x1D\x21\x11" + kPrintNo + "0" + kPages + "\r\r\n" + kThisPrinter +
        "002        \x1D\x21\x00"s +
        "Wireless printers using ZIGBEE Technology\r\nThe wireless communication way good "
        "penetrability, strong interference resistance\r\nDistance\r\nThe end of the print "
        "test...\r\n\r\n\r\n\r\n\x1D\x56\x42\x05\r\n";
    EXPECT_EQ(Received(expected.size()), expected);
    EXPECT_EQ(form->PrintCounter, 1);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(WirelessPageTest, CounterAdvancesOnlyOnSuccessfulPrints) {
    form->btn2->click();
    EXPECT_EQ(Received(Page("002", 0).size()), Page("002", 0));
    form->btn2->click();
    EXPECT_EQ(Received(Page("002", 1).size()), Page("002", 1));

    PortOverride missing("COM2", "/dev/kelvo-no-such-port");
    form->cbb1->setEditText("COM2");
    form->btn2->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Error");
    EXPECT_EQ(dialogs->boxes[0].text, "数据发送失败！");  // no English part on this page
    EXPECT_EQ(form->PrintCounter, 2);

    form->cbb1->setEditText("COM1");
    form->btn2->click();
    EXPECT_EQ(Received(Page("002", 2).size()), Page("002", 2));
    EXPECT_EQ(form->PrintCounter, 3);
}

TEST_F(WirelessPageTest, NumberIsSentAsTypedAndTheCutIsOptional) {
    form->chk1->setChecked(false);
    form->btn2->click();
    const std::string noCut = FirstLine("002", 0) + SecondLine("002");
    EXPECT_EQ(Received(noCut.size()), noCut);  // and nothing after the second line

    form->chk1->setChecked(true);
    form->edt1->setText("");
    form->btn2->click();
    const std::string empty = Page("", 1);
    EXPECT_EQ(Received(empty.size()), empty);
    EXPECT_EQ(empty.substr(0, 12), "+++++DYSJ\x1D\x21\x11");

    form->edt1->setText("7");
    form->btn2->click();
    EXPECT_EQ(Received(Page("7", 2).size()), Page("7", 2));
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(WirelessPageTest, DrawerFrameIsSeventeenBytesWithoutALineEnd) {
    form->btn4->click();
    EXPECT_EQ(Received(17),
              "\x2B\x2B\x2B\x2B\x2B\x44\x59\x53\x4A\x30\x30\x32\x1B\x70\x00\x28\x28"s);
    EXPECT_EQ(form->PrintCounter, 0);

    // Not guarded: a missing port reaches the error box with the link's message.
    PortOverride missing("COM2", "/dev/kelvo-no-such-port");
    form->cbb1->setEditText("COM2");
    form->btn4->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_EQ(dialogs->boxes[0].text, "File not found.");
}

// ---- The print loop ----------------------------------------------------------------------------

TEST_F(WirelessPageTest, LoopPrintsOnEachTickUntilStopped) {
    form->edt4->setText("100");
    form->btn9->click();
    QElapsedTimer clock;
    clock.start();
    form->btn5->click();
    QTest::qWait(40);
    EXPECT_EQ(form->PrintCounter, 0);  // not before one full interval

    ASSERT_TRUE(QTest::qWaitFor([&] { return form->PrintCounter >= 4; }, 5000));
    form->btn8->click();
    const qint64 ran = clock.elapsed();
    EXPECT_TRUE(form->btn5->isEnabled());
    EXPECT_TRUE(form->btn8->isEnabled());
    QTest::qWait(300);

    const std::string wire = com1.drain(std::chrono::milliseconds(50));
    const size_t pages = Count(wire, "+++++DYSJ");
    EXPECT_EQ(pages, static_cast<size_t>(form->PrintCounter));  // nothing after the stop
    EXPECT_LE(pages, static_cast<size_t>(ran / 100));           // never faster than the interval
    EXPECT_EQ(wire.substr(0, Page("002", 0).size()), Page("002", 0));
    EXPECT_EQ(wire.substr(wire.size() - Page("002", 3).size()),
              Page("002", static_cast<int>(pages) - 1));
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(WirelessPageTest, IntervalZeroStopsPrintingWhileTheLoopStaysRunning) {
    form->edt4->setText("60");
    form->btn9->click();
    form->btn5->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->PrintCounter >= 1; }, 3000));
    form->edt4->setText("0");
    form->btn9->click();
    QTest::qWait(20);
    com1.drain(std::chrono::milliseconds(50));
    const int32_t printed = form->PrintCounter;
    QTest::qWait(400);
    EXPECT_EQ(form->PrintCounter, printed);
    EXPECT_EQ(com1.drain(std::chrono::milliseconds(20)), "");
    EXPECT_TRUE(form->tmr1->Enabled());
    EXPECT_FALSE(form->btn5->isEnabled());
    EXPECT_TRUE(form->btn8->isEnabled());
    form->btn8->click();
}

TEST_F(WirelessPageTest, AFailingPrintDoesNotStopTheLoop) {
    PortOverride missing("COM2", "/dev/kelvo-no-such-port");
    form->cbb1->setEditText("COM2");
    form->edt4->setText("50");
    form->btn9->click();
    form->btn5->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs->boxes.size() >= 3; }, 3000));
    EXPECT_TRUE(form->tmr1->Enabled());
    EXPECT_EQ(form->PrintCounter, 0);

    form->cbb1->setEditText("COM1");  // the printer comes back: the loop prints again
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->PrintCounter >= 1; }, 3000));
    form->btn8->click();
    EXPECT_EQ(Received(Page("002", 0).size()).substr(0, Page("002", 0).size()), Page("002", 0));
    for (const auto& box : dialogs->boxes)
        EXPECT_EQ(box.text, "数据发送失败！");
}

// ---- Initialize --------------------------------------------------------------------------------

TEST_F(WirelessPageTest, InitializeSetsTheBridgePortTo9600) {
    termios t{};
    ASSERT_EQ(::tcgetattr(com1.master(), &t), 0);
    t.c_oflag |= OPOST | ONLCR;
    t.c_iflag &= ~(IXON | IXOFF);
    t.c_cflag &= ~CSTOPB;
    ::cfsetospeed(&t, B300);
    ::cfsetispeed(&t, B300);
    ASSERT_EQ(::tcsetattr(com1.master(), TCSANOW, &t), 0);

    form->btn1->click();
    EXPECT_TRUE(dialogs->boxes.empty());
    EXPECT_FALSE(form->Comm1->IsOpen());
    ASSERT_EQ(::tcgetattr(com1.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_oflag & OPOST);

    // Held by another program: the initialization failure, and the port is left as it was.
    com1.drain(std::chrono::milliseconds(50));
    kelvo::UniqueFd holder(::open(com1.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);
    form->btn1->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].title, "Error");
    EXPECT_EQ(dialogs->boxes[0].text, "初始化端口失败！\r\nTo initialize port failure");
    EXPECT_FALSE(form->Comm1->IsOpen());
}

// A user reads each message for a while: the modal box keeps the event loop turning meanwhile.
class SlowDialogs : public Dialogs {
  public:
    struct State {
        int shown = 0;
        int depth = 0;
        int maxDepth = 0;
    };
    explicit SlowDialogs(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void Message(QWidget*, const QString&, const QString&, Icon) override {
        ++state_->shown;
        state_->maxDepth = std::max(state_->maxDepth, ++state_->depth);
        QTest::qWait(200);
        --state_->depth;
    }
    QString OpenFile(QWidget*, const QString&) override { return {}; }

  private:
    std::shared_ptr<State> state_;
};

TEST_F(WirelessPageTest, FailureMessagesOfTheLoopDoNotPileUp) {
    auto state = std::make_shared<SlowDialogs::State>();
    form->SetDialogs(std::make_unique<SlowDialogs>(state));
    PortOverride missing("COM2", "/dev/kelvo-no-such-port");
    form->cbb1->setEditText("COM2");
    form->edt4->setText("20");
    form->btn9->click();
    form->btn5->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->shown >= 3; }, 5000));
    form->btn8->click();
    // Ten ticks fall due while each message is open; none of them opens a second one on top.
    EXPECT_EQ(state->maxDepth, 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->depth == 0; }, 1000));
}
