#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <memory>
#include <stdexcept>
#include <string>

#include "app/Unit1.h"
#include "jobs/Jobs.h"
#include "links/SendRawToPrinter.h"

namespace {

constexpr int kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};

// The picture for the preview, read as a bitmap whatever the file's name says; a file that is
// not one fails the way the preview's loader always has, leaving the old picture up.
QPixmap LoadBitmapPicture(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(QStringLiteral("Cannot open file \"%1\". %2")
                                     .arg(path, file.errorString())
                                     .toStdString());
    }
    QImageReader reader(&file, "bmp");
    reader.setDecideFormatFromContent(false);
    QImage image = reader.read();
    if (image.isNull())
        throw std::runtime_error("Bitmap image is not valid");
    return QPixmap::fromImage(image);
}

}  // namespace

void TForm1::BuildNvLogoPage() {
    posdllPath_ = kelvo::PosdllPath();

    // One text only: built directly rather than through the two-texts builders.
    PortChoice = new QGroupBox(QStringLiteral("端口选择"), ts2);
    PortChoice->setObjectName(QStringLiteral("PortChoice"));
    PortChoice->setGeometry(16, 8, 409, 49);
    const QString items[3] = {QStringLiteral("串口"), QStringLiteral("网络接口"),
                              QStringLiteral("驱动")};
    auto* choice = new QButtonGroup(PortChoice);
    for (int i = 0; i < 3; ++i) {
        PortChoiceItems[i] = new QRadioButton(items[i], PortChoice);
        PortChoiceItems[i]->setObjectName(QStringLiteral("PortChoiceItem%1").arg(i));
        PortChoiceItems[i]->setGeometry(12 + i * 132, 20, 120, 21);
        choice->addButton(PortChoiceItems[i], i);
    }
    PortChoiceItems[0]->setChecked(true);
    // Runs when the choice changes, not when the chosen item is clicked again, and not for the
    // initial selection above.
    connect(choice, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (!checked)
            return;
        TActivityLog::Action action(*Log, PortChoiceItems[id]->text());
        Run([this] { PortChoiceClick(); });
    });

    PortSet = NewGroupBox(ts2, "PortSet", QRect(16, 64, 409, 137), QStringLiteral("端口配置"),
                          QStringLiteral("set"));
    Label15 = NewLabel(PortSet, "Label15", QRect(16, 26, 112, 16), QStringLiteral("端口名称："),
                       QStringLiteral("Select port:"));
    QStringList ports;
    for (int n = 1; n <= 10; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    cbPortName = NewPortDropDownList(PortSet, "cbPortName", QRect(132, 22, 100, 22), ports, 0);
    Label16 = NewLabel(PortSet, "Label16", QRect(16, 54, 112, 16), QStringLiteral("每秒位数："),
                       QStringLiteral("Select baudrate:"));
    QStringList bauds;
    for (int rate : kBaudRates)
        bauds << QString::number(rate);
    cbBaud = NewDropDownList(PortSet, "cbBaud", QRect(132, 50, 100, 22), bauds, 6);

    // Fixed line settings: hidden, so every serial open uses 8 data bits, no parity, no flow.
    cbData = NewDropDownList(PortSet, "cbData", QRect(248, 22, 72, 22),
                             {QStringLiteral("7"), QStringLiteral("8")}, 1);
    cbParity = NewDropDownList(
        PortSet, "cbParity", QRect(248, 50, 72, 22),
        {QStringLiteral("无校验"), QStringLiteral("奇校验"), QStringLiteral("偶校验")}, 0);
    cbStop = NewDropDownList(PortSet, "cbStop", QRect(324, 22, 72, 22),
                             {QStringLiteral("1"), QStringLiteral("2")}, 0);
    cbFlow = NewDropDownList(
        PortSet, "cbFlow", QRect(324, 50, 72, 22),
        {QStringLiteral("XON/OFF"), QStringLiteral("硬件"), QStringLiteral("无")}, 2);
    cbLPT = NewDropDownList(PortSet, "cbLPT", QRect(248, 78, 72, 22),
                            {QStringLiteral("LPT1"), QStringLiteral("LPT2")}, 0);
    for (QComboBox* hidden : {cbData, cbParity, cbStop, cbFlow, cbLPT})
        hidden->hide();

    Label22 = NewLabel(PortSet, "Label22", QRect(16, 82, 112, 16), QStringLiteral("IP地址："),
                       QStringLiteral("IP:"));
    const char* ipNames[4] = {"IP1", "IP2", "IP3", "IP4"};
    const QString octets[4] = {QStringLiteral("192"), QStringLiteral("168"), QStringLiteral("1"),
                               QStringLiteral("109")};
    QLineEdit** ipFields[4] = {&IP1, &IP2, &IP3, &IP4};
    for (int i = 0; i < 4; ++i) {
        *ipFields[i] =
            NewEdit(PortSet, ipNames[i], QRect(132 + i * 48, 78, 40, 22), octets[i], octets[i]);
        (*ipFields[i])->setMaxLength(3);
    }

    Label21 = NewLabel(PortSet, "Label21", QRect(16, 110, 112, 16), QStringLiteral("驱动名称："),
                       QStringLiteral("Print Driver Name:"));
    cbb6 = NewComboBox(PortSet, "cbb6", QRect(132, 106, 261, 22), {}, {});

    btn17 = NewButton(ts2, "btn17", QRect(440, 16, 129, 33), QStringLiteral("选择位图"),
                      QStringLiteral("Open logo file"));
    btn20 = NewButton(ts2, "btn20", QRect(440, 62, 129, 33), QStringLiteral("下传nv logo"),
                      QStringLiteral("upload nv logo"));
    btn21 = NewButton(ts2, "btn21", QRect(440, 108, 129, 33), QStringLiteral("打印nv logo"),
                      QStringLiteral("print NV logo"));
    btn19 = NewButton(ts2, "btn19", QRect(440, 154, 129, 33), QStringLiteral("OPEN"),
                      QStringLiteral("OPEN"));
    btn19->hide();
    OnClick(btn17, &TForm1::btn17Click);
    OnClick(btn20, &TForm1::btn20Click);
    OnClick(btn21, &TForm1::btn21Click);
    OnClick(btn19, &TForm1::btn19Click);

    grp4 = NewGroupBox(ts2, "grp4", QRect(16, 208, 409, 205), QString(), QString());
    img1 = new QLabel(grp4);
    img1->setObjectName(QStringLiteral("img1"));
    img1->setGeometry(12, 12, 385, 185);
    // Natural size from the top-left corner; a larger picture is clipped by the label.
    img1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    img1->setScaledContents(false);

    lbl9 = NewLabel(ts2, "lbl9", QRect(440, 220, 129, 40),
                    QStringLiteral("注:图片只能使用单色位图"), QString());
    lbl9->setWordWrap(true);

    edQuery = NewEdit(ts2, "edQuery", QRect(440, 391, 129, 22), QString(), QString());
    edQuery->setReadOnly(true);
    edQuery->setFocusPolicy(Qt::ClickFocus);
    QPalette face = edQuery->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    edQuery->setPalette(face);
}

void TForm1::LoadPosdll() {
    if (PosdllLib)
        return;
    PosdllLib = std::make_unique<kelvo::PosdllLibrary>(posdllPath_);
    // A table a test bound meanwhile stays.
    if (Posdll.POS_Open == nullptr)
        Posdll = PosdllLib->funcs();
    // The page can only say "port open failed"; the reason belongs on the console.
    if (!PosdllLib->loaded())
        qWarning("printer library not loaded: %s", PosdllLib->error().c_str());
}

int TForm1::PortChoiceItemIndex() const {
    for (int i = 0; i < 3; ++i) {
        if (PortChoiceItems[i]->isChecked())
            return i;
    }
    return -1;
}

void TForm1::btn17Click() {
    dlgOpen1.FileName.clear();
    dlgOpen1.Filter = QStringLiteral("位图(*.bmp)|*.bmp");
    if (!dlgOpen1.Execute())
        return;
    img1->setPixmap(LoadBitmapPicture(dlgOpen1.FileName));
}

void TForm1::PortChoiceClick() {
    if (PosPortHandle > 0) {
        PosClose();
        PosPortHandle = 0;
    }
    PosPortType = PortChoiceItemIndex();
    switch (PosPortType) {
        case 0:
            for (QWidget* w : {static_cast<QWidget*>(cbLPT), static_cast<QWidget*>(IP1),
                               static_cast<QWidget*>(IP2), static_cast<QWidget*>(IP3),
                               static_cast<QWidget*>(IP4)}) {
                w->setEnabled(false);
            }
            for (QComboBox* c : {cbPortName, cbData, cbBaud, cbStop, cbParity, cbFlow}) {
                c->setEnabled(true);
            }
            edQuery->setText(QStringLiteral("端口选择为串口"));
            break;
        case 1:
            cbLPT->setEnabled(false);
            for (QLineEdit* ip : {IP1, IP2, IP3, IP4})
                ip->setEnabled(true);
            for (QComboBox* c : {cbPortName, cbData, cbBaud, cbStop, cbParity, cbFlow}) {
                c->setEnabled(false);
            }
            edQuery->setText(QStringLiteral("端口选择为网络接口"));
            break;
        case 2:
            if (OpenNvDriverPort())
                edQuery->setText(cbb6->currentText());
            break;
        default:
            break;
    }
}

// The print queue chosen, once the printer list has been read; false when none is chosen.
bool TForm1::OpenNvDriverPort() {
    AwaitPrinterList();
    const QString driver = cbb6->currentText();
    if (driver.isEmpty()) {
        edQuery->setText(QStringLiteral("驱动程序名不能为空！"));
        return false;
    }
    PosPortHandle = PosOpen(driver.toUtf8(), 0, 0, 0, 0, kelvo::kPosModeDriver);
    return true;
}

void TForm1::btn19Click() {
    if (PosPortHandle > 0) {
        PosClose();
        PosPortHandle = 0;
    }
    switch (PosPortType) {
        case 0: {
            const QByteArray name = NvPortName();
            const int baudIndex = cbBaud->currentIndex();
            const int baud = baudIndex >= 0 && baudIndex < int(std::size(kBaudRates))
                                 ? kBaudRates[baudIndex]
                                 : 0;
            const int dataBits = cbData->currentIndex() == 0 ? 7 : 8;
            PosPortHandle =
                PosOpen(name, baud, dataBits, 0, cbParity->currentIndex(), cbFlow->currentIndex());
            break;
        }
        case 1: {
            edQuery->setText(QStringLiteral("选择了网络口"));
            PosIpText = QStringList{IP1->text(), IP2->text(), IP3->text(), IP4->text()}.join(
                QLatin1Char('.'));
            for (QLineEdit* ip : {IP1, IP2, IP3, IP4}) {
                if (ip->text().isEmpty()) {
                    edQuery->setText(QStringLiteral("IP地址不能为空"));
                    return;
                }
            }
            PosPortHandle = PosOpen(PosIpText.toUtf8(), 0, 0, 0, 0, kelvo::kPosModeNetwork);
            break;
        }
        case 2:
            if (!OpenNvDriverPort())
                return;
            break;
        default:
            return;
    }
    edQuery->setText(PosPortHandle == -1 ? QStringLiteral("端口打开失败！")
                                         : QStringLiteral("端口打开成功！"));
}

void TForm1::btn20Click() {
    btn19->click();
    const bool openFailed = PosPortHandle == -1;
    const QString file = dlgOpen1.FileName;
    int32_t motion = 0;
    int32_t download = 0;
    int32_t closed = 0;
    PosdllCall(TActivityLog::ActionName(btn20), [&] {
        motion = Posdll.POS_SetMotionUnit(180, 180);
        if (!file.isEmpty()) {
            const QByteArray path = QFile::encodeName(file);
            const char* const paths[3] = {path.constData(), nullptr, nullptr};
            download = Posdll.POS_PreDownloadBmpsToFlash(paths, 2, 1);
        }
        closed = Posdll.POS_Close();
    });
    // The log tells what really happened, the close included (a printer that stopped taking the
    // logo's tail); the result line below keeps its own words.
    if (file.isEmpty())
        Log->SetOutcome(true, QStringLiteral("请选择图片！"));
    else if (!openFailed)
        Log->SetLibraryResult(motion != kelvo::kPosSuccess     ? motion
                              : download != kelvo::kPosSuccess ? download
                                                               : closed);
    if (motion != kelvo::kPosSuccess)
        edQuery->setText(QStringLiteral("打印失败！"));
    if (file.isEmpty())
        edQuery->setText(QStringLiteral("请选择图片！"));
    PosPortHandle = 0;
    edQuery->setText(QStringLiteral("端口关闭成功！"));
}

void TForm1::btn21Click() {
    const std::string command = kelvo::jobs::WireBytes(kelvo::jobs::NvPrint());
    if (PosPortType == 2) {
        AwaitPrinterList();
        const std::string printer = cbb6->currentText().toStdString();
        kelvo::RawPrintResult sent;
        RunIo(TActivityLog::ActionName(btn21), QStringLiteral("CUPS %1").arg(cbb6->currentText()),
              [&] { sent = kelvo::SendRawToPrinter(printer, command); });
        if (sent.error)
            Log->SetOutcome(true, QString::fromStdString(*sent.error));
        else if (sent.jobId <= 0)
            Log->SetOutcome(true, QStringLiteral("no job queued"));
        else
            Log->SetOutcome(false, QStringLiteral("job %1").arg(sent.jobId));
        if (sent.error) {
            dialogs().Message(this, QApplication::applicationName(),
                              QString::fromStdString(*sent.error), Dialogs::Icon::None);
        }
        return;
    }
    btn19->click();
    const int32_t handle = PosPortHandle;
    int32_t written = 0;
    int32_t closed = 0;
    PosdllCall(TActivityLog::ActionName(btn21), [&] {
        written = Posdll.POS_WriteFile(handle, command.data(), int32_t(command.size()));
        closed = Posdll.POS_Close();
    });
    if (handle != -1)
        Log->SetLibraryResult(written != kelvo::kPosSuccess ? written : closed);
    PosPortHandle = 0;
    edQuery->setText(QStringLiteral("端口关闭成功！"));
}

QByteArray TForm1::NvPortName() const {
    // The library's own names come first in the list; the machine's real ports follow them.
    constexpr int kComEntries = 10;
    const int index = cbPortName->currentIndex();
    if (index >= kComEntries)
        return cbPortName->itemText(index).toUtf8();
    return QStringLiteral("COM%1").arg(index + 1).toUtf8();
}

int32_t TForm1::PosOpen(const QByteArray& name, int32_t baudRate, int32_t dataBits,
                        int32_t stopBits, int32_t parity, int32_t mode) {
    const QString shown = QString::fromUtf8(name);
    Log->SetTarget(mode == 20   ? QStringLiteral("CUPS %1").arg(shown)
                   : mode == 21 ? shown + QStringLiteral(":9100")
                                : DeviceTarget(name.toStdString()));
    int32_t handle = -1;
    PosdllCall(TActivityLog::ActionName(btn19), [&] {
        handle = Posdll.POS_Open(name.constData(), baudRate, dataBits, stopBits, parity, mode);
    });
    if (handle == -1)
        Log->SetLibraryResult(-1);
    return handle;
}

void TForm1::PosClose() {
    PosdllCall(PageControl1->tabText(PageControl1->indexOf(ts2)), [this] { Posdll.POS_Close(); });
}

void TForm1::PosdllCall(const QString& what, const std::function<void()>& calls) {
    LoadPosdll();
    try {
        Actions->Run(what, [&] {
            // The library has its own copy of the transfer code: hand it this action's monitor.
            const auto install = Posdll.KELVO_SetTransferMonitor;
            if (install != nullptr)
                install(kelvo::CurrentTransfer());
            struct Clear {
                decltype(install) f;
                ~Clear() {
                    if (f != nullptr)
                        f(nullptr);
                }
            } clear{install};
            calls();
        });
    } catch (...) {
        // The library reports by its return codes; a failure of the call itself leaves nothing
        // more to report than those.
    }
}
