// The serial/parallel printer page, driven like a user, with pseudo-terminals standing in for the
// COM and LPT ports and plain files for typed paths.
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>

#include "testing/CaptionFit.h"
#include "testing/WindowFixture.h"

using kelvo::testing::WindowTest;

namespace {

QStringList Items(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

}  // namespace

TEST_F(WindowTest, SerialPageShowsEnglishAtStartAndChineseAfterOneSwitch) {
    EXPECT_EQ(form->GroupBox3->title(), "");
    EXPECT_EQ(form->Label3->text(), "Select port:");
    EXPECT_EQ(form->Label5->text(), "Baud rate:");
    EXPECT_EQ(form->Button9->text(), "Initialize port &W");
    EXPECT_EQ(form->Label4->text(), "");
    EXPECT_EQ(form->Button8->text(), "Test Print &Z");
    EXPECT_EQ(form->Button11->text(), "Open the box &X");
    EXPECT_EQ(form->btn12->text(), "Set Slavic");
    EXPECT_EQ(form->btn3->text(), "Restore factory settings");
    EXPECT_EQ(form->btn3->parentWidget(), form->TabSheet2);  // outside the group box
    EXPECT_EQ(form->Button8->parentWidget(), form->GroupBox3);

    form->btn13->click();
    EXPECT_EQ(form->GroupBox3->title(), "TEST");
    EXPECT_EQ(form->Label3->text(), "端口设置：");
    EXPECT_EQ(form->Label5->text(), "波特率：");
    EXPECT_EQ(form->Button9->text(), "初始化端口&W");
    EXPECT_EQ(form->Label4->text(), "注意：选用串口时要进行初始化端口");
    EXPECT_EQ(form->Button8->text(), "打印测试&Z");
    EXPECT_EQ(form->Button11->text(), "开钱箱测试&X");
    EXPECT_EQ(form->btn12->text(), "设置斯拉夫语");
    EXPECT_EQ(form->btn3->text(), "恢复出厂设置");
    EXPECT_EQ(form->Button5->text(), "串口开钱箱测试");
    EXPECT_EQ(form->Button6->text(), "串口打印测试");
    EXPECT_EQ(form->Label4->palette().color(QPalette::WindowText), QColor(Qt::red));

    // One-text controls read the same in both languages.
    EXPECT_EQ(form->ComboBox1->currentText(), "COM1");
    EXPECT_EQ(form->memo2->toPlainText(), "Print test\n\nPrint the test 2\n\nPrint the test 3\n");
}

TEST_F(WindowTest, SerialPageInitialControls) {
    EXPECT_EQ(form->PageControl1->tabText(form->PageControl1->indexOf(form->TabSheet2)),
              "Serial / parallel printer test");
    EXPECT_EQ(form->ComboBox1->currentText(), "COM1");
    EXPECT_EQ(Items(form->ComboBox1), QStringList({"COM1", "COM2", "COM3", "LPT1", "LPT2", ""}));
    EXPECT_TRUE(form->ComboBox1->isEditable());
    EXPECT_EQ(form->ComboBox2->currentText(), "9600");
    EXPECT_EQ(Items(form->ComboBox2), QStringList({"9600", "38400", "115200"}));
    EXPECT_TRUE(form->ComboBox2->isEditable());
    EXPECT_FALSE(form->Button5->isVisibleTo(form->TabSheet2));
    EXPECT_FALSE(form->Button6->isVisibleTo(form->TabSheet2));
    for (QPushButton* b : {form->Button9, form->Button8, form->Button11, form->btn12, form->btn3}) {
        EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
        EXPECT_TRUE(b->isVisibleTo(form->TabSheet2)) << b->objectName().toStdString();
    }
}

TEST_F(WindowTest, SerialPageCaptionsFitInBothLanguages) {
    form->show();
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    for (const char* language : {"en", "zh"}) {
        const QStringList clipped = kelvo::testing::ClippedCaptions(form->TabSheet2);
        EXPECT_TRUE(clipped.isEmpty()) << language << ": " << clipped.join("; ").toStdString();
        QImage shot = form->grab().toImage();
        EXPECT_TRUE(shot.save(QStringLiteral("/tmp/kelvotool-serial-%1.png").arg(language)));
        form->btn13->click();
    }
}
