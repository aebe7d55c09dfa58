#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/FindPrinters.h"
#include "app/LogPanel.h"
#include "app/Unit1.h"
#include "jobs/Jobs.h"
#include "protocol/IntegerText.h"

namespace {

const QString kSendFailure = QStringLiteral("数据发送失败！\r\nsend failure");
const QString kSendFailureShort = QStringLiteral("数据发送失败！");

}  // namespace

void TForm1::BuildSerialPage() {
    QWidget* page = TabSheet2;
    GroupBox3 =
        NewGroupBox(page, "GroupBox3", QRect(16, 10, 553, 336), QStringLiteral("TEST"), QString());

    Label3 = NewLabel(GroupBox3, "Label3", QRect(20, 30, 100, 22), QStringLiteral("端口设置："),
                      QStringLiteral("Select port:"));
    ComboBox1 = NewPortBox(GroupBox3, "ComboBox1", QRect(124, 30, 120, 22),
                           {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                            QStringLiteral("LPT1"), QStringLiteral("LPT2"), QString()},
                           QStringLiteral("COM1"));
    Label5 = NewLabel(GroupBox3, "Label5", QRect(20, 62, 100, 22), QStringLiteral("波特率："),
                      QStringLiteral("Baud rate:"));
    ComboBox2 =
        NewComboBox(GroupBox3, "ComboBox2", QRect(124, 62, 120, 22),
                    {QStringLiteral("9600"), QStringLiteral("38400"), QStringLiteral("115200")},
                    QStringLiteral("9600"));
    Button9 = NewButton(GroupBox3, "Button9", QRect(268, 30, 150, 54),
                        QStringLiteral("初始化端口&W"), QStringLiteral("Initialize port &W"));
    btnFindSpeed = NewButton(GroupBox3, "btnFindSpeed", QRect(430, 30, 103, 25),
                             QStringLiteral("查找速率"), QStringLiteral("Find speed"));
    SpeedSearch = new TSpeedSearch(this);
    connect(SpeedSearch, &TSpeedSearch::Done, this,
            [this](uint32_t rate, uint8_t status, const QString& error) {
                Run([&] { SpeedSearchDone(rate, status, error); });
            });

    Label4 = NewLabel(GroupBox3, "Label4", QRect(20, 96, 513, 20),
                      QStringLiteral("注意：选用串口时要进行初始化端口"), QString());
    QPalette red = Label4->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label4->setPalette(red);

    memo2 = NewMemo(GroupBox3, "memo2", QRect(20, 124, 340, 192),
                    QStringLiteral("Print test\n\nPrint the test 2\n\nPrint the test 3\n"));

    Button8 = NewButton(GroupBox3, "Button8", QRect(380, 124, 153, 40),
                        QStringLiteral("打印测试&Z"), QStringLiteral("Test Print &Z"));
    Button11 = NewButton(GroupBox3, "Button11", QRect(380, 176, 153, 40),
                         QStringLiteral("开钱箱测试&X"), QStringLiteral("Open the box &X"));
    btn12 = NewButton(GroupBox3, "btn12", QRect(380, 228, 153, 40), QStringLiteral("设置斯拉夫语"),
                      QStringLiteral("Set Slavic"));
    Button5 = NewButton(GroupBox3, "Button5", QRect(380, 276, 153, 20),
                        QStringLiteral("串口开钱箱测试"), QString());
    Button5->setVisible(false);
    Button6 = NewButton(GroupBox3, "Button6", QRect(380, 296, 153, 20),
                        QStringLiteral("串口打印测试"), QString());
    Button6->setVisible(false);

    btn3 = NewButton(page, "btn3", QRect(16, 358, 200, 40), QStringLiteral("恢复出厂设置"),
                     QStringLiteral("Restore factory settings"));

    OnClick(Button9, &TForm1::Button9Click);
    OnClick(Button8, &TForm1::Button8Click);
    OnClick(Button11, &TForm1::Button11Click);
    OnClick(btn12, &TForm1::btn12Click);
    OnClick(btn3, &TForm1::btn3Click);
    OnClick(btnFindSpeed, &TForm1::btnFindSpeedClick);
}

void TForm1::Button9Click() {
    Guarded(kInitPortFailure, [this] {
        Comm1->SetCommName(PortName(ComboBox1));
        Comm1->SetBaudRate(
            static_cast<uint32_t>(kelvo::StrToInt(ComboBox2->currentText().toStdString())));
        InitializeComm1();
    });
}

void TForm1::Button8Click() {
    Guarded(kSendFailure, [this] {
        const QString memo = MemoText(memo2);
        SendToDevice(TActivityLog::ActionName(Button8), PortName(ComboBox1),
                     [&] { return kelvo::jobs::SerialTestPage(memo.toStdString()); });
    });
}

void TForm1::Button11Click() {
    // Not guarded: the link's own message reaches the error box.
    SendToDevice(TActivityLog::ActionName(Button11), PortName(ComboBox1),
                 kelvo::jobs::SerialDrawer);
}

void TForm1::btn12Click() {
    Guarded(kSendFailureShort, [this] {
        SendToDevice(TActivityLog::ActionName(btn12), PortName(ComboBox1),
                     kelvo::jobs::SerialSlavic);
    });
}

void TForm1::btn3Click() {
    Guarded(kSendFailureShort, [this] {
        SendToDevice(TActivityLog::ActionName(btn3), PortName(ComboBox1),
                     kelvo::jobs::SerialFactoryReset);
    });
}

void TForm1::btnFindSpeedClick() {
    if (!SpeedSearch->Start(PortName(ComboBox1)))
        return;
    btnFindSpeed->setEnabled(false);
    SetStatusText(QStringLiteral("正在查找串口速率...  wait ..."));
}

void TForm1::SpeedSearchDone(uint32_t rate, uint8_t status, const QString& error) {
    btnFindSpeed->setEnabled(true);
    const bool english = LogPanel->English();
    QString outcome;
    if (!error.isEmpty()) {
        SetStatusText(QStringLiteral("查找串口速率失败！(Speed search failed: %1)").arg(error));
        outcome = error;
    } else if (rate == 0) {
        SetStatusText(
            QStringLiteral("打印机无应答！(No answer at 115200, 57600, 38400, 19200 or 9600)"));
        outcome = english ? QStringLiteral("no answer at 115200, 57600, 38400, 19200 or 9600")
                          : QStringLiteral("打印机无应答");
    } else {
        ComboBox2->setEditText(QString::number(rate));
        const QString hex = QStringLiteral("%1").arg(status, 2, 16, QLatin1Char('0')).toUpper();
        SetStatusText(QStringLiteral("串口速率：%1，状态 %2 (Serial speed found: %1, status %2)")
                          .arg(rate)
                          .arg(hex));
        outcome = (english ? QStringLiteral("%1 baud, status %2")
                           : QStringLiteral("串口速率 %1，状态 %2"))
                      .arg(rate)
                      .arg(TActivityLog::StatusByteText(status, english));
    }
    Log->Searched(TActivityLog::ActionName(btnFindSpeed), DeviceTarget(SpeedSearch->Port()),
                  rate == 0, outcome);
}
