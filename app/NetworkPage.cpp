#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "app/FindPrinters.h"
#include "app/Unit1.h"
#include "jobs/Jobs.h"
#include "links/NetworkLink.h"
#include "widgets/IPEdit.h"

namespace {

// The form's captions were sized for a narrower font than the window has here: a button whose
// caption in either language would be cut takes the condensed face of its font instead.
void FitCaption(TForm1& form, QPushButton* button) {
    const int room = button->width() - 10;
    const QFontMetrics metrics(button->font());
    for (QString text : {button->text(), form.OtherText(button)}) {
        text.remove(QLatin1Char('&'));
        if (metrics.horizontalAdvance(text) > room) {
            QFont condensed = button->font();
            condensed.setStretch(QFont::Condensed);
            button->setFont(condensed);
            return;
        }
    }
}

QLabel* RightAligned(QLabel* label) {
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

}  // namespace

TIPEdit* TForm1::NewIPEdit(QWidget* parent, const char* name, const QRect& place,
                           const QString& address) {
    auto* edit = new TIPEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    QFont bold = font();
    bold.setPixelSize(12);
    bold.setBold(true);
    edit->setFont(bold);
    edit->setGeometry(place);
    edit->SetIPString(address);
    return edit;
}

void TForm1::FitNetworkPage() {
    if (std::exchange(networkPageFitted_, true))
        return;
    // Sized to its Chinese text (the English one is empty), as the form's label was, within the
    // group.
    const QString shown = lbl6->text();
    const bool english = btn13->text() == QStringLiteral("Chinese");
    lbl6->setText(english ? OtherText(lbl6) : shown);
    const QSize hint = lbl6->sizeHint();
    lbl6->setText(shown);
    lbl6->resize(std::clamp(hint.width(), lbl6->width(), GroupBox1->width() - 16),
                 std::max(lbl6->height(), hint.height()));
    for (QPushButton* button :
         {Button1, Button7, Button2, btn7, btn6, Button3, Button4, btnFindPrinters}) {
        FitCaption(*this, button);
    }
}

void TForm1::BuildNetworkPage() {
    QWidget* page = TabSheet1;

    GroupBox1 = NewGroupBox(page, "GroupBox1", QRect(0, 24, 505, 201),
                            QStringLiteral("设置打印机IP"), QStringLiteral("Set ip"));
    Label1 =
        RightAligned(NewLabel(GroupBox1, "Label1", QRect(29, 39, 92, 18),
                              QStringLiteral("打印机IP地址："), QStringLiteral("Printer IP :")));
    IPEdit1 =
        NewIPEdit(GroupBox1, "IPEdit1", QRect(128, 32, 125, 33), QStringLiteral("192.168.1.109"));
    Button1 = NewButton(GroupBox1, "Button1", QRect(264, 32, 97, 25), QStringLiteral("连接 &Q"),
                        QStringLiteral("Connection"));
    Button7 = NewButton(GroupBox1, "Button7", QRect(384, 32, 89, 25), QStringLiteral("断开连接 &G"),
                        QStringLiteral("Disconnect"));
    Label2 = RightAligned(NewLabel(GroupBox1, "Label2", QRect(56, 88, 65, 17),
                                   QStringLiteral("更改IP:"), QStringLiteral("Change IP :")));
    IPEdit2 =
        NewIPEdit(GroupBox1, "IPEdit2", QRect(128, 72, 125, 33), QStringLiteral("192.168.1.123"));
    Button2 = NewButton(GroupBox1, "Button2", QRect(264, 72, 97, 33), QStringLiteral("修改 &A"),
                        QStringLiteral("Change"));
    Button2->setEnabled(false);
    lbl5 = RightAligned(NewLabel(GroupBox1, "lbl5", QRect(8, 120, 113, 13),
                                 QStringLiteral("此打印机MAC为："),
                                 QStringLiteral("This printer MAC :")));
    edt3 = NewEdit(GroupBox1, "edt3", QRect(128, 112, 121, 21), QString(), QString());
    edt3->setEnabled(false);
    lbl4 = RightAligned(NewLabel(GroupBox1, "lbl4", QRect(40, 152, 83, 13),
                                 QStringLiteral("更改MAC地址："), QStringLiteral("Change MAC :")));
    edt2 = NewEdit(GroupBox1, "edt2", QRect(128, 144, 121, 21), QString(), QString());
    edt2->setEnabled(false);
    btn7 = NewButton(GroupBox1, "btn7", QRect(264, 136, 129, 33), QStringLiteral("随机生成MAC"),
                     QStringLiteral("Randomly generated MAC"));
    btn6 = NewButton(GroupBox1, "btn6", QRect(408, 136, 89, 33), QStringLiteral("修改"),
                     QStringLiteral("Commit changes"));
    lbl6 =
        NewLabel(GroupBox1, "lbl6", QRect(8, 184, 456, 12),
                 QStringLiteral("注意：修改打印机IP与MAC重启才能生效，出厂前所有打印机IP与MAC地址"
                                "相同注意更改"),
                 QString());
    QFont warningFont(QStringLiteral("黑体"));
    warningFont.setFamilies({QStringLiteral("黑体"), QStringLiteral("WenQuanYi Micro Hei")});
    warningFont.setPixelSize(12);
    warningFont.setUnderline(true);
    lbl6->setFont(warningFont);
    QPalette warningColours = lbl6->palette();
    warningColours.setColor(QPalette::WindowText, Qt::red);
    lbl6->setPalette(warningColours);
    btn11 = NewButton(GroupBox1, "btn11", QRect(384, 80, 97, 25), QStringLiteral("设置斯拉夫语"),
                      QStringLiteral("Set Slavic"));
    btn11->hide();

    GroupBox2 = NewGroupBox(page, "GroupBox2", QRect(8, 232, 497, 145), QStringLiteral("测试打印"),
                            QStringLiteral("Test Printer"));
    GroupBox2->setEnabled(false);
    Memo1 = NewMemo(GroupBox2, "Memo1", QRect(8, 16, 241, 121),
                    QStringLiteral("Print test\n\nPrint the test 2\n\nPrint the test 3\n\n"));
    Button3 = NewButton(GroupBox2, "Button3", QRect(264, 48, 97, 49), QStringLiteral("测试打印 &Z"),
                        QStringLiteral("Test Print &Z"));
    Button4 = NewButton(GroupBox2, "Button4", QRect(384, 48, 97, 49),
                        QStringLiteral("开钱箱测试 &X"), QStringLiteral("Open the box"));
    btn10 = NewButton(GroupBox2, "btn10", QRect(312, 88, 105, 57), QStringLiteral("状态检测测试"),
                      QString());
    btn10->hide();
    // Where the hidden btn11 would be: the one free place beside the address fields.
    btnFindPrinters = NewButton(GroupBox1, "btnFindPrinters", QRect(384, 72, 113, 33),
                                QStringLiteral("查找打印机…"), QStringLiteral("Find printers…"));

    OnClick(Button1, &TForm1::Button1Click);
    OnClick(Button7, &TForm1::Button7Click);
    OnClick(Button3, &TForm1::Button3Click);
    OnClick(Button4, &TForm1::Button4Click);
    OnClick(Button2, &TForm1::Button2Click);
    OnClick(btn7, &TForm1::btn7Click);
    OnClick(btn6, &TForm1::btn6Click);
    OnClick(btnFindPrinters, &TForm1::btnFindPrintersClick);
}

void TForm1::Button1Click() {
    IdTCPClient1.SetPort(9100);
    IdTCPClient1.SetHost(IPEdit3->IPString().toStdString());
    SetStatusText(QStringLiteral("正在连接请稍后...  wait ..."));
    const std::string lookupAddress = IPEdit1->IPString().toStdString();
    std::string mac;
    try {
        RunOnLink(TActivityLog::ActionName(Button1), [&] {
            IdTCPClient1.Connect();
            mac = kelvo::NetworkLink::LookupPrinterMac(lookupAddress);
        });
    } catch (...) {
        SetStatusText(
            QStringLiteral("连接打印机失败！请检查IP地址是否正确！(Connect the printer failure)"));
        return;
    }
    Button2->setEnabled(true);
    GroupBox2->setEnabled(true);
    edt3->setText(QString::fromStdString(mac));
    SetStatusText(QStringLiteral("连接打印机成功！(Connect the printer to success)"));
    SetSettingButtonsEnabled(true);
}

void TForm1::Button7Click() {
    // Waits while the printer takes the last bytes; the link is closed even when it reports that
    // some never arrived, so the buttons follow either way.
    struct Disconnected {
        TForm1& form;
        ~Disconnected() { form.SetSettingButtonsEnabled(false); }
    } disconnected{*this};
    RunOnLink(TActivityLog::ActionName(Button7), [this] { IdTCPClient1.Disconnect(); });
}

void TForm1::Button3Click() {
    const QString memo = MemoText(Memo1);
    SendOnLink(TActivityLog::ActionName(Button3),
               [&] { return kelvo::jobs::NetworkTestPage(memo.toStdString()); });
}

void TForm1::Button4Click() {
    SendOnLink(TActivityLog::ActionName(Button4), kelvo::jobs::NetworkDrawer);
}

void TForm1::Button2Click() {
    // The control always yields four octets; anything else is refused like a bad first octet
    // rather than sent half-read.
    const QStringList parts = IPEdit2->IPString().split(QLatin1Char('.'));
    std::array<int, 4> numbers = {-1, -1, -1, -1};
    bool valid = parts.size() == 4;
    for (int i = 0; valid && i < 4; ++i)
        numbers[i] = parts[i].toInt(&valid);
    const auto octets = valid ? kelvo::jobs::NewIpOctets(numbers) : std::nullopt;
    if (!octets) {
        dialogs().Message(nullptr, QStringLiteral("错误"),
                          QStringLiteral("数值有误请设置介于1-223之间"), Dialogs::Icon::Warning);
        return;
    }
    SendOnLink(TActivityLog::ActionName(Button2),
               [&] { return kelvo::jobs::NetworkSetIp(*octets); });
    SetStatusText(QStringLiteral("修改打印机成功，重启打印机生效！"));
}

void TForm1::btn7Click() {
    const QString mac = QString::fromStdString(kelvo::jobs::RandomMac());
    edt2->setText(mac);
    for (int i = 0; i < 6; ++i)
        MacPairs[i] = mac.mid(2 * i, 2);
}

void TForm1::btn6Click() {
    if (edt2->text().isEmpty())
        return;
    std::array<uint8_t, 6> mac;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(MacPairs[i].toInt(nullptr, 16));
    SendOnLink(TActivityLog::ActionName(btn6), [&] { return kelvo::jobs::NetworkSetMac(mac); });
}

void TForm1::btnFindPrintersClick() {
    if (FindPrintersDialog == nullptr) {
        const bool english = btn13->text() == QStringLiteral("Chinese");
        FindPrintersDialog = new TFindPrinters(this, english, Log);
        connect(FindPrintersDialog, &TFindPrinters::PrinterChosen, this,
                [this](const QString& address) { Run([&] { UsePrinterFound(address); }); });
    }
    FindPrintersDialog->show();
    FindPrintersDialog->raise();
    FindPrintersDialog->activateWindow();
}

void TForm1::UsePrinterFound(const QString& address) {
    IPEdit3->SetIPString(address);
    IPEdit1->SetIPString(address);
    FindPrintersDialog->CancelScan();
    FindPrintersDialog->accept();
}
