// The network printer page driven like a user, against a recording printer on this suite's own
// loopback address. Every connect is aimed at a loopback address first.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>

#include <chrono>
#include <string>
#include <thread>

#include "links/NetworkLink.h"
#include "protocol/GbkText.h"
#include "testing/ByteText.h"
#include "testing/Eventually.h"
#include "testing/LoopbackPrinter.h"
#include "testing/NetnsHost.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"

using kelvo::testing::Bytes;
using kelvo::testing::Hex;

using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;

// Failure messages show QStrings as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

const char kConnected[] = "连接打印机成功！(Connect the printer to success)";
const char kConnectFailed[] = "连接打印机失败！请检查IP地址是否正确！(Connect the printer failure)";

// The printer accepts in its own thread: give it a bounded moment to count a connection.
bool WaitForConnections(const LoopbackPrinter& printer, size_t n) {
    kelvo::testing::Eventually([&] { return printer.connectionCount() >= n; },
                               std::chrono::seconds(3));
    return printer.connectionCount() == n;
}

class NetworkPageTest : public kelvo::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        host = QString::fromStdString(OwnLoopbackHost());
        // Nothing may ever reach the built-in addresses: both address fields point home.
        form->IPEdit3->SetIPString(host);
        form->IPEdit1->SetIPString(QString::fromStdString(OwnLoopbackHost(2)));
    }

    // The send buttons of the parameter page that connect and disconnect switch.
    std::vector<QPushButton*> ParameterSendButtons() const {
        return {form->Button16, form->Button14, form->btn14, form->btn15, form->Button18};
    }

    void Connect(LoopbackPrinter& printer, QPushButton* button = nullptr) {
        (button ? button : form->Button1)->click();
        ASSERT_EQ(form->StatusText(), kConnected);
        ASSERT_TRUE(WaitForConnections(printer, 1));
    }

    QString host;
};

TEST_F(NetworkPageTest, StartsWithThePagesControlsPlacedAndOnlyTheConnectionControlsLive) {
    EXPECT_EQ(form->GroupBox1->geometry(), QRect(0, 24, 505, 201));
    EXPECT_EQ(form->IPEdit1->geometry(), QRect(128, 32, 125, 33));
    EXPECT_EQ(form->Button1->geometry(), QRect(264, 32, 97, 25));
    EXPECT_EQ(form->btn6->geometry(), QRect(408, 136, 89, 33));
    EXPECT_EQ(form->GroupBox2->geometry(), QRect(8, 232, 497, 145));
    EXPECT_EQ(form->Memo1->parentWidget(), form->GroupBox2);

    EXPECT_FALSE(form->Button2->isEnabled());
    EXPECT_FALSE(form->GroupBox2->isEnabled());
    EXPECT_FALSE(form->Button3->isEnabled());  // inside the disabled group
    EXPECT_FALSE(form->edt2->isEnabled());
    EXPECT_FALSE(form->edt3->isEnabled());
    EXPECT_TRUE(form->edt2->text().isEmpty());
    EXPECT_TRUE(form->edt3->text().isEmpty());
    for (QPushButton* b : {form->Button1, form->Button7, form->btn7, form->btn6}) {
        EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    }
    EXPECT_TRUE(form->btn10->isHidden());
    EXPECT_TRUE(form->btn11->isHidden());
    EXPECT_EQ(form->IPEdit2->IPString(), "192.168.1.123");
    EXPECT_TRUE(form->Button13->isEnabled());
    EXPECT_FALSE(form->Button15->isEnabled());
    EXPECT_EQ(form->Memo1->toPlainText(), "Print test\n\nPrint the test 2\n\nPrint the test 3\n\n");

    // English at start; the warning label has no English text.
    EXPECT_EQ(form->GroupBox1->title(), "Set ip");
    EXPECT_EQ(form->Button1->text(), "Connection");
    EXPECT_EQ(form->btn7->text(), "Randomly generated MAC");
    EXPECT_EQ(form->Button3->text(), "Test Print &Z");
    EXPECT_EQ(form->Label1->text(), "Printer IP :");
    EXPECT_TRUE(form->lbl6->text().isEmpty());
    form->btn13->click();
    EXPECT_EQ(form->GroupBox1->title(), "设置打印机IP");
    EXPECT_EQ(form->Button1->text(), "连接 &Q");
    EXPECT_EQ(form->Button4->text(), "开钱箱测试 &X");
    EXPECT_EQ(form->lbl5->text(), "此打印机MAC为：");
    EXPECT_TRUE(form->lbl6->text().startsWith("注意："));
}

TEST_F(NetworkPageTest, ConnectReachesIPEdit3AndSwitchesBothPages) {
    LoopbackPrinter printer(host.toStdString());
    LoopbackPrinter other(OwnLoopbackHost(2));  // IPEdit1's address: never connected to
    form->Button1->click();
    EXPECT_EQ(form->StatusText(), kConnected);
    EXPECT_TRUE(WaitForConnections(printer, 1));
    EXPECT_EQ(other.settle(), "");
    EXPECT_EQ(other.connectionCount(), 0u);
    EXPECT_TRUE(form->Button2->isEnabled());
    EXPECT_TRUE(form->GroupBox2->isEnabled());
    EXPECT_TRUE(form->Button15->isEnabled());
    for (QPushButton* b : ParameterSendButtons())
        EXPECT_TRUE(b->isEnabled());
    EXPECT_FALSE(form->Button13->isEnabled());
    // A loopback address has no hardware address: the lookup's empty answer.
    EXPECT_EQ(form->edt3->text(), "00-00-00-00-00-00");

    // A second connect fails on the status line; the first connection goes on working.
    form->Button1->click();
    EXPECT_EQ(form->StatusText(), kConnectFailed);
    EXPECT_FALSE(form->Button13->isEnabled());
    form->Button4->click();
    EXPECT_EQ(Hex(printer.waitForBytes(7)), "1B 70 00 28 28 0D 0A");
    EXPECT_EQ(printer.connectionCount(), 1u);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NetworkPageTest, RefusedConnectOnlyReportsOnTheStatusLine) {
    // Nobody listens on this suite's address: the connect is refused.
    form->Button13->click();
    EXPECT_EQ(form->StatusText(), kConnectFailed);
    EXPECT_FALSE(form->Button2->isEnabled());
    EXPECT_FALSE(form->GroupBox2->isEnabled());
    EXPECT_TRUE(form->Button13->isEnabled());
    EXPECT_FALSE(form->Button15->isEnabled());
    EXPECT_TRUE(form->edt3->text().isEmpty());
    EXPECT_TRUE(dialogs->boxes.empty());

    // The parameter page's connect button does the same connect once a printer answers.
    LoopbackPrinter printer(host.toStdString());
    form->Button13->click();
    EXPECT_EQ(form->StatusText(), kConnected);
    EXPECT_TRUE(WaitForConnections(printer, 1));
}

TEST_F(NetworkPageTest, TestPageDrawerAndIpChangeReachThePrinterByteForByte) {
    LoopbackPrinter printer(host.toStdString());
    Connect(printer);

    form->Button3->click();
    const std::string title =
        Bytes({0x1D, 0x21, 0x11}) + kelvo::ToGbk(" QM417网口测试打印开始") + "\r\r\n";
    const std::string body =
        Bytes({0x1D, 0x21, 0x00}) +
        "Print test\r\n\r\nPrint the test 2\r\n\r\nPrint the test 3\r\n\r\n\r\n";
    const std::string cut = Bytes({0x1D, 0x56, 0x42, 0x05, 0x0D, 0x0A});
    const std::string page = title + body + cut;
    EXPECT_EQ(Hex(printer.waitForBytes(page.size())), Hex(page));

    // Typed memo text, Chinese included, goes out in GBK with CR LF line breaks.
    printer.clear();
    form->Memo1->setPlainText(QStringLiteral("第一行\n2"));
    form->Button3->click();
    const std::string typed =
        title + Bytes({0x1D, 0x21, 0x00}) + kelvo::ToGbk("第一行") + "\r\n2\r\n" + cut;
    EXPECT_EQ(Hex(printer.waitForBytes(typed.size())), Hex(typed));

    printer.clear();
    form->Button4->click();
    EXPECT_EQ(Hex(printer.waitForBytes(7)), "1B 70 00 28 28 0D 0A");

    printer.clear();
    form->IPEdit2->SetIPString("223.255.255.255");
    form->Button2->click();
    EXPECT_EQ(Hex(printer.waitForBytes(10)), "1F 02 57 49 DF FF FF FF 0D 0A");
    EXPECT_EQ(form->StatusText(), "修改打印机成功，重启打印机生效！");
    form->IPEdit2->SetIPString("1.0.0.0");
    form->Button2->click();
    EXPECT_EQ(Hex(printer.waitForBytes(20).substr(10)), "1F 02 57 49 01 00 00 00 0D 0A");
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(NetworkPageTest, IpChangeRefusesAFirstOctetOutsideOneTo223AndLoopback) {
    LoopbackPrinter printer(host.toStdString());
    Connect(printer);
    form->SetStatusText("before");
    // A printer set to 127.x could never be reached again.
    for (const char* ip : {"0.1.2.3", "224.0.0.1", "255.255.255.255", "127.0.0.1"}) {
        form->IPEdit2->SetIPString(ip);
        form->Button2->click();
    }
    ASSERT_EQ(dialogs->boxes.size(), 4u);
    for (const auto& box : dialogs->boxes) {
        EXPECT_EQ(box.title, "错误");
        EXPECT_EQ(box.text, "数值有误请设置介于1-223之间");
        EXPECT_EQ(box.icon, Dialogs::Icon::Warning);
    }
    EXPECT_EQ(printer.settle(), "");
    EXPECT_EQ(form->StatusText(), "before");
}

TEST_F(NetworkPageTest, RandomMacIsFreshEachClickAndMacChangeSendsTenRawBytes) {
    LoopbackPrinter printer(host.toStdString());
    Connect(printer);

    form->btn6->click();  // nothing generated yet: nothing to send
    EXPECT_EQ(printer.settle(), "");

    const QRegularExpression shape(QStringLiteral("^00[0-9A-F]{10}$"));
    QSet<QString> seen;
    for (int i = 0; i < 50; ++i) {
        form->btn7->click();
        const QString mac = form->edt2->text();
        ASSERT_TRUE(shape.match(mac).hasMatch()) << mac.toStdString();
        for (int p = 0; p < 6; ++p)
            EXPECT_EQ(form->MacPairs[p], mac.mid(2 * p, 2));
        seen.insert(mac);
    }
    EXPECT_EQ(seen.size(), 50);  // 40 random bits each: a repeat means a broken source

    form->btn6->click();
    std::string expected = Bytes({0x1F, 0x02, 0x57, 0x43});
    for (const QString& pair : form->MacPairs)
        expected += static_cast<char>(pair.toInt(nullptr, 16));
    EXPECT_EQ(Hex(printer.waitForBytes(10)), Hex(expected));
    EXPECT_EQ(Hex(printer.settle()), Hex(expected));  // no CR LF follows

    // The MAC field has one text for both languages: the drawn address survives a switch.
    printer.clear();
    const QString mac = form->edt2->text();
    form->btn13->click();
    EXPECT_EQ(form->edt2->text(), mac);
    form->btn6->click();
    EXPECT_EQ(Hex(printer.waitForBytes(10)), Hex(expected));
}

TEST_F(NetworkPageTest, DisconnectFromEitherPageStopsTheSendsButKeepsThisPageLive) {
    LoopbackPrinter printer(host.toStdString());
    size_t round = 0;
    for (QPushButton* disconnect : {form->Button7, form->Button15}) {
        SCOPED_TRACE(disconnect->objectName().toStdString());
        ++round;
        dialogs->boxes.clear();
        form->Button13->click();
        ASSERT_EQ(form->StatusText(), kConnected);
        ASSERT_TRUE(WaitForConnections(printer, round));
        disconnect->click();
        EXPECT_TRUE(printer.waitForClosed(round));
        EXPECT_EQ(form->StatusText(), kConnected);  // no status text of its own
        for (QPushButton* b : ParameterSendButtons())
            EXPECT_FALSE(b->isEnabled());
        EXPECT_FALSE(form->Button15->isEnabled());
        EXPECT_TRUE(form->Button13->isEnabled());
        EXPECT_TRUE(form->Button2->isEnabled());
        EXPECT_TRUE(form->GroupBox2->isEnabled());
        EXPECT_TRUE(form->Button1->isEnabled());
        EXPECT_TRUE(form->Button7->isEnabled());

        form->Button3->click();
        ASSERT_EQ(dialogs->boxes.size(), 1u);
        EXPECT_EQ(dialogs->boxes[0].text, "Not Connected.");
        EXPECT_EQ(dialogs->boxes[0].icon, Dialogs::Icon::Error);
        form->btn7->click();
        form->btn6->click();  // the MAC change has no guard of its own either
        EXPECT_EQ(dialogs->boxes.size(), 2u);
        EXPECT_EQ(printer.settle(), "");
    }
}

TEST_F(NetworkPageTest, MacFieldShowsTheHardwareAddressOfIPEdit1) {
    std::string whyNot;
    auto far = kelvo::testing::NetnsHost::Create(&whyNot);
    if (!far)
        GTEST_SKIP() << whyNot;
    // A fresh link can lose the first ARP probe while it comes up, and the lookup waits only
    // about a second; let the neighbour table learn the host first (bounded), as the connect to
    // the printer itself does in real use.
    for (int i = 0; i < 3; ++i) {
        if (kelvo::NetworkLink::LookupPrinterMac(far->farAddress()) != "00-00-00-00-00-00")
            break;
    }
    LoopbackPrinter printer(host.toStdString());
    form->IPEdit1->SetIPString(QString::fromStdString(far->farAddress()));
    form->Button1->click();
    EXPECT_EQ(form->StatusText(), kConnected);
    EXPECT_TRUE(WaitForConnections(printer, 1));  // the connection still goes to IPEdit3
    EXPECT_EQ(form->edt3->text(), "00-0A-0B-0C-0D-0E");
}

// The page's Chinese texts are measured after the first paint; the other language shown before
// that is fitted all the same.
TEST_F(NetworkPageTest, ChineseShownAtOnceIsFittedAsInASettledWindow) {
    TForm1 fresh(std::make_unique<kelvo::testing::DialogRecorder>());
    fresh.btn13->click();  // no event has been processed: the deferred start has not run
    form->btn13->click();
    EXPECT_EQ(fresh.lbl6->geometry(), form->lbl6->geometry());
    EXPECT_EQ(fresh.lbl6->text(), form->lbl6->text());
    const QList<QPushButton*> mine = fresh.GroupBox1->findChildren<QPushButton*>();
    const QList<QPushButton*> settled = form->GroupBox1->findChildren<QPushButton*>();
    ASSERT_EQ(mine.size(), settled.size());
    for (qsizetype i = 0; i < mine.size(); ++i)
        EXPECT_EQ(mine[i]->font(), settled[i]->font()) << mine[i]->objectName().toStdString();
}

}  // namespace
