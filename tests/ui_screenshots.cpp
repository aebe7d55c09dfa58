// Renders every page in both languages. With KELVO_SCREENSHOT_DIR set (scripts/screenshots.sh)
// the pictures are kept there; otherwise they go to a temporary directory and are only checked.
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include "app/LogPanel.h"
#include "testing/LoopbackPrinter.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"

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
