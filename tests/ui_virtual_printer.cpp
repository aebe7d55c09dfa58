// The virtual printer as the peer of the window's actions: what each page sends must mean what
// the page says, on the printer's paper, in its stored settings and its counters.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <string>
#include <variant>

#include "app/LogPanel.h"
#include "app/ReceiptView.h"
#include "app/VirtualPrinterWindow.h"
#include "printer/PrinterBox.h"
#include "testing/BmpFiles.h"
#include "testing/EventLoopWatch.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"
#include "widgets/PortBox.h"

using kelvo::printer::PaperCut;
using kelvo::printer::PaperImage;
using kelvo::printer::PaperItem;
using kelvo::printer::PaperLine;
using kelvo::printer::VirtualPrinter;

namespace {

constexpr int kNetwork = 0, kSerial = 1, k001 = 2, k002 = 3;

std::string Text(const PaperLine& line) {
    std::string text;
    for (const auto& run : line.runs)
        text += run.utf8;
    return text;
}

class VirtualPrinterTest : public kelvo::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        form->IPEdit1->SetIPString(QString::fromStdString(kelvo::testing::OwnLoopbackHost(2)));
        ASSERT_TRUE(form->SetVirtualPrinter(true));
        box = form->VirtualPrinter.get();
        const std::string address = box->TcpAddress();
        ASSERT_EQ(address.substr(address.rfind(':')), ":9100");
        host = QString::fromStdString(address.substr(0, address.rfind(':')));
        pty = QString::fromStdString(box->PtyPath());
    }
    // Waits until printer `index` satisfies `done`, then returns a copy of its paper.
    template <class Done>
    std::vector<PaperItem> PaperWhen(int index, Done done) {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return box->With(index, [&](VirtualPrinter& p) { return done(p); }); }, 5000));
        return box->With(index, [](VirtualPrinter& p) { return p.Paper(); });
    }
    std::vector<std::string> Lines(const std::vector<PaperItem>& paper) {
        std::vector<std::string> lines;
        for (const PaperItem& item : paper) {
            if (const auto* line = std::get_if<PaperLine>(&item))
                lines.push_back(Text(*line));
            else if (std::holds_alternative<PaperCut>(item))
                lines.push_back("--cut--");
        }
        return lines;
    }
    void Pick(QComboBox* box, const QString& entry) { box->setCurrentIndex(box->findText(entry)); }

    kelvo::printer::PrinterBox* box = nullptr;
    QString host, pty;
};

TEST_F(VirtualPrinterTest, NetworkPagesPrintTheirMeaningAndStoreEachSetting) {
    form->IPEdit3->SetIPString(host);
    form->Button1->click();
    ASSERT_TRUE(form->IdTCPClient1.Connected());
    form->Button3->click();
    form->Button4->click();
    auto paper = PaperWhen(kNetwork, [](VirtualPrinter& p) { return p.Count().drawerPulses == 1; });
    const auto& title = std::get<PaperLine>(paper.at(0));
    EXPECT_EQ(Text(title), " QM417网口测试打印开始");
    EXPECT_EQ(title.runs.back().style.widthMul, 2);
    EXPECT_EQ(title.runs.back().style.heightMul, 2);
    EXPECT_TRUE(title.runs.back().wide);
    const auto lines = Lines(paper);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--cut--"), 1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Print the test 3"), lines.end());

    // Each parameter setting changes the stored setting it names.
    Pick(form->ComboBox3, "9600");
    form->Button18->click();
    Pick(form->cbb3, "(PC866:Cyrillic#2)");
    form->btn15->click();
    form->CheckBox3->setChecked(true);
    form->Button14->click();
    form->IPEdit2->SetIPString("10.20.30.40");
    form->Button2->click();
    form->btn7->click();
    form->btn6->click();
    auto settings = [&] {
        return box->With(kNetwork, [](VirtualPrinter& p) { return p.Settings(); });
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return settings().mac[5] != 0x01; }, 5000));
    EXPECT_EQ(settings().baudCode, 'G');
    EXPECT_EQ(settings().codePage, 0x11);
    EXPECT_EQ(settings().switches & 0x08, 0x08);
    EXPECT_EQ(settings().ip, (std::array<uint8_t, 4>{10, 20, 30, 40}));
    EXPECT_EQ(QString("%1").arg(settings().mac[5], 2, 16, QLatin1Char('0')).toUpper(),
              form->edt2->text().right(2));
    // The stored code page changes how later text reads: PC866 A0 is Cyrillic а.
    box->With(kNetwork, [](VirtualPrinter& p) { p.Feed("\x1C\x2E\xA0\n"); });
    paper = box->With(kNetwork, [](VirtualPrinter& p) { return p.Paper(); });
    EXPECT_EQ(Lines(paper).back(), "а");

    // The printer's status flags answer the status request as the log panel reads them.
    form->VirtualPrinterWindow->CoverOpen->setChecked(true);
    form->LogPanel->StatusButton->click();
    EXPECT_TRUE(form->LogPanel->StatusView->text().contains("Cover: open"));
}

TEST_F(VirtualPrinterTest, SerialAndWirelessPrintsReachTheirPrinterOverThePseudoTerminal) {
    auto* ports = static_cast<TPortBox*>(form->ComboBox1);
    ports->RefreshFound();
    ASSERT_EQ(ports->itemText(ports->OwnCount()), pty);  // offered first among the found
    form->ComboBox1->setCurrentIndex(ports->OwnCount());
    form->Button9->click();
    form->Button8->click();
    auto paper = PaperWhen(kSerial, [](VirtualPrinter& p) { return p.Count().cuts == 1; });
    EXPECT_EQ(Text(std::get<PaperLine>(paper.at(0))), "QM417测试打印开始");

    // Three wireless prints for printer 002: they reach 002 only, numbered 0, 1, 2.
    form->cbb1->setEditText(pty);
    form->btn1->click();
    for (int i = 0; i < 3; ++i)
        form->btn2->click();
    paper = PaperWhen(k002, [](VirtualPrinter& p) { return p.Count().cuts == 3; });
    std::vector<std::string> titles;
    for (const std::string& line : Lines(paper)) {
        if (line.find("本次打印第") == 0)
            titles.push_back(line);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"本次打印第0张数据", "本次打印第1张数据",
                                                "本次打印第2张数据"}));
    EXPECT_TRUE(box->With(k001, [](VirtualPrinter& p) { return p.Paper().empty(); }));
}

TEST_F(VirtualPrinterTest, NvLogoIsStoredDotForDotAndPrintedARefusedOneStoresNothing) {
    const auto pattern = [](int x, int y) { return kelvo::testing::TestPattern(x, y, 40, 24); };
    kelvo::testing::TempFile logo(
        "logo.bmp", kelvo::testing::MakeBmp({40, 24, 1, false, false, false, pattern}));
    auto* ports = static_cast<TPortBox*>(form->cbPortName);
    ports->RefreshFound();
    form->cbPortName->setCurrentIndex(ports->OwnCount());
    dialogs->fileAnswers << QString::fromStdString(logo.path());
    form->btn17->click();
    form->btn20->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return box->With(kSerial, [](VirtualPrinter& p) { return !p.NvImages().empty(); }); },
        5000));
    const PaperImage stored =
        box->With(kSerial, [](VirtualPrinter& p) { return p.NvImages().at(0); });
    ASSERT_GE(stored.width, 40);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(stored.dots[y * stored.width + x] != 0, pattern(x, y)) << x << "," << y;
    }
    form->btn21->click();
    auto paper = PaperWhen(kSerial, [](VirtualPrinter& p) {
        return !p.Paper().empty() && std::holds_alternative<PaperImage>(p.Paper().back());
    });
    EXPECT_EQ(std::get<PaperImage>(paper.back()).dots, stored.dots);

    // A file the library refuses never reaches the printer: the stored logo stays.
    kelvo::testing::TempFile bad("bad.bmp", "BM not really");
    dialogs->fileAnswers << QString::fromStdString(bad.path());
    form->btn17->click();
    form->btn20->click();
    EXPECT_EQ(box->With(kSerial, [](VirtualPrinter& p) { return p.NvImages().at(0).dots; }),
              stored.dots);
}

TEST_F(VirtualPrinterTest, PaperOutHoldsTheSerialLineAndThePrintEndsWithTheStallError) {
    form->VirtualPrinterWindow->PaperOut->setChecked(true);
    form->Actions->StallLimitMs = 1000;
    form->ComboBox1->setEditText(pty);
    form->Button9->click();
    form->memo2->setPlainText(QString(20000, QLatin1Char('x')));  // more than the line holds
    kelvo::testing::EventLoopWatch watch;
    form->Button8->click();
    EXPECT_LT(watch.Longest(), std::chrono::milliseconds(400));
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(form->Log->Entries().back().outcome, "I/O error 1110");
}

TEST_F(VirtualPrinterTest, TheReceiptRendersWithItsCutAsATearLine) {
    box->With(kNetwork, [](VirtualPrinter& p) { p.Feed("\x1D\x21\x11Hi\r\n\x1D\x56\x42\x05"); });
    form->VirtualPrinterWindow->Refresh();
    const QImage shot = form->VirtualPrinterWindow->Receipt->Render();
    EXPECT_EQ(shot.width(), kelvo::printer::kPaperDots);
    EXPECT_GT(shot.height(), 48);
    int dark = 0;
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 48; ++x)
            dark += qGray(shot.pixel(x, y)) < 128;
    }
    EXPECT_GT(dark, 50);  // "H" drawn twice as wide and high
}

}  // namespace
