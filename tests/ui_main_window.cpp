#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "protocol/GbkText.h"

#include "testing/DialogRecorder.h"
#include "testing/Files.h"
#include "testing/WindowFixture.h"

using kelvo::testing::WindowTest;
namespace fs = std::filesystem;

namespace {

QStringList VisibleTabs(const QTabWidget* pages) {
    QStringList out;
    for (int i = 0; i < pages->count(); ++i) {
        if (pages->isTabVisible(i))
            out << pages->tabText(i);
    }
    return out;
}

}  // namespace

TEST_F(WindowTest, OpensInEnglishWithTheSixthPageHidden) {
    EXPECT_EQ(form->windowTitle(), "Kelvotool ver 6.5");
    EXPECT_EQ(VisibleTabs(form->PageControl1),
              QStringList({"Network printer test", "Serial / parallel printer test",
                           "Wireless printer test", "QM419 printer parameters", "NV LOGO"}));
    EXPECT_EQ(form->btn13->text(), "Chinese");
    EXPECT_EQ(form->StatusText(), "Wait ....");
    EXPECT_EQ(form->PageControl1->currentWidget(), form->TabSheet4);
    EXPECT_FALSE(form->TabSheet3->isEnabled());
    EXPECT_TRUE(dialogs->boxes.empty());
}

// The form lends its font to the application only while it is built: dialogs keep theirs, and
// every text edit ends in the form's font. Every drop-down list's popup scrolls as needed.
TEST_F(WindowTest, BuildingTheFormLeavesTheApplicationFontAndListsAsTheyShow) {
    const QFont before = QApplication::font();
    ASSERT_NE(before, form->font());
    TForm1 second(std::make_unique<kelvo::testing::DialogRecorder>());
    EXPECT_EQ(QApplication::font(), before);
    for (TForm1* built : {form.get(), &second}) {
        for (const QPlainTextEdit* memo : built->findChildren<QPlainTextEdit*>()) {
            EXPECT_EQ(memo->font(), built->font()) << memo->objectName().toStdString();
            EXPECT_EQ(memo->document()->defaultFont(), memo->font())
                << memo->objectName().toStdString();
        }
    }
    int lists = 0;
    for (QComboBox* box : form->findChildren<QComboBox*>()) {
        if (box->isEditable())
            continue;
        ++lists;
        EXPECT_EQ(box->view()->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded)
            << box->objectName().toStdString();
    }
    EXPECT_GE(lists, 7);
}

TEST_F(WindowTest, LanguageButtonExchangesTextsAndTwoPressesRestore) {
    form->btn13->click();
    EXPECT_EQ(VisibleTabs(form->PageControl1),
              QStringList({"网口打印机IP设置", "串口/并口打印机测试", "无线打印机测试",
                           "QM419 专用参数", "NV LOGO"}));
    EXPECT_EQ(form->btn13->text(), "Language   English");
    EXPECT_EQ(form->OtherText(form->btn13), "Chinese");
    EXPECT_EQ(form->StatusText(), "Wait ....");  // the status line has one language

    form->btn13->click();
    EXPECT_EQ(form->btn13->text(), "Chinese");
    EXPECT_EQ(VisibleTabs(form->PageControl1).first(), "Network printer test");
    for (int i = 0; i < 5; ++i) {
        form->btn13->click();
        EXPECT_FALSE(
            form->PageControl1->isTabVisible(form->PageControl1->indexOf(form->TabSheet3)));
    }
    EXPECT_EQ(form->PageControl1->currentWidget(), form->TabSheet4);
}

TEST_F(WindowTest, UncaughtFailureReachesTheErrorBoxWithTheFullStopRule) {
    // The drawer button is not guarded: its output's own failure ("File access denied", a
    // directory) reaches the error box, with the full stop added.
    form->ComboBox1->setEditText("/");
    form->Button11->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "File access denied.");
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_EQ(dialogs->boxes[0].icon, Dialogs::Icon::Error);
}

TEST_F(WindowTest, SerialComponentCarriesTheWindowsValues) {
    EXPECT_EQ(form->Comm1->CommName(), "COM3");
    EXPECT_EQ(form->Comm1->BaudRate(), 115200u);
    EXPECT_EQ(form->Comm1->StopBits(), TStopBits::_2);
    EXPECT_EQ(form->Comm1->ByteSize(), TByteSize::_8);
    EXPECT_TRUE(form->Comm1->Outx_XonXoffFlow());
    EXPECT_TRUE(form->Comm1->Inx_XonXoffFlow());
    EXPECT_FALSE(form->Comm1->IsOpen());
    EXPECT_EQ(form->IdTCPClient1.GetState(), kelvo::NetworkLink::State::Idle);
}

TEST_F(WindowTest, AHugeMemoReadInSlicesIsExactlyItsPlainText) {
    // Nbsp and the line separator (Shift+Return) are what toPlainText rewrites besides joining.
    QString text = QStringLiteral("first\u00a0line\u2028same block\n\n");
    while (text.size() < (1 << 21))
        text += QStringLiteral("a line of the memo, 中文 too\n");
    form->memo2->setPlainText(text + QStringLiteral("no line end"));
    const fs::path file = fs::temp_directory_path() / ("kelvo-memo-" + std::to_string(::getpid()));
    form->ComboBox1->setEditText(QString::fromStdString(file.string()));
    form->Button8->click();
    EXPECT_FALSE(form->Actions->Busy());
    QString lines = form->memo2->toPlainText();
    lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const std::string page = "\x1D\x21\x11" + kelvo::ToGbk("QM417测试打印开始") + "\r\r\n" +
                             std::string("\x1D\x21\x00", 3) + kelvo::ToGbk(lines.toStdString()) +
                             "\r\n" + "\x1D\x56\x42\x05\r\n";
    const std::string written = kelvo::testing::FileBytes(file);
    fs::remove(file);
    EXPECT_TRUE(written == page) << written.size() << " bytes, expected " << page.size();
    EXPECT_TRUE(dialogs->boxes.empty());
}
