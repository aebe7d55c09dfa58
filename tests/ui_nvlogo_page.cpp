// The NV logo page: layout and texts, the open routine's calls into the printer library (through
// a recording table, so the built-in address is never dialled), and downloads and prints that
// reach real peers: a loopback printer, a pseudo-terminal and a private CUPS queue.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <termios.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "testing/BmpFiles.h"
#include "testing/ByteText.h"
#include "testing/CupsServer.h"
#include "testing/EventLoopWatch.h"
#include "testing/LoopbackPrinter.h"
#include "testing/Pty.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"

using kelvo::testing::Hex;

// Readable texts in failure messages.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

using kelvo::testing::CupsServer;
using kelvo::testing::DialogRecorder;
using kelvo::testing::ExpectedFsQ;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::WindowTest;

namespace {

const std::string kPrintCommand("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40", 13);
const std::string kMotionUnit("\x1D\x50\xB4\xB4", 4);  // GS P 180 180

// ---- Bitmaps written by the test (their FS q bytes: testing/BmpFiles.h) -----------------------

using Pixels = std::function<bool(int x, int y)>;  // true = black

// A 1-bit bottom-up BMP with the usual palette (index 0 black, index 1 white).
std::string MonoBmp(int width, int height, const Pixels& black) {
    return kelvo::testing::MakeBmp({.width = width, .height = height, .black = black});
}

// A logo with no symmetry to hide a flipped row or column: a frame with a diagonal.
bool Logo(int x, int y) {
    return x == 0 || y == 0 || x == y || (x == 11 && y < 4);
}
constexpr int kLogoW = 12, kLogoH = 10;

QString WriteFile(const QTemporaryDir& dir, const QString& name, const std::string& bytes) {
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes.data(), qint64(bytes.size()));
    return path;
}

// ---- The recording library -------------------------------------------------------------------

struct PosCall {
    std::string fn;
    std::string text;  // POS_Open's name, POS_WriteFile's bytes, the download's first path
    std::vector<int> args;
    bool operator==(const PosCall&) const = default;
};

struct Recorder {
    std::vector<PosCall> calls;
    int openResult = 7;
    int motionResult = 1001;
    bool secondPathNull = false;
};
Recorder* recorder = nullptr;

int32_t RecOpen(const char* name, int32_t baud, int32_t data, int32_t stop, int32_t parity,
                int32_t mode) {
    recorder->calls.push_back({"POS_Open", name, {baud, data, stop, parity, mode}});
    return recorder->openResult;
}
int32_t RecClose() {
    recorder->calls.push_back({"POS_Close", {}, {}});
    return 0;
}
int32_t RecWrite(int32_t handle, const char* bytes, int32_t count) {
    recorder->calls.push_back({"POS_WriteFile", std::string(bytes, count), {handle, count}});
    return count;
}
int32_t RecMotion(int32_t x, int32_t y) {
    recorder->calls.push_back({"POS_SetMotionUnit", {}, {x, y}});
    return recorder->motionResult;
}
int32_t RecDownload(const char* const* paths, int32_t kind, int32_t count) {
    recorder->secondPathNull = paths[1] == nullptr && paths[2] == nullptr;
    recorder->calls.push_back({"POS_PreDownloadBmpsToFlash", paths[0], {kind, count}});
    return 0;
}

PosCall Open(const std::string& name, std::vector<int> args) {
    return {"POS_Open", name, std::move(args)};
}
const PosCall kClose{"POS_Close", {}, {}};
const PosCall kMotion{"POS_SetMotionUnit", {}, {180, 180}};

// ---- One private CUPS server for the binary, started before any window asks for printers ------

CupsServer* cups = nullptr;
const char kQueue[] = "ESCPOS";
const char kQueueOther[] = "KITCHEN";

class CupsEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!CupsServer::MissingPieces().empty())
            return;
        server_ = std::make_unique<CupsServer>();
        queuePrinter_ = std::make_unique<LoopbackPrinter>(OwnLoopbackHost(2));
        server_->AddRawQueue(kQueueOther, OwnLoopbackHost(3), 9100);
        server_->AddRawQueue(kQueue, OwnLoopbackHost(2), 9100);
        cups = server_.get();
        queue = queuePrinter_.get();
    }
    void TearDown() override {
        cups = nullptr;
        queue = nullptr;
        server_.reset();
        queuePrinter_.reset();
    }
    static inline LoopbackPrinter* queue = nullptr;

  private:
    std::unique_ptr<CupsServer> server_;
    std::unique_ptr<LoopbackPrinter> queuePrinter_;
};
[[maybe_unused]] auto* const cupsEnvironment =
    ::testing::AddGlobalTestEnvironment(new CupsEnvironment);

// ---- Fixtures ---------------------------------------------------------------------------------

class NvLogoPage : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(dir.isValid());
        QObject::connect(form->edQuery, &QLineEdit::textChanged,
                         [this](const QString& text) { trail << text; });
    }

    // Starts an action with an empty result line and an empty trail of its texts.
    void Fresh() {
        form->edQuery->clear();
        trail.clear();
    }
    void ChooseFile(const QString& path) {
        dialogs->fileAnswers << path;
        form->btn17->click();
    }
    void TypeIp(const std::string& host) {
        const QStringList octets = QString::fromStdString(host).split('.');
        QLineEdit* fields[] = {form->IP1, form->IP2, form->IP3, form->IP4};
        for (int i = 0; i < 4; ++i) {
            fields[i]->clear();
            QTest::keyClicks(fields[i], octets[i]);
        }
    }

    QTemporaryDir dir;
    QStringList trail;  // every text edQuery showed, in order
};

// The library replaced by the recorder for the whole test.
class NvLogoRecorded : public NvLogoPage {
  protected:
    void SetUp() override {
        NvLogoPage::SetUp();
        recorder = &rec;
        form->Posdll = {RecOpen, RecClose, RecWrite, RecMotion, RecDownload};
    }
    void TearDown() override {
        NvLogoPage::TearDown();
        recorder = nullptr;
    }
    Recorder rec;
};

}  // namespace

// ---- Layout, texts and the language switch ---------------------------------------------------

TEST_F(NvLogoPage, StartsWithThePagesControlsTextsAndStates) {
    // English at start; the radio group keeps its one text.
    EXPECT_EQ(form->PortSet->title(), "set");
    EXPECT_EQ(form->Label15->text(), "Select port:");
    EXPECT_EQ(form->Label16->text(), "Select baudrate:");
    EXPECT_EQ(form->Label22->text(), "IP:");
    EXPECT_EQ(form->Label21->text(), "Print Driver Name:");
    EXPECT_EQ(form->btn17->text(), "Open logo file");
    EXPECT_EQ(form->btn20->text(), "upload nv logo");
    EXPECT_EQ(form->btn21->text(), "print NV logo");
    EXPECT_EQ(form->lbl9->text(), "");
    EXPECT_EQ(form->PortChoice->title(), "端口选择");
    EXPECT_EQ(form->PortChoiceItems[1]->text(), "网络接口");
    EXPECT_EQ(form->PortChoiceItemIndex(), 0);
    EXPECT_EQ(form->PosPortType, 0);
    EXPECT_EQ(form->PosPortHandle, 0);

    EXPECT_EQ(form->cbPortName->count(), 10);
    EXPECT_EQ(form->cbPortName->itemText(9), "COM10");
    EXPECT_EQ(form->cbPortName->currentText(), "COM1");
    EXPECT_EQ(form->cbBaud->currentText(), "115200");
    EXPECT_EQ(form->cbData->currentText(), "8");
    EXPECT_EQ(form->cbParity->currentText(), "无校验");
    EXPECT_EQ(form->cbFlow->currentText(), "无");
    EXPECT_FALSE(form->cbPortName->isEditable());
    EXPECT_TRUE(form->cbb6->isEditable());
    for (QWidget* hidden : std::initializer_list<QWidget*>{
             form->cbData, form->cbParity, form->cbStop, form->cbFlow, form->cbLPT, form->btn19})
        EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();
    // PortChoiceClick has not run: every port control is enabled, the IP edits included.
    for (QWidget* w : std::initializer_list<QWidget*>{form->IP1, form->IP4, form->cbPortName,
                                                      form->cbBaud, form->cbLPT})
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(form->IP1->text() + "." + form->IP2->text() + "." + form->IP3->text() + "." +
                  form->IP4->text(),
              "192.168.1.109");
    EXPECT_EQ(form->IP1->maxLength(), 3);

    EXPECT_EQ(form->img1->size(), QSize(385, 185));
    EXPECT_TRUE(form->edQuery->isReadOnly());
    EXPECT_EQ(form->edQuery->text(), "");
    EXPECT_EQ(form->edQuery->focusPolicy() & Qt::TabFocus, 0);

    // The driver names are the installed printers, in the spooler's order, the first picked.
    if (cups != nullptr) {
        EXPECT_EQ(form->cbb6->count(), 2);
        EXPECT_EQ(form->cbb6->itemText(0), kQueue);
        EXPECT_EQ(form->cbb6->currentText(), kQueue);
    }

    form->btn13->click();
    EXPECT_EQ(form->PortSet->title(), "端口配置");
    EXPECT_EQ(form->Label21->text(), "驱动名称：");
    EXPECT_EQ(form->btn20->text(), "下传nv logo");
    EXPECT_EQ(form->lbl9->text(), "注:图片只能使用单色位图");
    EXPECT_EQ(form->PortChoiceItems[0]->text(), "串口");
    EXPECT_EQ(form->cbParity->currentText(), "无校验");
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NvLogoRecorded, LanguageSwitchKeepsTheTypedAddressAndTheResultLine) {
    TypeIp("10.0.0.7");
    form->PortChoiceItems[1]->click();
    ASSERT_EQ(form->edQuery->text(), "端口选择为网络接口");

    // Both have one text for both languages: what the user typed, or the last result, stays.
    for (int i = 0; i < 2; ++i) {
        form->btn13->click();
        EXPECT_EQ(form->IP1->text(), "10");
        EXPECT_EQ(form->IP4->text(), "7");
        EXPECT_EQ(form->edQuery->text(), "端口选择为网络接口");
    }
}

// ---- The open routine and the port choice, against the recorder -----------------------------

TEST_F(NvLogoRecorded, InitialFieldsOpenTheBuiltInNetworkAddressAndSerialSettings) {
    form->btn19->click();  // serial at start
    form->PortChoiceItems[1]->click();
    Fresh();
    form->btn19->click();
    EXPECT_EQ(trail, QStringList({"选择了网络口", "端口打开成功！"}));
    EXPECT_EQ(form->PosIpText, "192.168.1.109");
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[0], Open("COM1", {115200, 8, 0, 0, 2}));
    EXPECT_EQ(rec.calls[1], kClose);  // the serial port held since the first open
    EXPECT_EQ(rec.calls[2], Open("192.168.1.109", {0, 0, 0, 0, 21}));
    EXPECT_EQ(form->PosPortHandle, 7);

    // Another port and rate pass their own values; a failed open shows so and holds nothing.
    form->PortChoiceItems[0]->click();
    form->cbPortName->setCurrentIndex(9);
    form->cbBaud->setCurrentIndex(2);
    rec.openResult = -1;
    rec.calls.clear();
    Fresh();
    form->btn19->click();
    EXPECT_EQ(trail, QStringList({"端口打开失败！"}));
    EXPECT_EQ(rec.calls, std::vector<PosCall>({Open("COM10", {9600, 8, 0, 0, 2})}));
    EXPECT_EQ(form->PosPortHandle, -1);
    form->PortChoiceItems[1]->click();  // -1 is not a port to close
    EXPECT_EQ(rec.calls.size(), 1u);
}

TEST_F(NvLogoRecorded, PortChoiceSetsTheControlsAndTheDriverChoiceOpensAtOnce) {
    form->PortChoiceItems[1]->click();
    EXPECT_EQ(form->PosPortType, 1);
    EXPECT_EQ(form->edQuery->text(), "端口选择为网络接口");
    EXPECT_TRUE(form->IP2->isEnabled());
    EXPECT_FALSE(form->cbPortName->isEnabled());
    EXPECT_FALSE(form->cbBaud->isEnabled());
    EXPECT_FALSE(form->cbLPT->isEnabled());
    form->PortChoiceItems[1]->click();  // the chosen item again is no change
    EXPECT_TRUE(rec.calls.empty());

    form->PortChoiceItems[0]->click();
    EXPECT_EQ(form->edQuery->text(), "端口选择为串口");
    EXPECT_FALSE(form->IP2->isEnabled());
    EXPECT_TRUE(form->cbPortName->isEnabled());
    EXPECT_TRUE(form->cbFlow->isEnabled());

    form->cbb6->setEditText("");
    form->PortChoiceItems[2]->click();
    EXPECT_EQ(form->edQuery->text(), "驱动程序名不能为空！");
    EXPECT_EQ(form->PosPortType, 2);
    EXPECT_TRUE(form->cbPortName->isEnabled());  // driver leaves the enabled states alone
    EXPECT_TRUE(rec.calls.empty());
    form->btn19->click();  // the open routine refuses the empty name as well
    EXPECT_EQ(form->edQuery->text(), "驱动程序名不能为空！");
    EXPECT_TRUE(rec.calls.empty());

    form->cbb6->setEditText("Receipt 80");
    form->PortChoiceItems[1]->click();
    form->PortChoiceItems[2]->click();
    EXPECT_EQ(rec.calls, std::vector<PosCall>({Open("Receipt 80", {0, 0, 0, 0, 20})}));
    EXPECT_EQ(form->edQuery->text(), "Receipt 80");
    EXPECT_EQ(form->PosPortHandle, 7);

    form->PortChoiceItems[0]->click();
    EXPECT_EQ(rec.calls.back(), kClose);
    EXPECT_EQ(form->PosPortHandle, 0);
    EXPECT_EQ(form->edQuery->text(), "端口选择为串口");
}

TEST_F(NvLogoRecorded, EmptyIpFieldOpensNothingYetTheDownloadRunsItsStepsAndCloses) {
    form->PortChoiceItems[1]->click();
    form->IP3->clear();
    Fresh();
    form->btn19->click();
    EXPECT_EQ(trail, QStringList({"选择了网络口", "IP地址不能为空"}));
    EXPECT_EQ(form->PosIpText, "192.168..109");
    EXPECT_TRUE(rec.calls.empty());

    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail,
              QStringList({"选择了网络口", "IP地址不能为空", "请选择图片！", "端口关闭成功！"}));
    EXPECT_EQ(rec.calls, std::vector<PosCall>({kMotion, kClose}));
    EXPECT_EQ(form->PosPortHandle, 0);

    // A refused motion unit is reported and the download goes on.
    const QString bmp = WriteFile(dir, "logo.bmp", MonoBmp(kLogoW, kLogoH, Logo));
    ChooseFile(bmp);
    form->IP3->setText("1");
    rec.motionResult = 0;
    rec.calls.clear();
    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail,
              QStringList({"选择了网络口", "端口打开成功！", "打印失败！", "端口关闭成功！"}));
    ASSERT_EQ(rec.calls.size(), 4u);
    EXPECT_EQ(rec.calls[2], (PosCall{"POS_PreDownloadBmpsToFlash", bmp.toStdString(), {2, 1}}));
    EXPECT_TRUE(rec.secondPathNull);
    EXPECT_EQ(rec.calls[3], kClose);
}

TEST_F(NvLogoRecorded, LibraryPrintWritesTheThirteenBytesToTheOpenedHandleAndCloses) {
    rec.openResult = 42;
    Fresh();
    form->btn21->click();
    EXPECT_EQ(trail, QStringList({"端口打开成功！", "端口关闭成功！"}));
    EXPECT_EQ(rec.calls, std::vector<PosCall>({Open("COM1", {115200, 8, 0, 0, 2}),
                                               {"POS_WriteFile", kPrintCommand, {42, 13}},
                                               kClose}));

    // A failed open still writes (to -1) and closes, as the download does.
    rec.openResult = -1;
    rec.calls.clear();
    form->btn21->click();
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[1].args, std::vector<int>({-1, 13}));
    EXPECT_EQ(form->edQuery->text(), "端口关闭成功！");
}

TEST_F(NvLogoRecorded, DriverModePrintGoesToTheSpoolerWithoutTheLibrary) {
    form->cbb6->setEditText("NoSuchPrinter");
    form->PortChoiceItems[2]->click();
    rec.calls.clear();
    Fresh();
    form->btn21->click();
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_TRUE(trail.isEmpty());
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_TRUE(dialogs->boxes[0].text.startsWith("错误： "))
        << dialogs->boxes[0].text.toStdString();
    EXPECT_EQ(dialogs->boxes[0].icon, Dialogs::Icon::None);
}

// ---- Choosing the bitmap ---------------------------------------------------------------------

TEST_F(NvLogoRecorded, CancelledDialogKeepsThePreviewAndLeavesNoFileToDownload) {
    const QString bmp = WriteFile(dir, "logo.bmp", MonoBmp(kLogoW, kLogoH, Logo));
    ChooseFile(bmp);
    EXPECT_EQ(dialogs->filtersAsked, QStringList({"位图(*.bmp)|*.bmp"}));
    EXPECT_EQ(form->dlgOpen1.FileName, bmp);
    ASSERT_EQ(form->img1->pixmap().size(), QSize(kLogoW, kLogoH));
    EXPECT_EQ(form->img1->pixmap().toImage().pixelColor(0, 5), Qt::black);
    EXPECT_EQ(form->img1->pixmap().toImage().pixelColor(5, 3), Qt::white);

    ChooseFile(QString());  // cancel
    EXPECT_EQ(form->dlgOpen1.FileName, "");
    EXPECT_EQ(form->img1->pixmap().size(), QSize(kLogoW, kLogoH));
    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail, QStringList({"端口打开成功！", "请选择图片！", "端口关闭成功！"}));
    EXPECT_EQ(rec.calls.size(), 3u);  // open, motion unit, close: no download
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NvLogoRecorded, PictureLargerThanThePreviewIsClippedAtItsNaturalSize) {
    ChooseFile(WriteFile(dir, "wide.bmp", MonoBmp(600, 300, [](int x, int) { return x >= 500; })));
    form->show();
    const QImage shown = form->img1->grab().toImage();
    EXPECT_EQ(shown.size(), QSize(385, 185));
    EXPECT_EQ(shown.pixelColor(0, 0), Qt::white);      // the top-left corner, not scaled down
    EXPECT_EQ(shown.pixelColor(384, 184), Qt::white);  // the black band lies beyond the clip
}

TEST_F(NvLogoRecorded, FileThatIsNoBitmapShowsTheErrorBoxKeepsThePreviewButKeepsItsPath) {
    ChooseFile(WriteFile(dir, "logo.bmp", MonoBmp(kLogoW, kLogoH, Logo)));
    const QString text = WriteFile(dir, "notes.bmp", "just some text, not a picture\n");
    ChooseFile(text);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "Bitmap image is not valid.");
    EXPECT_EQ(dialogs->boxes[0].icon, Dialogs::Icon::Error);
    EXPECT_EQ(form->img1->pixmap().size(), QSize(kLogoW, kLogoH));
    EXPECT_EQ(form->dlgOpen1.FileName, text);

    ChooseFile(dir.filePath("gone.bmp"));
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_TRUE(dialogs->boxes[1].text.startsWith("Cannot open file"))
        << dialogs->boxes[1].text.toStdString();
    EXPECT_EQ(form->img1->pixmap().size(), QSize(kLogoW, kLogoH));
}

// ---- Real peers through the project's printer library ---------------------------------------

TEST_F(NvLogoPage, NetworkDownloadAndPrintReachALoopbackPrinter) {
    LoopbackPrinter printer(OwnLoopbackHost());
    TypeIp(OwnLoopbackHost());  // before any network open
    form->PortChoiceItems[1]->click();
    // The language switch leaves the typed address alone: the logo goes where the user said.
    form->btn13->click();
    form->btn13->click();
    ChooseFile(WriteFile(dir, "logo.bmp", MonoBmp(kLogoW, kLogoH, Logo)));

    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail, QStringList({"选择了网络口", "端口打开成功！", "端口关闭成功！"}));
    const std::string download = kMotionUnit + ExpectedFsQ(kLogoW, kLogoH, Logo);
    EXPECT_EQ(Hex(printer.waitForBytes(download.size())), Hex(download));

    Fresh();
    form->btn21->click();
    EXPECT_EQ(trail, QStringList({"选择了网络口", "端口打开成功！", "端口关闭成功！"}));
    ASSERT_TRUE(printer.waitForClosed(2));
    EXPECT_EQ(printer.connections(), std::vector<std::string>({download, kPrintCommand}));
    EXPECT_EQ(form->PosPortHandle, 0);

    // A file that is no bitmap goes to the library by its path and is refused there: past the
    // motion unit, nothing reaches the printer.
    ChooseFile(WriteFile(dir, "notes.bmp", "not a bitmap"));
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    printer.clear();
    form->btn20->click();
    EXPECT_EQ(form->edQuery->text(), "端口关闭成功！");
    ASSERT_TRUE(printer.waitForClosed(1));
    EXPECT_EQ(Hex(printer.settle()), Hex(kMotionUnit));

    // The result line says the same each time; the log says what really happened.
    const auto& log = form->Log->Entries();
    ASSERT_EQ(log.size(), 3u);
    const QString target = QString::fromStdString(OwnLoopbackHost()) + ":9100";
    for (const auto& entry : log)
        EXPECT_EQ(entry.target, target);
    EXPECT_EQ(log[0].action, "upload nv logo");
    EXPECT_EQ(log[0].sent, download.size());
    EXPECT_EQ(log[0].libraryCode, kelvo::kPosSuccess);
    EXPECT_EQ(log[1].sent, kPrintCommand.size());
    EXPECT_EQ(log[2].sent, kMotionUnit.size());
    EXPECT_TRUE(log[2].failed);
    EXPECT_EQ(TActivityLog::LibraryResultText(*log[2].libraryCode, true),
              "1007 BMP malformed or truncated: nothing sent");
}

TEST_F(NvLogoPage, NetworkOpenOfAnAddressWithNoPrinterFails) {
    TypeIp(OwnLoopbackHost(9));  // nothing listens there
    form->PortChoiceItems[1]->click();
    Fresh();
    form->btn21->click();
    EXPECT_EQ(trail, QStringList({"选择了网络口", "端口打开失败！", "端口关闭成功！"}));
    EXPECT_EQ(form->PosPortHandle, 0);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NvLogoPage, SerialDownloadAndPrintReachAPseudoTerminalMappedAsComPort) {
    kelvo::testing::Pty pty;
    kelvo::testing::PortOverride com1("COM1", pty.slavePath());
    kelvo::testing::PortOverride com4("COM4", dir.filePath("unplugged").toStdString());
    form->PortChoiceItems[1]->click();
    form->PortChoiceItems[0]->click();
    ChooseFile(WriteFile(dir, "logo.bmp", MonoBmp(kLogoW, kLogoH, Logo)));

    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail, QStringList({"端口打开成功！", "端口关闭成功！"}));
    const std::string download = kMotionUnit + ExpectedFsQ(kLogoW, kLogoH, Logo);
    EXPECT_EQ(Hex(pty.read(download.size())), Hex(download));
    termios line{};
    ASSERT_EQ(tcgetattr(pty.master(), &line), 0);
    EXPECT_EQ(cfgetospeed(&line), speed_t(B115200));

    form->btn21->click();
    EXPECT_EQ(form->edQuery->text(), "端口关闭成功！");
    EXPECT_EQ(Hex(pty.read(kPrintCommand.size())), Hex(kPrintCommand));
    EXPECT_EQ(pty.drain(), "");

    // A COM port with nothing behind it does not open.
    form->cbPortName->setCurrentIndex(3);
    Fresh();
    form->btn19->click();
    EXPECT_EQ(trail, QStringList({"端口打开失败！"}));
}

TEST_F(NvLogoPage, SlowSerialDownloadShowsProgressCancelsAtOnceAndTheNextDownloadWorks) {
    kelvo::testing::Pty pty;
    kelvo::testing::PortOverride com1("COM1", pty.slavePath());
    kelvo::testing::SlowReader line(pty, 11520);  // 115200 baud, 10 bits a byte
    const Pixels dots = [](int x, int y) { return (x ^ y) % 7 == 0; };
    ChooseFile(WriteFile(dir, "big.bmp", MonoBmp(576, 576, dots)));
    const std::string download =
        kMotionUnit + ExpectedFsQ(576, 576, dots);  // about 3.6 s on this line

    // Cancel once the dialog shows some of the bytes gone out.
    using Clock = std::chrono::steady_clock;
    Clock::time_point cancelled{};
    QString label;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QProgressDialog* dialog = form->Actions->Dialog();
        if (dialog == nullptr || dialog->value() <= 0 || cancelled != Clock::time_point{})
            return;
        label = dialog->labelText();
        cancelled = Clock::now();
        dialog->findChild<QPushButton*>()->click();
    });
    poll.start(5);
    kelvo::testing::EventLoopWatch watch;
    Fresh();
    form->btn20->click();
    const auto afterCancel = Clock::now() - cancelled;
    poll.stop();
    ASSERT_NE(cancelled, Clock::time_point{}) << "no progress was shown";
    EXPECT_LT(afterCancel, std::chrono::milliseconds(200));
    EXPECT_LT(watch.Longest(), std::chrono::milliseconds(400));
    EXPECT_TRUE(label.contains(QStringLiteral(" of %1 bytes sent").arg(download.size())))
        << label.toStdString();
    EXPECT_EQ(form->edQuery->text(), "端口关闭成功！");
    EXPECT_LT(line.count(), download.size());

    // The port was released: a second download, on a fast line, arrives whole.
    line.setRate(0);
    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail, QStringList({"端口打开成功！", "端口关闭成功！"}));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::string got = line.bytes();
            return got.size() >= download.size() &&
                   got.compare(got.size() - download.size(), download.size(), download) == 0;
        },
        10000));
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NvLogoPage, DriverModeOpensAtOnceAndPrintsOneRawJobThroughTheSpooler) {
    if (cups == nullptr)
        GTEST_SKIP() << "no private CUPS server: " << CupsServer::MissingPieces();
    LoopbackPrinter& queue = *CupsEnvironment::queue;
    queue.clear();
    const size_t jobsBefore = cups->Jobs().size();
    ASSERT_EQ(form->cbb6->currentText(), kQueue);

    form->PortChoiceItems[2]->click();
    EXPECT_EQ(form->edQuery->text(), kQueue);
    EXPECT_GT(form->PosPortHandle, 0);

    Fresh();
    form->btn21->click();
    EXPECT_TRUE(trail.isEmpty());  // no library call and no result text
    EXPECT_EQ(Hex(queue.waitForBytes(kPrintCommand.size(), std::chrono::seconds(10))),
              Hex(kPrintCommand));
    ASSERT_TRUE(cups->WaitForJobsEnded());
    std::vector<CupsServer::Job> jobs = cups->Jobs();
    ASSERT_EQ(jobs.size(), jobsBefore + 1);
    EXPECT_EQ(jobs.back().printer, kQueue);
    EXPECT_EQ(jobs.back().title, "正在处理打印...");
    EXPECT_EQ(jobs.back().state, 9);

    // The download goes through the library's driver port to the same queue.
    queue.clear();
    ChooseFile(WriteFile(dir, "logo.bmp", MonoBmp(kLogoW, kLogoH, Logo)));
    Fresh();
    form->btn20->click();
    EXPECT_EQ(trail, QStringList({"端口打开成功！", "端口关闭成功！"}));
    const std::string download = kMotionUnit + ExpectedFsQ(kLogoW, kLogoH, Logo);
    EXPECT_EQ(Hex(queue.waitForBytes(download.size(), std::chrono::seconds(10))), Hex(download));
    ASSERT_TRUE(cups->WaitForJobsEnded());

    // The download closed the port; choosing the driver again reopens it, and serial closes it.
    form->PortChoiceItems[0]->click();
    form->PortChoiceItems[2]->click();
    EXPECT_GT(form->PosPortHandle, 0);
    form->PortChoiceItems[0]->click();
    EXPECT_EQ(form->PosPortHandle, 0);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NvLogoPage, DriverModePrintToAPrinterThatIsNotInstalledShowsTheSpoolerError) {
    if (cups == nullptr)
        GTEST_SKIP() << "no private CUPS server: " << CupsServer::MissingPieces();
    const size_t jobsBefore = cups->Jobs().size();
    form->cbb6->setEditText("NoSuchPrinter");
    form->PortChoiceItems[2]->click();
    EXPECT_EQ(form->PosPortHandle, -1);  // the library cannot open it either
    form->btn21->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "错误： 1030");
    EXPECT_EQ(cups->Jobs().size(), jobsBefore);
}

// ---- Start-up: the library and the printer list wait for the first paint ----------------------

TEST(NvLogoStart, TheLibraryAndThePrinterListArriveOnceTheWindowHasPainted) {
    TForm1 form(std::make_unique<DialogRecorder>());
    form.show();
    EXPECT_FALSE(form.PosdllLib) << "loaded before the window could paint";
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.DriverNamesListed; }, 20000));
    ASSERT_TRUE(form.PosdllLib);
    EXPECT_TRUE(form.PosdllLib->loaded()) << form.PosdllLib->error();
    if (cups != nullptr) {
        EXPECT_EQ(form.cbb6->currentText(), kQueue);
    }
}

TEST(NvLogoStart, ADriverChoiceBeforeTheDeferredStartStillOpensTheFirstPrinter) {
    if (cups == nullptr)
        GTEST_SKIP() << "no private CUPS server: " << CupsServer::MissingPieces();
    TForm1 form(std::make_unique<DialogRecorder>());
    // No event has been processed: neither the library nor the list has been asked for yet.
    form.PortChoiceItems[2]->click();
    EXPECT_EQ(form.edQuery->text(), kQueue);
    EXPECT_GT(form.PosPortHandle, 0);
    form.PortChoiceItems[0]->click();
    EXPECT_EQ(form.PosPortHandle, 0);
}
