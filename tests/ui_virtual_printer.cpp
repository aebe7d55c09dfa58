// The virtual printer as the peer of the window's actions: what each page sends must mean what
// the page says, on the printer's paper, in its stored settings and its counters.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeWidget>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>

#include "app/LabWindow.h"
#include "app/LogPanel.h"
#include "app/ReceiptView.h"
#include "app/VirtualPrinterWindow.h"
#include "jobs/Jobs.h"
#include "links/TcpConnect.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"
#include "paint/GreyPng.h"
#include "paint/ReceiptPainter.h"
#include "printer/PrinterBox.h"
#include "protocol/Commands.h"
#include "testing/BmpFiles.h"
#include "testing/DialogRecorder.h"
#include "testing/EventLoopWatch.h"
#include "testing/Files.h"
#include "testing/RowName.h"
#include "testing/TempDir.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"
#include "widgets/PortBox.h"

using kelvo::printer::PaperCut;
using kelvo::printer::PaperImage;
using kelvo::printer::PaperItem;
using kelvo::printer::PaperLine;
using kelvo::printer::VirtualPrinter;
using namespace std::string_literals;
using namespace std::chrono_literals;

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
    // The MAC goes last, drawn at random: waited for as the page shows it, not as unlike the old.
    const auto shownMac = kelvo::jobs::MacOctets(form->edt2->text().toStdString());
    ASSERT_TRUE(shownMac.has_value()) << form->edt2->text().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settings().mac == *shownMac; }, 5000));
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

TEST_F(VirtualPrinterTest, LabSetReachesTheWindowsPrinterAndItsSwitchesFollow) {
    ASSERT_TRUE(form->VirtualControl);
    EXPECT_EQ(kelvo::AskControl(form->VirtualControl->Path(), "set network cover-open"), "ok");
    form->VirtualPrinterWindow->Refresh();
    EXPECT_TRUE(form->VirtualPrinterWindow->CoverOpen->isChecked());
    form->VirtualPrinterWindow->Error->setChecked(true);
    EXPECT_EQ(box->With(kNetwork, [](VirtualPrinter& p) { return p.StatusByte(2); }), 0x56);
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

// The saved jobs' PNG, read back by Qt's reader: a receipt (drawn too in a kept canvas), noise
// reaching past the compressor's window, a width of no whole word, and one dot.
TEST(GreyPng, ReadsBackDotForDotWithItsDensity) {
    VirtualPrinter printer;
    printer.Feed("\x1D\x21\x11Hi\r\n\x1D\x42\x01 MM\n\x1B\x7B\x01W\n\x1D\x56\x42\x05"s);
    kelvo::paint::ReceiptPainter receipt;
    receipt.SetPaper(printer.Paper());
    std::vector<uchar> canvas(7, 0x55);
    EXPECT_EQ(receipt.Render(canvas), receipt.Render());
    QImage noise(700, 90, QImage::Format_Grayscale8), odd(37, 3, QImage::Format_Grayscale8);
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x)
            noise.scanLine(y)[x] = uchar((x * 7 + y * 13) % 5 ? 255 : (x * 31 + y * y) % 256);
    }
    for (int y = 0; y < odd.height(); ++y) {
        for (int x = 0; x < odd.width(); ++x)
            odd.scanLine(y)[x] = uchar(x * 7 + y);
    }
    QImage dot(1, 1, QImage::Format_Grayscale8);
    dot.fill(0);
    // Seeded runs and rows that repeat the one above but for a few dots: every length of match,
    // and, in the wide one, a row above farther back than deflate's window reaches.
    std::mt19937 seed(7);
    QImage runs(576, 300, QImage::Format_Grayscale8), wide(40000, 3, QImage::Format_Grayscale8);
    for (QImage* picture : {&runs, &wide}) {
        for (int y = 0; y < picture->height(); ++y) {
            uchar* row = picture->scanLine(y);
            if (y > 0 && seed() % 5 < 3) {
                std::memcpy(row, picture->constScanLine(y - 1), size_t(picture->width()));
                for (int k = int(seed() % 4); k > 0; --k)
                    row[seed() % uint(picture->width())] ^= 0xFF;
                continue;
            }
            for (int x = 0; x < picture->width();) {
                const int length = std::min(int(1 + seed() % 600), picture->width() - x);
                const auto value = uchar(seed() % 3 == 0 ? seed() : seed() % 2 ? 255 : 0);
                std::memset(row + x, value, size_t(length));
                x += length;
            }
        }
    }
    for (const QImage& picture : {receipt.Render(), noise, odd, dot, runs, wide}) {
        const QImage back = QImage::fromData(kelvo::paint::GreyPng(picture), "PNG");
        EXPECT_EQ(back.convertToFormat(QImage::Format_Grayscale8), picture) << picture.width();
        EXPECT_EQ(back.dotsPerMeterX(), picture.dotsPerMeterX());
    }
}

// The share of dark dots in a box of the picture.
double DarkShare(const QImage& shot, const QRect& box) {
    int dark = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x)
            dark += qGray(shot.pixel(x, y)) < 128;
    }
    return double(dark) / (box.width() * box.height());
}

TEST_F(VirtualPrinterTest, AReverseRunIsWhiteOnBlackAndAnUpsideDownLineIsTurned) {
    // Line 1: "xx" plain, then two spaces and "MM" reversed (dots 24 to 72), each cell 12 x 24 on
    // the bottom of the 30-dot line. Line 2: "W" upside down, so at the right edge and the top.
    box->With(kNetwork, [](VirtualPrinter& p) {
        p.Feed("xx\x1D\x42\x01  MM\x1D\x42\x00\n\x1B\x7B\x01W\n"s);
    });
    form->VirtualPrinterWindow->Refresh();
    const QImage shot = form->VirtualPrinterWindow->Receipt->Render();
    ASSERT_GE(shot.height(), 60);
    EXPECT_GT(DarkShare(shot, QRect(24, 6, 48, 24)), 0.6);  // the reversed cells, spaces too
    EXPECT_LT(DarkShare(shot, QRect(0, 6, 24, 24)), 0.4);
    EXPECT_EQ(DarkShare(shot, QRect(72, 6, 48, 24)), 0.0);
    EXPECT_GT(DarkShare(shot, QRect(564, 30, 12, 24)), 0.05);
    EXPECT_EQ(DarkShare(shot, QRect(0, 30, 24, 30)), 0.0);
}

// The box around the dark dots inside `box`; empty when there are none.
QRect DarkBounds(const QImage& shot, const QRect& box) {
    QRect bounds;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            if (qGray(shot.pixel(x, y)) < 128)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

TEST_F(VirtualPrinterTest, RunsDrawAtTheirPositionsSpacingAndAreaAndARotatedCharacterLiesDown) {
    // Line 1: margin 100, "M" at position 200, so in the cell from dot 300. Line 2: "MM" with 12
    // dots right of each, centred in an area from dot 200 that is 100 wide: 48 dots from 226.
    // Line 3: "|" turned, wider than it is tall.
    box->With(kNetwork, [](VirtualPrinter& p) {
        p.Feed(
            "\x1D\x4C\x64\x00\x1B\x24\xC8\x00M\n"
            "\x1D\x4C\xC8\x00\x1D\x57\x64\x00\x1B\x61\x01\x1B\x20\x0CMM\n"
            "\x1B\x40\x1B\x56\x01|\n"s);
    });
    form->VirtualPrinterWindow->Refresh();
    const QImage shot = form->VirtualPrinterWindow->Receipt->Render();
    ASSERT_GE(shot.height(), 90);
    EXPECT_EQ(DarkBounds(shot, QRect(0, 0, 300, 30)), QRect());
    EXPECT_GT(DarkShare(shot, QRect(300, 6, 12, 24)), 0.1);
    EXPECT_EQ(DarkBounds(shot, QRect(312, 0, 264, 30)), QRect());
    EXPECT_EQ(DarkBounds(shot, QRect(0, 30, 226, 30)), QRect());
    EXPECT_GT(DarkShare(shot, QRect(226, 36, 12, 24)), 0.1);
    EXPECT_EQ(DarkBounds(shot, QRect(238, 30, 12, 30)), QRect());  // the spacing
    EXPECT_GT(DarkShare(shot, QRect(250, 36, 12, 24)), 0.1);
    EXPECT_EQ(DarkBounds(shot, QRect(262, 30, 314, 30)), QRect());
    const QRect lying = DarkBounds(shot, QRect(0, 60, 12, 30));
    ASSERT_FALSE(lying.isEmpty());
    EXPECT_GT(lying.width(), 2 * lying.height());
}

// A raw client of the printer's own TCP listener, for a thread of its own so that the window's
// loop keeps running.
class Client {
  public:
    explicit Client(const std::string& address) {
        const size_t colon = address.rfind(':');
        EXPECT_EQ(
            kelvo::ConnectTcp(address.substr(0, colon),
                              static_cast<uint16_t>(std::stoi(address.substr(colon + 1))), fd_),
            0);
    }
    bool Send(const std::string& bytes) {
        return kelvo::WriteAll(fd_.get(), bytes.data(), bytes.size(), true).error == 0;
    }
    // Sends `bytes` and DLE EOT 1: the time until the answer (0x12), or nullopt when another
    // answer or none came within 10 s.
    std::optional<std::chrono::milliseconds> Ask(const std::string& bytes) {
        const auto start = std::chrono::steady_clock::now();
        if (!Send(bytes + kelvo::TransmitStatus(1)))
            return std::nullopt;
        char answer = 0;
        const auto r = kelvo::ReadWithin(fd_.get(), &answer, 1, 10s, true);
        if (r.error != 0 || r.count != 1 || answer != '\x12')
            return std::nullopt;
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }
    // Waits up to 10 s for the printer to close the connection.
    bool Closed() {
        char byte = 0;
        const auto r = kelvo::ReadWithin(fd_.get(), &byte, 1, 10s, true);
        return r.error == 0 && r.count == 0;
    }
    void Close() { fd_.reset(); }
    // Up to `n` bytes the printer sends within 5 s.
    std::string Read(size_t n) {
        std::string got(n, '\0');
        size_t have = 0;
        while (have < n) {
            const auto r = kelvo::ReadWithin(fd_.get(), got.data() + have, n - have, 5s, true);
            if (r.error != 0 || r.count == 0)
                break;
            have += r.count;
        }
        got.resize(have);
        return got;
    }

  private:
    kelvo::UniqueFd fd_;
};

std::string NvPrints(size_t bytes) {
    std::string prints;
    while (prints.size() < bytes)
        prints += "\x1C\x70\x01\x00"s;  // FS p 1 0
    return prints;
}

TEST_F(VirtualPrinterTest, NvPrintsKeepStatusAnswersPromptAndTheWindowTicking) {
    std::atomic<bool> done{false};
    std::vector<std::optional<std::chrono::milliseconds>> answers;
    std::thread client([&] {
        Client c(box->TcpAddress());
        // A full-width logo, as a shop stores one.
        answers.push_back(c.Ask(kelvo::testing::ExpectedFsQ(
            576, 800, [](int x, int y) { return kelvo::testing::TestPattern(x, y, 576, 800); })));
        for (int round = 0; round < 4; ++round)
            answers.push_back(c.Ask(NvPrints(4096)));
        done = true;
    });
    kelvo::testing::EventLoopWatch watch;
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, 60000);
    const auto longest = watch.Longest();
    client.join();
    ASSERT_TRUE(finished);
    ASSERT_EQ(answers.size(), 5u);
    for (size_t i = 1; i < answers.size(); ++i) {
        ASSERT_TRUE(answers[i].has_value()) << i;
        EXPECT_LT(*answers[i], 100ms) << "after 4 KiB of NV prints, round " << i;
    }
    EXPECT_LT(longest, 400ms);
    // Every print reached the paper the window shows, each drawn from the one stored picture.
    const auto paper = PaperWhen(
        kNetwork, [](VirtualPrinter& p) { return p.PaperDropped() + p.PaperSize() == 4u * 1024; });
    form->VirtualPrinterWindow->Refresh();
    const auto& shown = form->VirtualPrinterWindow->Receipt->Paper();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(
        std::get<PaperImage>(shown.back()).dots.Identity(),
        box->With(kNetwork, [](VirtualPrinter& p) { return p.NvImages()[0].dots.Identity(); }));
}

// What one client leaves unfinished, and the job record it leaves in the window.
struct Leftover {
    const char* what;
    std::string bytes;
    const char* record;
};

class UnfinishedJobTest : public VirtualPrinterTest,
                          public ::testing::WithParamInterface<Leftover> {};

TEST_P(UnfinishedJobTest, DoesNotReachTheNextClientsStatusRequest) {
    std::optional<std::chrono::milliseconds> answer;
    std::atomic<bool> done{false}, release{false};
    std::thread clients([&] {
        Client first(box->TcpAddress());
        Client next(box->TcpAddress());  // waits behind the first
        first.Send(GetParam().bytes);
        first.Close();
        answer = next.Ask("");
        done = true;
        // Still connected while the window is read: the first job stays the last one ended.
        for (int i = 0; i < 2000 && !release; ++i)
            std::this_thread::sleep_for(5ms);
    });
    const bool answered = QTest::qWaitFor([&] { return done.load(); }, 20000);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(answer.has_value());
    box->With(kNetwork, [](VirtualPrinter& p) { EXPECT_EQ(p.HeldBytes(), 0u); });
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return form->VirtualPrinterWindow->LastJob->text().contains(
                QString::fromUtf8(GetParam().record));
        },
        5000))
        << form->VirtualPrinterWindow->LastJob->text().toStdString();
    release = true;
    clients.join();
}

INSTANTIATE_TEST_SUITE_P(
    VirtualPrinter, UnfinishedJobTest,
    ::testing::Values(
        Leftover{"Raster4GiB", "\x1D\x76\x30\x00\xFF\xFF\xFF\xFF"s + std::string(4096, '\x00'),
                 "1 refused as too large"},
        Leftover{"Raster4MiB", "\x1D\x76\x30\x00\x00\x08\x00\x08"s + std::string(65536, '\x0F'),
                 "unfinished GS v 0 dropped (65544 of 4194312 bytes)"},
        Leftover{"RasterHeader", "\x1D\x76\x30\x00\xFF"s, "unfinished GS v 0 dropped"}),
    kelvo::testing::NamedByWhat());

TEST_F(VirtualPrinterTest, SwitchedOffAndOnItKeepsTheIdleLimitAndPaperItWasStartedWith) {
    form->VirtualPrinterOptions.tcp.idleLimit = 5s;
    form->VirtualPrinterOptions.paperDots = kelvo::printer::kPaper58Dots;
    form->VirtualToggle->click();
    form->VirtualToggle->click();
    ASSERT_NE(form->VirtualPrinterWindow, nullptr);
    EXPECT_EQ(form->VirtualPrinterWindow->IdleLimit->value(), 5);
    EXPECT_EQ(form->VirtualPrinterWindow->PaperWidth->currentData(), kelvo::printer::kPaper58Dots);
}

TEST_F(VirtualPrinterTest, ASilentClientIsClosedAtTheIdleLimitAndTheNextJobPrints) {
    auto* window = form->VirtualPrinterWindow;
    EXPECT_EQ(window->IdleLimit->value(), 30);
    window->IdleLimit->setValue(0);  // never, while the queue is looked at
    const auto start = std::chrono::steady_clock::now();
    Client silent(box->TcpAddress());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->Clients->text().contains("Network client connected"); }, 5000));
    Client next(box->TcpAddress());
    Client last(box->TcpAddress());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window->Clients->text().contains("2 clients waiting"); }, 5000))
        << window->Clients->text().toStdString();
    ASSERT_TRUE(next.Send("next job\n"));
    last.Close();

    window->IdleLimit->setValue(1);  // silent since it came: closed a second after that
    std::atomic<bool> closed{false};
    std::thread watch([&] { closed = silent.Closed(); });
    auto paper = PaperWhen(kNetwork, [](VirtualPrinter& p) { return p.Count().lines == 1; });
    watch.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(Lines(paper), std::vector<std::string>{"next job"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window->LastJob->text().contains("closed at the idle limit"); }, 5000));
}

TEST_F(VirtualPrinterTest, LongFeedsKeepTheRollBoundedAndItsPngIsTheNewestPart) {
    std::string feeds;
    for (int i = 0; i < 300; ++i)
        feeds += "\x1B\x33\xFF\x1B\x64\xFF"s;  // 65025 dots asked, each
    box->With(kNetwork, [&](VirtualPrinter& p) { p.Feed(feeds + "last\n"); });
    auto* window = form->VirtualPrinterWindow;
    window->Refresh();
    const int height = window->Receipt->RollHeight();
    EXPECT_LE(height, kelvo::printer::kPaperHeightDots);
    EXPECT_GT(height, TReceiptView::kMaxRenderRows);

    kelvo::testing::TempFile png("roll.png", "");
    dialogs->fileAnswers << QString::fromStdString(png.path());
    window->SavePng->click();
    const QImage saved(QString::fromStdString(png.path()));
    EXPECT_EQ(saved.width(), kelvo::printer::kPaperDots);
    EXPECT_EQ(saved.height(), TReceiptView::kMaxRenderRows);
    // The newest part: "last" at the bottom.
    int dark = 0;
    for (int y = saved.height() - 24; y < saved.height(); ++y) {
        for (int x = 0; x < 60; ++x)
            dark += qGray(saved.pixel(x, y)) < 128;
    }
    EXPECT_GT(dark, 20);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].icon, Dialogs::Icon::Information);
    EXPECT_TRUE(dialogs->boxes[0].text.contains("newest 32768 dots"));
}

// A whole job from a client of its own: connected, sent, closed.
void PrintOverTcp(const std::string& address, const std::string& bytes) {
    Client client(address);
    EXPECT_TRUE(client.Send(bytes));
}

// Bytes written to the serial line as the tool's port would, from the pseudo-terminal's slave.
void PrintOverPty(const QString& path, const std::string& bytes) {
    kelvo::UniqueFd fd(::open(path.toLocal8Bit().constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    EXPECT_EQ(kelvo::WriteAll(fd.get(), bytes.data(), bytes.size(), false).error, 0);
}

class JobListTest : public VirtualPrinterTest {
  protected:
    void SetUp() override {
        VirtualPrinterTest::SetUp();
        window = form->VirtualPrinterWindow;
        jobs = window->JobList;
    }
    // Waits until the list holds `n` jobs, all ended.
    bool JobsListed(int n) {
        return QTest::qWaitFor(
            [&] {
                for (int i = 0; i < jobs->topLevelItemCount(); ++i) {
                    if (jobs->topLevelItem(i)->text(3).contains("printing"))
                        return false;
                }
                return jobs->topLevelItemCount() == n;
            },
            5000);
    }
    QTreeWidgetItem* JobPrinting(const QString& text) {
        for (int i = 0; i < jobs->topLevelItemCount(); ++i) {
            if (jobs->topLevelItem(i)->text(3).contains(text))
                return jobs->topLevelItem(i);
        }
        return nullptr;
    }
    QImage SavedPng() {
        kelvo::testing::TempFile png("job.png", "");
        dialogs->fileAnswers << QString::fromStdString(png.path());
        window->SavePng->click();
        return QImage(QString::fromStdString(png.path()))
            .convertToFormat(QImage::Format_Grayscale8);
    }

    TVirtualPrinterWindow* window = nullptr;
    QTreeWidget* jobs = nullptr;
};

TEST_F(JobListTest, ASerialPrintAfterANetworkPrintShowsItsPaperAndEachJobIsListed) {
    {
        // A client holding its connection, as the network page does: its job shows as it goes.
        Client client(box->TcpAddress());
        ASSERT_TRUE(client.Send("network receipt\n"));
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return jobs->topLevelItemCount() == 1 &&
                       jobs->topLevelItem(0)->text(3) == "“network receipt”, 1 line (printing…)";
            },
            5000));
        ASSERT_TRUE(client.Send("\x1D\x56\x01"s));
    }
    ASSERT_TRUE(JobsListed(1));
    EXPECT_EQ(window->PrinterChoice->currentIndex(), kNetwork);
    PrintOverPty(pty, "serial receipt\n");
    // The frame ends when the line pauses: the job is listed then, newest at the top.
    ASSERT_TRUE(JobsListed(2));
    EXPECT_EQ(window->PrinterChoice->currentIndex(), kSerial);
    EXPECT_EQ(Lines(window->Receipt->Paper()), std::vector<std::string>{"serial receipt"});
    const QTreeWidgetItem* serial = jobs->topLevelItem(0);
    EXPECT_EQ(serial->text(1), "serial " + pty);
    EXPECT_EQ(serial->text(2), "15");
    EXPECT_EQ(serial->text(3), "“serial receipt”, 1 line");
    const QTreeWidgetItem* network = jobs->topLevelItem(1);
    EXPECT_TRUE(network->text(1).startsWith("TCP " + host + ":")) << network->text(1).toStdString();
    EXPECT_EQ(network->text(2), "19");
    EXPECT_EQ(network->text(3), "“network receipt”, 1 line, 1 cut");
    EXPECT_EQ(QTime::fromString(network->text(0), "HH:mm:ss").isValid(), true);

    // Picked by the user, the network paper stays until a print elsewhere: a wireless frame.
    window->PrinterChoice->setCurrentIndex(kNetwork);
    PrintOverPty(pty, kelvo::WirelessDataHeader() + "002" + "radio\n");
    ASSERT_TRUE(JobsListed(3));
    EXPECT_EQ(window->PrinterChoice->currentIndex(), k002);
    EXPECT_EQ(jobs->topLevelItem(0)->text(1), "wireless 002");
    EXPECT_EQ(Lines(window->Receipt->Paper()), std::vector<std::string>{"radio"});

    window->SetEnglish(false);
    EXPECT_EQ(jobs->topLevelItem(0)->text(3), QString::fromUtf8("“radio”, 1 行"));
    EXPECT_EQ(jobs->headerItem()->text(3), QString::fromUtf8("打印内容"));
}

// A job of `lines` numbered lines, each naming the job.
std::string Receipt(const std::string& name, int lines) {
    std::string bytes;
    for (int i = 0; i < lines; ++i)
        bytes += name + " " + std::to_string(i) + "\n";
    return bytes + "\x1D\x56\x01"s;
}

TEST_F(JobListTest, PickingAJobScrollsToItAndItsPngHoldsThatJobAlone) {
    PrintOverTcp(box->TcpAddress(), Receipt("first", 40));
    ASSERT_TRUE(JobsListed(1));
    PrintOverTcp(box->TcpAddress(), Receipt("second", 40));
    ASSERT_TRUE(JobsListed(2));
    QTreeWidgetItem* second = JobPrinting("“second 0”");
    ASSERT_NE(second, nullptr);
    second->setSelected(true);
    const int top = window->Receipt->TopOf(41);  // after the first job's 40 lines and cut
    EXPECT_EQ(top, 40 * 30 + kelvo::printer::kCutDots);
    QScrollBar* bar = window->Roll->verticalScrollBar();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return bar->value() == std::min(top, bar->maximum()); }, 5000))
        << bar->value();
    EXPECT_GT(bar->value(), 0);

    // The PNG: just the first job's items, drawn as the view draws them alone.
    jobs->clearSelection();
    JobPrinting("“first 0”")->setSelected(true);
    const QImage saved = SavedPng();
    const auto paper = box->With(kNetwork, [](VirtualPrinter& p) { return p.Paper(); });
    TReceiptView alone;
    alone.SetPaper({paper.begin(), paper.begin() + 41});
    EXPECT_EQ(saved.size(), QSize(kelvo::printer::kPaperDots, top));
    EXPECT_TRUE(saved == alone.Render().convertToFormat(QImage::Format_Grayscale8));
    TReceiptView other;
    other.SetPaper({paper.begin() + 41, paper.end()});
    EXPECT_FALSE(saved == other.Render().convertToFormat(QImage::Format_Grayscale8));
    // Its drawing kept, a picture's dots still go with the paper.
    kelvo::printer::PaperImage picture{8, 8, std::vector<uint8_t>(64, 1)};
    other.SetPaper({picture});
    other.Render();
    other.SetPaper({});
    EXPECT_EQ(picture.dots.Owner().use_count(), 2);  // `picture` and this copy

    // No job picked: the whole roll, as before.
    jobs->clearSelection();
    EXPECT_EQ(SavedPng().height(), 2 * top);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(JobListTest, FiftyEightMillimetrePaperWrapsAt32CharactersAndSavesA384DotPng) {
    window->PaperWidth->setCurrentIndex(window->PaperWidth->findText("58 mm (384 dots)"));
    for (int printer = 0; printer < kelvo::printer::PrinterBox::kPrinters; ++printer)
        EXPECT_EQ(box->With(printer, [](VirtualPrinter& p) { return p.PaperWidth(); }), 384);
    PrintOverTcp(box->TcpAddress(), std::string(40, 'x') + "\n");
    ASSERT_TRUE(JobsListed(1));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->Receipt->Paper().size() == 2; }, 5000));
    EXPECT_EQ(Lines(window->Receipt->Paper()),
              (std::vector<std::string>{std::string(32, 'x'), std::string(8, 'x')}));
    EXPECT_EQ(window->Receipt->PaperWidth(), 384);
    const QImage saved = SavedPng();
    EXPECT_EQ(saved.size(), QSize(384, 60));
    // The 32nd character reaches the paper's right edge.
    EXPECT_GT(DarkShare(saved, QRect(372, 6, 12, 24)), 0.05);
    jobs->topLevelItem(0)->setSelected(true);
    EXPECT_EQ(SavedPng().width(), 384);
}

// render --compare, as a build pipeline runs it: the same receipt sent in other pieces, with
// ESC ! for GS ! and a position for blanks, is the same paper; one changed price exits 1, names
// its line, and the diff picture marks dots in that line's rows and nowhere else.
TEST(Render, ComparesWithAGoldenAndMarksOnlyTheChangedLine) {
    const std::string cut = "\x1D\x56\x42\x05";
    auto receipt = [&](const std::string& cake) {
        return "\x1B@\x1D!\x11KELVO CAFE\n\x1D!\x00"
               "Coffee      2.50\nCake        "s +
               cake + "\nTOTAL       5.70\n" + cut;
    };
    const std::string again =
        "\x1B@\x1B!\x30KELVO \x1B\x45\x00"
        "CAFE\n\x1B!\x00"
        "Coffee\x1B$\x90\x00"
        "2.50\nCa"
        "ke        3.20\nTOTAL       5.70\n"s +
        cut;
    kelvo::testing::TempDir dir;
    kelvo::testing::WriteFile(dir / "a.bin", receipt("3.20"));
    kelvo::testing::WriteFile(dir / "b.bin", again);
    kelvo::testing::WriteFile(dir / "c.bin", receipt("3.90"));
    auto run = [&](QStringList args) {
        QProcess program;
        program.start(QStringLiteral(KELVO_PROGRAM), QStringList{QStringLiteral("render")} + args);
        EXPECT_TRUE(program.waitForFinished(30000));
        return std::pair{program.exitCode(), program.readAllStandardOutput().toStdString()};
    };
    auto in = [&](const char* name) { return QString::fromStdString(dir / name); };
    EXPECT_EQ(run({in("a.bin"), "-o", in("golden.png")}).first, 0);
    EXPECT_EQ(run({in("b.bin"), "--compare", in("golden.png")}), std::pair(0, std::string()));
    const auto [status, summary] = run({in("c.bin"), "--compare", in("golden.png")});
    EXPECT_EQ(status, 1);
    EXPECT_NE(summary.find(": line 3 \"Cake        3.90\"\n  diff: " + dir / "golden.diff.png"),
              std::string::npos)
        << summary;
    // The line's rows, as the painter lays the paper out.
    VirtualPrinter printer;
    printer.Feed(receipt("3.90"));
    kelvo::paint::ReceiptPainter painter;
    painter.SetPaper(printer.Paper());
    const QImage diff(in("golden.diff.png"));
    ASSERT_EQ(diff.height(), painter.RollHeight());
    int marked = 0;
    for (int y = 0; y < diff.height(); ++y) {
        for (int x = 0; x < diff.width(); ++x) {
            const QRgb dot = diff.pixel(x, y);
            if (qRed(dot) == qGreen(dot))
                continue;  // grey or white: unchanged
            ++marked;
            EXPECT_TRUE(y >= painter.TopOf(2) && y < painter.TopOf(3)) << x << "," << y;
        }
    }
    EXPECT_GT(marked, 20);
    // The paper a dot to the right passes within a tolerance of one dot; a line more is named.
    kelvo::testing::WriteFile(dir / "d.bin", "\x1B@\x1DL\x01\x00"s + receipt("3.20").substr(2));
    EXPECT_EQ(run({in("d.bin"), "--compare", in("golden.png")}).first, 1);
    EXPECT_EQ(run({in("d.bin"), "--compare", in("golden.png"), "--tolerance", "1"}).first, 0);
    kelvo::testing::WriteFile(dir / "e.bin", receipt("3.20") + "More\n");
    EXPECT_NE(run({in("e.bin"), "--compare", in("golden.png")}).second.find("  size: "),
              std::string::npos);
    EXPECT_EQ(run({in("c.bin"), "--text"}).second,
              "KELVO CAFE\nCoffee      2.50\nCake        3.90\nTOTAL       5.70\n--- cut ---\n");
}

// The program refuses a paper it does not take before it opens anything.
class PaperOption : public ::testing::TestWithParam<const char*> {};

TEST_P(PaperOption, IsRefusedWithExitStatus2) {
    QProcess program;
    program.start(QStringLiteral(KELVO_PROGRAM),
                  {QStringLiteral("--virtual-printer-only"),
                   QStringLiteral("--virtual-printer-paper=%1").arg(GetParam())});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 2);
    EXPECT_TRUE(program.readAllStandardError().contains(
        "kelvotool: --virtual-printer-paper takes 58 or 80 (mm)\n"));
    EXPECT_TRUE(program.readAllStandardOutput().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(VirtualPrinter, PaperOption, ::testing::Values("70", "58mm", "576", ""));

TEST_F(VirtualPrinterTest, TheStatusSwitchesSendAutomaticStatusAndTheQueueNamesItsClients) {
    auto* window = form->VirtualPrinterWindow;
    std::atomic<int> read{0};  // status reports read
    std::string atOnce, cover;
    std::thread clients([&] {
        Client a(box->TcpAddress());
        Client b(box->TcpAddress());  // waits behind the first
        a.Send("\x1D\x61\x02"s);      // GS a: online and offline, the cover with them
        atOnce = a.Read(4);
        read = 1;
        cover = a.Read(4);
        read = 2;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return read.load() == 1; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QString text = window->Clients->text();
            return text.contains("Network client connected: " + host + ":") &&
                   text.contains("1 client waiting: " + host + ":");
        },
        5000))
        << window->Clients->text().toStdString();
    window->CoverOpen->setChecked(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return read.load() == 2; }, 10000));
    clients.join();
    EXPECT_EQ(atOnce, "\x10\x00\x00\x00"s);
    EXPECT_EQ(cover, "\x38\x00\x00\x00"s);
}

TEST(LabWindow, ListsEveryPrinterWithItsPaperStateAndJobsAndShowsThePickedOnesPanel) {
    std::vector<std::unique_ptr<kelvo::printer::PrinterBox>> boxes;
    std::vector<TLabWindow::Printer> printers;
    for (const int dots : {kelvo::printer::kPaper58Dots, kelvo::printer::kPaper80Dots}) {
        kelvo::printer::PrinterBox::Options options;
        options.tcp = {kelvo::testing::OwnLoopbackHost(30), 0};
        options.serial = false;
        options.paperDots = dots;
        boxes.push_back(std::make_unique<kelvo::printer::PrinterBox>(options));
        printers.push_back({QString::number(dots), boxes.back().get()});
    }
    kelvo::testing::DialogRecorder dialogs;
    TLabWindow window(printers, dialogs);
    kelvo::printer::StatusFlags out;
    out.paperOut = true;
    boxes[1]->SetFlags(out);
    Client(boxes[0]->TcpAddress()).Send("\x1B\x40Lab\n"s);
    QTreeWidget* list = window.Printers;
    const auto row = [&](int i, int column) { return list->topLevelItem(i)->text(column); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return row(0, TLabWindow::kJobs) == "1"; }, 5000));
    EXPECT_EQ(row(0, TLabWindow::kPaper), "58 mm");
    EXPECT_EQ(row(1, TLabWindow::kPaper), "80 mm");
    EXPECT_EQ(row(0, TLabWindow::kState), "ready");
    EXPECT_EQ(row(1, TLabWindow::kState), "paper out");
    EXPECT_EQ(row(1, TLabWindow::kTcp).toStdString(), boxes[1]->TcpAddress());
    list->setCurrentItem(list->topLevelItem(1));
    ASSERT_EQ(window.Panels->currentWidget(), window.Panel(1));
    window.Panel(1)->Refresh();
    EXPECT_EQ(window.Panel(1)->Endpoints->text().toStdString(),
              "TCP: " + boxes[1]->TcpAddress() + "\nSerial line: none");
}

TEST(VirtualPrinterWindow, OpenWebPageShowsOnlyWhileAPageIsServedAndOpensItInTheBrowser) {
    kelvo::printer::PrinterBox::Options options;
    options.tcp = {kelvo::testing::OwnLoopbackHost(31), 0};
    options.serial = false;
    kelvo::printer::PrinterBox box(options);
    kelvo::testing::DialogRecorder dialogs;
    TVirtualPrinterWindow window(box, dialogs);
    window.show();
    EXPECT_FALSE(window.OpenPage->isVisible());
    window.SetPageUrl("http://127.0.0.1:8080/");
    QTest::mouseClick(window.OpenPage, Qt::LeftButton);
    EXPECT_EQ(dialogs.state()->urlsOpened, QStringList{"http://127.0.0.1:8080/"});
}
}  // namespace
