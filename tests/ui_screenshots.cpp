// Renders every page in both languages. With KELVO_SCREENSHOT_DIR set (scripts/screenshots.sh)
// the pictures are kept there; otherwise they go to a temporary directory and are only checked.
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include "app/LogPanel.h"
#include "app/VirtualPrinterWindow.h"
#include "printer/PrinterBox.h"
#include "testing/LoopbackPrinter.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"
#include "widgets/PortBox.h"

using kelvo::testing::WindowTest;

namespace {
QString ShotDir(const QTemporaryDir& temp) {
    QString dir = qEnvironmentVariable("KELVO_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = temp.path();
    QDir().mkpath(dir);
    return dir;
}
}  // namespace

TEST_F(WindowTest, EveryPageRendersInBothLanguages) {
    QTemporaryDir temp;
    const QString dir = ShotDir(temp);
    form->show();
    const struct {
        QWidget* page;
        const char* name;
    } pages[] = {{form->TabSheet1, "network"},
                 {form->TabSheet2, "serial"},
                 {form->ts1, "wireless"},
                 {form->TabSheet4, "parameters"},
                 {form->ts2, "nvlogo"}};
    for (const char* language : {"en", "zh"}) {
        for (const auto& p : pages) {
            form->PageControl1->setCurrentWidget(p.page);
            QImage shot = form->grab().toImage();
            ASSERT_FALSE(shot.isNull());
            EXPECT_GE(shot.width(), 600);
            const QString file = QStringLiteral("%1/%2-%3.png").arg(dir, p.name, language);
            EXPECT_TRUE(shot.save(file)) << file.toStdString();
        }
        form->btn13->click();
    }
}

// The activity log beside the pages after a test page and a status request.
TEST_F(WindowTest, TheActivityLogRendersInBothLanguages) {
    QTemporaryDir temp;
    const QString dir = ShotDir(temp);
    kelvo::testing::LoopbackPrinter printer(kelvo::testing::OwnLoopbackHost());
    printer.setStatusAnswers({0x12, 0x12, 0x12, 0x7E});
    form->IPEdit3->SetIPString(QString::fromStdString(kelvo::testing::OwnLoopbackHost()));
    form->show();
    form->PageControl1->setCurrentWidget(form->TabSheet1);
    form->Button1->click();
    form->Button3->click();
    form->LogToggle->click();
    form->LogPanel->StatusButton->click();
    for (const char* language : {"en", "zh"}) {
        QImage shot = form->grab().toImage();
        EXPECT_GE(shot.width(), 1000);
        const QString file = QStringLiteral("%1/log-%2.png").arg(dir, language);
        EXPECT_TRUE(shot.save(file)) << file.toStdString();
        form->btn13->click();
    }
}

// The virtual printer's window after a network test page, a wireless print and an NV logo.
TEST_F(WindowTest, TheVirtualPrinterRendersWhatThePagesSent) {
    QTemporaryDir temp;
    const QString dir = ShotDir(temp);
    form->IPEdit1->SetIPString(QString::fromStdString(kelvo::testing::OwnLoopbackHost(2)));
    ASSERT_TRUE(form->SetVirtualPrinter(true));
    kelvo::printer::PrinterBox& box = *form->VirtualPrinter;
    const std::string address = box.TcpAddress();
    form->IPEdit3->SetIPString(QString::fromStdString(address.substr(0, address.rfind(':'))));
    form->Button1->click();
    form->Button3->click();
    QImage logo(384, 96, QImage::Format_Mono);
    logo.fill(1);
    {
        QPainter p(&logo);
        p.setPen(Qt::black);
        p.setBrush(Qt::black);
        p.drawRoundedRect(QRect(4, 4, 376, 88), 16, 16);
        p.setPen(Qt::white);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(48);
        font.setBold(true);
        p.setFont(font);
        p.drawText(logo.rect(), Qt::AlignCenter, QStringLiteral("KELVO"));
    }
    const QString logoPath = temp.filePath(QStringLiteral("logo.bmp"));
    ASSERT_TRUE(logo.save(logoPath, "BMP"));
    dialogs->fileAnswers << logoPath;
    form->btn17->click();
    auto* ports = static_cast<TPortBox*>(form->cbPortName);
    ports->RefreshFound();
    form->cbPortName->setCurrentIndex(ports->OwnCount());
    form->btn20->click();
    form->btn21->click();
    // Opening the port again flushes what the printer has not read yet: wait until it has.
    const auto logoPrinted = [](kelvo::printer::VirtualPrinter& p) {
        return !p.NvImages().empty() && p.PaperSize() > 0;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.With(1, logoPrinted); }, 10000))
        << form->Log->Text(true, false).toStdString();
    // The wireless print after the logo: its header addresses printer 002 until the line pauses.
    form->cbb1->setEditText(QString::fromStdString(box.PtyPath()));
    form->btn1->click();
    form->btn2->click();
    auto* window = form->VirtualPrinterWindow;
    window->show();
    const struct {
        int printer;
        const char* name;
        std::function<bool(kelvo::printer::VirtualPrinter&)> ready;
    } shots[] = {
        {0, "vprinter-testpage", [](auto& p) { return p.Count().cuts >= 1; }},
        {3, "vprinter-wireless", [](auto& p) { return p.Count().cuts >= 1; }},  // with the cut
        {1, "vprinter-nvlogo", logoPrinted},
    };
    for (const auto& shot : shots) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return box.With(shot.printer, shot.ready); }, 5000))
            << shot.name;
        // Looked at first, so that the window has followed the printing before the pick.
        window->Refresh();
        window->PrinterChoice->setCurrentIndex(shot.printer);
        window->Refresh();
        EXPECT_EQ(window->PrinterChoice->currentIndex(), shot.printer) << shot.name;
        const QString file = QStringLiteral("%1/%2.png").arg(dir, shot.name);
        EXPECT_TRUE(window->grab().toImage().save(file)) << file.toStdString();
    }
}
