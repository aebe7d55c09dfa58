#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/Unit1.h"
#include "jobs/Jobs.h"
#include "protocol/IntegerText.h"

void TForm1::BuildWirelessPage() {
    QWidget* page = ts1;
    grp1 = NewGroupBox(page, "grp1", QRect(16, 10, 553, 104), QStringLiteral("初始化设置"),
                       QStringLiteral("Initialization settings"));
    lbl2 = NewLabel(grp1, "lbl2", QRect(16, 30, 100, 22), QStringLiteral("打印机编号:"),
                    QStringLiteral("Printer number:"));
    edt1 =
        NewEdit(grp1, "edt1", QRect(120, 30, 70, 22), QStringLiteral("002"), QStringLiteral("002"));
    lbl3 = NewLabel(grp1, "lbl3", QRect(206, 30, 112, 22), QStringLiteral("端口设置："),
                    QStringLiteral("The port settings:"));
    cbb1 = NewPortBox(grp1, "cbb1", QRect(322, 30, 80, 22),
                      {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                       QStringLiteral("COM4"), QStringLiteral("COM5")},
                      QStringLiteral("COM1"));
    btn1 = NewButton(grp1, "btn1", QRect(418, 26, 119, 30), QStringLiteral("初始化"),
                     QStringLiteral("Initialize port &W"));
    lbl7 = NewLabel(grp1, "lbl7", QRect(16, 66, 150, 22), QStringLiteral("设置每单间隔时间："),
                    QStringLiteral("Set each time interval:"));
    edt4 = NewEdit(grp1, "edt4", QRect(170, 66, 70, 22), QStringLiteral("5000"),
                   QStringLiteral("1000"));
    btn9 = NewButton(grp1, "btn9", QRect(256, 62, 80, 30), QStringLiteral("设置"),
                     QStringLiteral("SET"));

    mmo1 = NewMemo(page, "mmo1", QRect(16, 126, 384, 236),
                   QStringLiteral("Wireless printers using ZIGBEE Technology\n"
                                  "The wireless communication way good penetrability, strong "
                                  "interference resistance\n"
                                  "Distance\n"
                                  "The end of the print test...\n\n\n"));
    mmo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    chk1 = NewCheckBox(page, "chk1", QRect(16, 372, 384, 22), QStringLiteral("数据打印结束切刀"),
                       QStringLiteral("Data print end cutter"));
    chk1->setChecked(true);

    btn2 = NewButton(page, "btn2", QRect(416, 126, 153, 40), QStringLiteral("打印测试"),
                     QStringLiteral("Test Print &Z"));
    btn4 = NewButton(page, "btn4", QRect(416, 178, 153, 40), QStringLiteral("开钱箱测试"),
                     QStringLiteral("Open the box &X"));
    btn5 = NewButton(page, "btn5", QRect(416, 270, 153, 40), QStringLiteral("循环打印开始"),
                     QStringLiteral("Loop print"));
    btn8 = NewButton(page, "btn8", QRect(416, 322, 153, 40), QStringLiteral("循环打印停止"),
                     QStringLiteral("Stop Loop print"));
    btn8->setEnabled(false);

    OnClick(btn1, &TForm1::btn1Click);
    OnClick(btn2, &TForm1::btn2Click);
    OnClick(btn4, &TForm1::btn4Click);
    OnClick(btn5, &TForm1::btn5Click);
    OnClick(btn8, &TForm1::btn8Click);
    OnClick(btn9, &TForm1::btn9Click);
    tmr1->OnTimer = [this] {
        TActivityLog::Action action(*Log, TActivityLog::ActionName(btn5));
        Run([this] { tmr1Timer(); });
    };
}

void TForm1::btn1Click() {
    Guarded(kInitPortFailure, [this] {
        Comm1->SetCommName(PortName(cbb1));
        Comm1->SetBaudRate(9600);  // the bridge's fixed rate
        InitializeComm1();
    });
}

void TForm1::btn2Click() {
    bool printed = false;
    Guarded(QStringLiteral("数据发送失败！"), [&] {
        const std::string number = edt1->text().toStdString();
        const QString memo = MemoText(mmo1);
        const bool cut = chk1->isChecked();
        const int32_t count = PrintCounter;
        SendToDevice(TActivityLog::ActionName(btn2), PortName(cbb1), [&] {
            return kelvo::jobs::WirelessTestPage(number, count, memo.toStdString(), cut);
        });
        printed = true;
    });
    // A failed print uses up no number.
    if (printed)
        PrintCounter = kelvo::jobs::NextPrintCount(PrintCounter);
}

void TForm1::btn4Click() {
    // Not guarded: the link's own message reaches the error box.
    const std::string number = edt1->text().toStdString();
    SendToDevice(TActivityLog::ActionName(btn4), PortName(cbb1),
                 [&] { return kelvo::jobs::WirelessDrawer(number); });
}

void TForm1::btn5Click() {
    tmr1->SetEnabled(true);
    btn5->setEnabled(false);
    btn8->setEnabled(true);
}

void TForm1::btn8Click() {
    // btn8 stays enabled: a second stop changes nothing.
    tmr1->SetEnabled(false);
    btn5->setEnabled(true);
}

void TForm1::btn9Click() {
    // A text that is not an integer ends here and leaves the interval as it was.
    tmr1->SetInterval(kelvo::StrToInt(edt4->text().toStdString()));
}

void TForm1::tmr1Timer() {
    // A tick that falls due while an action still runs (a print held by the printer, say) is
    // dropped: the loop prints one page at a time.
    if (Actions->Busy())
        return;
    Actions->AlsoOnCancel = [this] { btn8Click(); };
    Actions->AlsoOnCancelText = QStringLiteral("取消将停止循环打印 (Cancel stops the loop print)");
    struct Clear {
        TActionRunner& r;
        ~Clear() { r.AlsoOnCancel = nullptr; }
    } clear{*Actions};
    btn2Click();
}
