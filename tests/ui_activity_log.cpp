// The activity log and the printer's status in the window, at real peers: a loopback printer, a
// pseudo-terminal, a device tree. Every connect is aimed at this suite's loopback address first.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>

#include <array>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "app/LogPanel.h"
#include "protocol/TapCapture.h"
#include "testing/DeviceTree.h"
#include "testing/EventLoopWatch.h"
#include "testing/LoopbackPrinter.h"
#include "testing/PacedPrinter.h"
#include "testing/PosPeer.h"
#include "testing/Pty.h"
#include "testing/StatusResponder.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"
#include "widgets/PortBox.h"

using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using Answers = std::array<std::optional<uint8_t>, 4>;
using namespace std::string_literals;

namespace {

class ActivityLogTest : public kelvo::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        host = QString::fromStdString(OwnLoopbackHost());
        form->IPEdit3->SetIPString(host);
        form->IPEdit1->SetIPString(QString::fromStdString(OwnLoopbackHost(2)));
    }
    void Connect() {
        form->PageControl1->setCurrentWidget(form->TabSheet1);
        form->Button1->click();
        ASSERT_TRUE(form->IdTCPClient1.Connected());
    }
    const TActivityLog::Entry& Last() const { return form->Log->Entries().back(); }
    QString StatusShown() const { return form->LogPanel->StatusView->text(); }

    QString host;
};

TEST_F(ActivityLogTest, NetworkActionsAreLoggedWithTargetBytesCommandsAndTrueOutcome) {
    LoopbackPrinter printer(OwnLoopbackHost());
    form->LogToggle->click();  // the panel open: it grows entry by entry
    Connect();
    form->Button3->click();
    form->Button4->click();
    const std::string wire = printer.waitForBytes(60);
    ASSERT_EQ(form->Log->Entries().size(), 3u);  // connect, test page, drawer
    const auto& page = form->Log->Entries()[1];
    EXPECT_EQ(page.action, "Test Print");
    EXPECT_EQ(page.target, host + ":9100");
    EXPECT_FALSE(page.failed);
    EXPECT_EQ(page.sent + Last().sent, printer.waitForBytes(page.sent + Last().sent).size());
    EXPECT_EQ(page.commands.front().rfind("GS !", 0), 0u) << page.commands.front();
    EXPECT_NE(form->Log->Text(true, false).indexOf("GS V"), -1);
    EXPECT_EQ(Last().action, "Open the box");
    EXPECT_EQ(Last().sent, 7u);  // ESC p 0 40 40, CR LF

    // A printer that resets the connection: the log names the socket error.
    printer.setMode({LoopbackPrinter::Mode::ResetAfter, 0});
    form->Button7->click();
    Connect();
    for (int i = 0; i < 20 && !Last().failed; ++i)
        form->Button4->click();
    EXPECT_TRUE(Last().failed);
    EXPECT_TRUE(Last().outcome.startsWith("Socket Error # ")) << Last().outcome.toStdString();
    EXPECT_EQ(form->LogPanel->View->toPlainText(), form->LogPanel->Text());
    // Texts follow the language.
    form->btn13->click();
    EXPECT_NE(form->LogPanel->View->toPlainText().indexOf("失败："), -1);
    EXPECT_EQ(form->LogPanel->StatusButton->text(), "打印机状态");
    // Saved as text, as shown.
    QTemporaryDir dir;
    dialogs->fileAnswers << dir.filePath("log.txt");
    form->LogPanel->SaveButton->click();
    QFile saved(dir.filePath("log.txt"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(saved.readAll()), form->LogPanel->Text() + "\n");
}

// The panel's tap between a POS and a loopback printer: its decoded stream shows as it comes, and
// the capture saved holds exactly the bytes that crossed it.
TEST_F(ActivityLogTest, TapShowsItsStreamLiveAndSavesItsCaptureAsPcapng) {
    LoopbackPrinter printer(OwnLoopbackHost(), 0);
    printer.setStatusAnswers({0x12, 0x12, 0x12, 0x12});
    form->LogToggle->click();
    TLogPanel& panel = *form->LogPanel;
    panel.TapListenEdit->setText(QString::fromStdString(OwnLoopbackHost(3)) + ":0");
    panel.TapPrinterEdit->setText(host + ":" + QString::number(printer.port()));
    panel.TapButton->click();
    ASSERT_TRUE(panel.Tapping());
    EXPECT_EQ(panel.TapButton->text(), "Stop tap");
    const std::string receipt = "\x1B\x40Total 9.99\n\x1D\x56\x42\x00\x10\x04\x01"s;
    {
        kelvo::testing::PosPeer pos(panel.TapListenEdit->text().toStdString());
        EXPECT_EQ(pos.Send(receipt), 0);
        EXPECT_EQ(pos.Read(1), "\x12");
    }
    ASSERT_TRUE(printer.waitForClosed(1));
    EXPECT_EQ(printer.connections().at(0), receipt);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return panel.View->toPlainText().contains("the printer closed its side"); }, 10000));
    for (const char* line : {"-> ESC @  initialize", "-> text  \"Total 9.99\"",
                             "<- 12  DLE EOT 1: online, drawer pin 3 low"})
        EXPECT_TRUE(panel.View->toPlainText().contains(line)) << line;

    QTemporaryDir dir;
    dialogs->fileAnswers << dir.filePath("till.pcapng");
    panel.TapSaveButton->click();
    QFile saved(dir.filePath("till.pcapng"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const std::string file = saved.readAll().toStdString();
    std::string why;
    const auto segments = kelvo::ReadTapCapture(file, &why);
    ASSERT_TRUE(kelvo::IsPcapng(file) && segments) << why;
    std::string toPrinter, toPos;
    for (const kelvo::CapturedBytes& s : *segments)
        (s.fromPos ? toPrinter : toPos) += s.bytes;
    EXPECT_EQ(toPrinter, receipt);
    EXPECT_EQ(toPos, "\x12");
    panel.TapButton->click();
    EXPECT_FALSE(panel.Tapping());
    EXPECT_EQ(panel.TapButton->text(), "Start tap");
}

TEST_F(ActivityLogTest, SendFileSendsTheChosenFilesBytesOverTheLinkOrThePagesPort) {
    QTemporaryDir dir;
    const std::string bytes("\x1B\x40\x00receipt\n\x1D\x56\x42\x05", 16);
    QFile file(dir.filePath("receipt.bin"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    file.close();
    form->PageControl1->setCurrentWidget(form->TabSheet1);
    dialogs->fileAnswers << file.fileName();
    form->LogPanel->SendFileButton->click();  // not connected: nothing is sent
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "Not connected: connect first");

    LoopbackPrinter printer(OwnLoopbackHost());
    Connect();
    dialogs->fileAnswers << file.fileName();
    form->LogPanel->SendFileButton->click();
    EXPECT_EQ(printer.waitForBytes(bytes.size()), bytes);
    EXPECT_EQ(Last().action, "Send file…");
    EXPECT_EQ(Last().sent, bytes.size());

    kelvo::testing::Pty pty;
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    form->ComboBox1->setEditText(QString::fromStdString(pty.slavePath()));
    dialogs->fileAnswers << file.fileName();
    form->LogPanel->SendFileButton->click();
    EXPECT_EQ(pty.read(bytes.size()), bytes);
    EXPECT_EQ(dialogs->boxes.size(), 1u);
}

TEST_F(ActivityLogTest, KeepsAtMostItsBoundOldestGoingFirst) {
    for (size_t i = 0; i < TActivityLog::kMaxEntries + 5; ++i) {
        TActivityLog::Action action(*form->Log, QString::number(i));
        form->Log->SetTarget("t");
    }
    EXPECT_EQ(form->Log->Entries().size(), TActivityLog::kMaxEntries);
    EXPECT_EQ(form->Log->Entries().front().action, "5");
}

// Chosen answers to DLE EOT 1..4 and the words the panel must show for them.
struct StatusCase {
    Answers answers;
    const char* shown;
};
const StatusCase kStatusCases[] = {
    {{0x12, 0x12, 0x12, 0x12},
     "Online\nDrawer pin 3: low\nCover: closed\nErrors: none\nPaper: present"},
    {{0x1A, 0x16, 0x12, 0x12},
     "Offline\nDrawer pin 3: low\nCover: open\nErrors: none\nPaper: present"},
    {{0x1A, 0x32, 0x12, 0x72},
     "Offline\nDrawer pin 3: low\nCover: closed\nPrinting stopped: paper end\nErrors: none\n"
     "Paper: out"},
    {{0x16, 0x12, 0x12, 0x12},
     "Online\nDrawer pin 3: high\nCover: closed\nErrors: none\nPaper: present"},
};

TEST_F(ActivityLogTest, StatusOverTheNetworkLinkShowsExactlyThePrintersStates) {
    LoopbackPrinter printer(OwnLoopbackHost());
    Connect();
    for (const StatusCase& c : kStatusCases) {
        printer.setStatusAnswers(c.answers);
        form->LogPanel->StatusButton->click();
        EXPECT_EQ(StatusShown(), c.shown);
        EXPECT_EQ(Last().received, 4u);
    }
}

// A printer that answers 700 ms late: its answers are shown as late, never read one request
// behind (the cover is closed; DLE EOT 1's answer must not say "Cover: open").
TEST_F(ActivityLogTest, LateAnswersAreShownAsLateAndNeverAsAnotherRequestsState) {
    kelvo::testing::PacedPrinter::Options late;
    late.pause = std::chrono::milliseconds(0);
    late.answers = {0x16, 0x12, 0x12, 0x12};  // drawer pin high, cover closed
    late.answerDelay = std::chrono::milliseconds(700);
    kelvo::testing::PacedPrinter printer(OwnLoopbackHost(), 9100, late);
    Connect();
    form->LogPanel->StatusButton->click();
    const QString shown = StatusShown();
    EXPECT_FALSE(shown.contains(QStringLiteral("Cover: open"))) << shown.toStdString();
    EXPECT_EQ(shown.count(QStringLiteral("late (")), 4) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Printer status (DLE EOT 1): late (16), not read")))
        << shown.toStdString();
    EXPECT_EQ(Last().received, 4u);  // every late byte logged as received
}

TEST_F(ActivityLogTest, StatusOverASerialPortShowsThePrintersStatesAndSilenceAsNoAnswer) {
    kelvo::testing::Pty pty;
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    form->ComboBox1->setEditText(QString::fromStdString(pty.slavePath()));
    {
        kelvo::testing::StatusResponder responder(pty, kStatusCases[1].answers);
        form->LogPanel->StatusButton->click();
        EXPECT_EQ(StatusShown(), kStatusCases[1].shown);
        EXPECT_EQ(Last().target, QString::fromStdString(pty.slavePath()));
    }
    // Nobody answers: four requests, each given up after its time-out and a wait as long for a late
    // answer; the window paints.
    kelvo::testing::EventLoopWatch watch;
    const auto start = std::chrono::steady_clock::now();
    form->LogPanel->StatusButton->click();
    // About 4.1 s; the slack is for a loaded machine, short of what a third wait per request takes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(6000));
    EXPECT_LT(watch.Longest(), std::chrono::milliseconds(400));
    EXPECT_EQ(StatusShown().count("no answer"), 4);
    EXPECT_EQ(Last().sent, 12u);  // DLE EOT 1, 2, 3, 4
}

TEST_F(ActivityLogTest, PortBoxesAddTheMachinesRealPortsAfterTheirOwnEntries) {
    kelvo::testing::DeviceTree tree;
    tree.Bench();  // a USB serial adapter, a USB printer, a serial port without a UART
    const std::string root = tree.root();
    ASSERT_EQ(::setenv("KELVOTOOL_DEVICE_ROOT", root.c_str(), 1), 0);

    const QString adapter = QString::fromStdString(root + "/dev/ttyUSB0");
    const QString printer = QString::fromStdString(root + "/dev/usb/lp0");
    for (QComboBox* box : {form->ComboBox1, form->cbb1, form->cbb4, form->cbPortName}) {
        auto* ports = static_cast<TPortBox*>(box);
        const QString shown = box->currentText();
        ports->RefreshFound();  // what opening the list does
        const int own = ports->OwnCount();
        ASSERT_EQ(box->count(), own + 3) << box->objectName().toStdString();
        EXPECT_EQ(box->itemText(own), adapter);
        EXPECT_EQ(box->itemData(own, TPortBox::kDescriptionRole).toString(),
                  "USB serial: FTDI FT232R USB UART (0403:6001)");
        EXPECT_TRUE(box->itemText(own + 1).endsWith(
            QString::fromStdString(kelvo::testing::DeviceTree::kAdapterAlias)));
        EXPECT_EQ(box->itemText(own + 2), printer);
        EXPECT_EQ(box->itemData(own + 2, TPortBox::kDescriptionRole).toString(),
                  "USB printer: EPSON TM-T20II (04b8:0e15)");
        EXPECT_EQ(box->currentText(), shown);
        EXPECT_EQ(box->itemText(0), "COM1");
    }
    // The NV page opens a found port by its path.
    form->cbPortName->setCurrentIndex(static_cast<TPortBox*>(form->cbPortName)->OwnCount());
    static std::string opened;
    form->Posdll.POS_Open = [](const char* name, int32_t, int32_t, int32_t, int32_t, int32_t) {
        opened = name;
        return int32_t{-1};
    };
    form->btn19->click();  // the open routine
    EXPECT_EQ(opened, adapter.toStdString());
    ::unsetenv("KELVOTOOL_DEVICE_ROOT");
}

}  // namespace
