// The wireless printer page, driven like a user, with pseudo-terminals standing in for the ZigBee
// bridge's serial port.
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

#include "testing/CaptionFit.h"
#include "testing/WindowFixture.h"

using kelvo::testing::WindowTest;

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

namespace {

// Pumps the event loop until `done` or the time-out; true when done.
template <class F>
bool WaitFor(F done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

}  // namespace

TEST(TTimerRules, FirstTickComesOneFullIntervalAfterTheStart) {
    TTimer timer(nullptr, 200);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    QElapsedTimer clock;
    clock.start();
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return ticks > 0; }, 3000));
    EXPECT_GE(clock.elapsed(), 195);
}

TEST(TTimerRules, ChangingTheIntervalRestartsTheCount) {
    TTimer timer(nullptr, 300);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    QElapsedTimer clock;
    clock.start();
    timer.SetEnabled(true);
    QTest::qWait(200);
    ASSERT_EQ(ticks, 0);
    timer.SetInterval(250);  // would have ticked at 300 without the restart
    ASSERT_TRUE(WaitFor([&] { return ticks > 0; }, 3000));
    EXPECT_GE(clock.elapsed(), 440);
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
        EXPECT_TRUE(WaitFor([&] { return ticks > 0; }, 3000)) << interval;
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
    ASSERT_TRUE(WaitFor([&] { return ticks >= 3; }, 3000));
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
