// Renders every page in both languages. With KELVO_SCREENSHOT_DIR set (scripts/screenshots.sh)
// the pictures are kept there; otherwise they go to a temporary directory and are only checked.
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include "testing/WindowFixture.h"

using kelvo::testing::WindowTest;

TEST_F(WindowTest, EveryPageRendersInBothLanguages) {
    QTemporaryDir temp;
    QString dir = qEnvironmentVariable("KELVO_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = temp.path();
    QDir().mkpath(dir);

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
