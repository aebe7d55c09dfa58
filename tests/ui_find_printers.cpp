// Finding printers from the window: the network page's search dialog against loopback printers of
// this suite's own addresses, and the serial page's speed search at a pseudo-terminal.
#include <QAbstractItemModel>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include <chrono>
#include <optional>
#include <string>

#include "app/FindPrinters.h"
#include "printer/PrinterBox.h"
#include "testing/EventLoopWatch.h"
#include "testing/LoopbackPrinter.h"
#include "testing/Pty.h"
#include "testing/StatusResponder.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"

using kelvo::testing::EventLoopWatch;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::Pty;
using namespace std::chrono_literals;

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

// Far under a second: the window painted throughout (the watch ticks every 20 ms).
constexpr auto kResponsive = 400ms;

class FindPrintersTest : public kelvo::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        // Nothing may ever reach the built-in addresses.
        form->IPEdit3->SetIPString(QString::fromStdString(OwnLoopbackHost(9)));
        form->IPEdit1->SetIPString(QString::fromStdString(OwnLoopbackHost(9)));
    }

    TFindPrinters* Open() {
        form->btnFindPrinters->click();
        return form->FindPrintersDialog;
    }
};

}  // namespace

TEST_F(FindPrintersTest, ButtonSitsBesideTheAddressFieldsInBothLanguages) {
    QPushButton* find = form->btnFindPrinters;
    EXPECT_EQ(find->parentWidget(), form->GroupBox1);
    EXPECT_EQ(find->geometry(), QRect(384, 72, 113, 33));
    EXPECT_FALSE(find->isHidden());
    for (QWidget* other : form->GroupBox1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (other != find && !other->isHidden()) {
            EXPECT_FALSE(other->geometry().intersects(find->geometry()))
                << other->objectName().toStdString();
        }
    }
    EXPECT_EQ(find->text(), "Find printers…");
    form->btn13->click();
    EXPECT_EQ(find->text(), "查找打印机…");
    form->btn13->click();
    EXPECT_EQ(find->text(), "Find printers…");

    EXPECT_EQ(form->btnFindSpeed->parentWidget(), form->GroupBox3);
    EXPECT_FALSE(form->btnFindSpeed->geometry().intersects(form->Button9->geometry()));
    EXPECT_FALSE(form->btnFindSpeed->geometry().intersects(form->ComboBox1->geometry()));
    EXPECT_EQ(form->btnFindSpeed->text(), "Find speed");
}

TEST_F(FindPrintersTest, PrintersAppearWhileTheScanRunsAndChoosingOneFillsBothAddresses) {
    // The virtual printer answers both requests at once.
    kelvo::printer::PrinterBox::Options options;
    options.tcp.host = OwnLoopbackHost();
    options.tcp.port = 9100;
    kelvo::printer::PrinterBox printer(options);
    // Accepts and never answers: the scan waits out its answer time for it.
    LoopbackPrinter mute(OwnLoopbackHost(2), 9100, {LoopbackPrinter::Mode::Hold, 0});
    EventLoopWatch watch;

    TFindPrinters* dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    std::optional<bool> muteStillAskedWhenShown;
    QObject::connect(dialog->List->model(), &QAbstractItemModel::rowsInserted, dialog,
                     [&] { muteStillAskedWhenShown = mute.closedConnectionCount() == 0; });
    dialog->RangeEdit->setText(QString::fromStdString(
        OwnLoopbackHost() + "-" + OwnLoopbackHost(3).substr(OwnLoopbackHost(3).rfind('.') + 1)));
    dialog->ScanButton->click();
    EXPECT_TRUE(dialog->Scanning());
    EXPECT_TRUE(dialog->CancelButton->isEnabled());

    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->List->topLevelItemCount() == 1; }, 5000));
    ASSERT_TRUE(muteStillAskedWhenShown.has_value());
    EXPECT_TRUE(*muteStillAskedWhenShown);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Scanning(); }, 5000));
    EXPECT_LT(watch.Longest(), kResponsive);

    const QTreeWidgetItem* row = dialog->List->topLevelItem(0);
    EXPECT_EQ(row->text(0), QString::fromStdString(OwnLoopbackHost()));
    EXPECT_EQ(row->text(1), "00-00-00-00-00-00");  // loopback has no neighbour
    EXPECT_EQ(row->text(2), "0x12: Online, Drawer pin 3: low");
    EXPECT_EQ(row->text(3), "QM417");
    EXPECT_EQ(dialog->Progress->value(), 3);
    EXPECT_TRUE(dialog->Summary->text().startsWith("1 printers among 3 addresses; 1 refused"))
        << dialog->Summary->text().toStdString();
    EXPECT_TRUE(form->Log->Text(true, false)
                    .contains("] Find printers → " + dialog->RangeEdit->text() +
                              " · OK: 1 printers among 3 addresses"))
        << form->Log->Text(true, false).toStdString();

    ASSERT_TRUE(dialog->UseButton->isEnabled());
    dialog->UseButton->click();
    EXPECT_EQ(form->IPEdit3->IPString(), QString::fromStdString(OwnLoopbackHost()));
    EXPECT_EQ(form->IPEdit1->IPString(), QString::fromStdString(OwnLoopbackHost()));
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(FindPrintersTest, CancelEndsTheScanAtOnceAndARangeMistakeIsShown) {
    LoopbackPrinter mute(OwnLoopbackHost(2), 9100, {LoopbackPrinter::Mode::Hold, 0});
    TFindPrinters* dialog = Open();
    dialog->RangeEdit->setText(QString::fromStdString(OwnLoopbackHost(2)));
    dialog->ScanButton->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return mute.connectionCount() == 1; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    dialog->CancelButton->click();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_FALSE(dialog->Scanning());
    EXPECT_TRUE(dialog->ScanButton->isEnabled());
    EXPECT_TRUE(dialog->Summary->text().endsWith("(cancelled)"));

    dialog->RangeEdit->setText("127.0.0.0/8");
    dialog->ScanButton->click();
    EXPECT_FALSE(dialog->Scanning());
    EXPECT_TRUE(dialog->Summary->text().contains("from 16 to 32"))
        << dialog->Summary->text().toStdString();
}

// The serial page: COM3 is a pseudo-terminal whose printer answers at 38400 only.
TEST_F(FindPrintersTest, FindSpeedSetsThePagesSpeedControl) {
    Pty com3;
    kelvo::testing::PortOverride override{"COM3", com3.slavePath()};
    kelvo::testing::PrinterAtSpeed printer(com3, B38400);
    EventLoopWatch watch;
    form->ComboBox1->setEditText("COM3");
    ASSERT_EQ(form->ComboBox2->currentText(), "9600");
    form->btnFindSpeed->click();
    EXPECT_FALSE(form->btnFindSpeed->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->btnFindSpeed->isEnabled(); }, 10000));
    EXPECT_EQ(form->ComboBox2->currentText(), "38400");
    EXPECT_TRUE(form->StatusText().contains("Serial speed found: 38400"))
        << form->StatusText().toStdString();
    EXPECT_TRUE(form->Log->Text(true, false)
                    .contains("] Find speed → COM3 (" + QString::fromStdString(com3.slavePath()) +
                              ") · OK: 38400 baud, status 0x12: Online, Drawer pin 3: low"))
        << form->Log->Text(true, false).toStdString();
    EXPECT_LT(watch.Longest(), kResponsive);
}

TEST_F(FindPrintersTest, FindSpeedAtASilentPortLeavesTheSpeedAndSaysSo) {
    Pty com3;
    kelvo::testing::PortOverride override{"COM3", com3.slavePath()};
    form->ComboBox1->setEditText("COM3");
    form->btnFindSpeed->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->btnFindSpeed->isEnabled(); }, 10000));
    EXPECT_EQ(form->ComboBox2->currentText(), "9600");
    EXPECT_TRUE(form->StatusText().contains("No answer at 115200"))
        << form->StatusText().toStdString();
    EXPECT_TRUE(form->Log->Text(true, false).contains("· FAILED: no answer at 115200"));
}
