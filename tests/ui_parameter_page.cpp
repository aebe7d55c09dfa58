// The model parameter page: every table at a recording printer on this suite's loopback address
// (network connection) and at pseudo-terminals standing in for LPT1 and COM1 (device connection).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jobs/Jobs.h"
#include "links/PortLock.h"
#include "links/UniqueFd.h"
#include "testing/ByteText.h"
#include "testing/LoopbackPrinter.h"
#include "testing/Pty.h"
#include "testing/TestHost.h"
#include "testing/WindowFixture.h"
#include "widgets/IPEdit.h"

using kelvo::testing::Bytes;
using kelvo::testing::Hex;

using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;

// Failure messages show QStrings as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

// One connection of the page with the peer that records what it receives.
struct Peer {
    virtual ~Peer() = default;
    virtual const char* name() const = 0;
    // What one setting command looks like on the wire over this connection.
    virtual std::string wire(const std::string& command) const = 0;
    virtual std::string read(size_t n) = 0;
    virtual std::string settle() = 0;
};

struct NetworkPeer : Peer {
    explicit NetworkPeer(TForm1& form) : printer(OwnLoopbackHost()) {
        form.IPEdit1->SetIPString(QString::fromStdString(OwnLoopbackHost()));
        form.IPEdit3->SetIPString(QString::fromStdString(OwnLoopbackHost()));
        form.rb2->click();
        form.Button13->click();
    }
    const char* name() const override { return "network"; }
    std::string wire(const std::string& command) const override { return command + "\r\n"; }
    std::string read(size_t n) override {
        std::string all = printer.waitForBytes(seen + n);
        std::string fresh = all.substr(seen);
        seen = all.size();
        return fresh;
    }
    std::string settle() override {
        std::string all = printer.settle();
        std::string fresh = all.substr(seen);
        seen = all.size();
        return fresh;
    }
    LoopbackPrinter printer;
    size_t seen = 0;
};

// LPT1 is a pseudo-terminal; the settings write to it without any set-up of the port.
struct DevicePeer : Peer {
    explicit DevicePeer(TForm1& form) : port("LPT1", pty.slavePath()) {
        form.rb1->click();
        form.cbb4->setEditText("LPT1");
    }
    const char* name() const override { return "device"; }
    std::string wire(const std::string& command) const override { return command; }
    std::string read(size_t n) override { return pty.read(n); }
    std::string settle() override { return pty.drain(); }
    Pty pty;
    PortOverride port;
};

class ParameterPageTest : public kelvo::testing::WindowTest {
  protected:
    // Runs `check` once per connection, each with a fresh peer.
    void ForBothConnections(const std::function<void(Peer&)>& check) {
        {
            NetworkPeer peer(*form);
            ASSERT_EQ(form->StatusText(), "连接打印机成功！(Connect the printer to success)");
            SCOPED_TRACE("network");
            check(peer);
        }
        {
            DevicePeer peer(*form);
            SCOPED_TRACE("device");
            check(peer);
        }
    }

    std::vector<QPushButton*> SettingButtons() const {
        return {form->Button18, form->btn14, form->btn15, form->Button14, form->Button16};
    }

    static void Pick(QComboBox* box, const QString& entry) {
        int index = box->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
        ASSERT_GE(index, 0) << entry.toStdString();
        box->setCurrentIndex(index);
    }
};

TEST_F(ParameterPageTest, StartsOnTheNetworkConnectionWithTheBuiltInValues) {
    EXPECT_TRUE(form->rb2->isChecked());
    EXPECT_FALSE(form->rb1->isChecked());
    EXPECT_FALSE(form->GroupBox4->isHidden());
    EXPECT_EQ(form->grp3->geometry(), form->GroupBox4->geometry());
    EXPECT_TRUE(form->Button13->isEnabled());
    EXPECT_FALSE(form->Button15->isEnabled());
    for (QPushButton* b : SettingButtons())
        EXPECT_TRUE(b->isEnabled());
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_FALSE(form->CheckBox2->isChecked());
    EXPECT_FALSE(form->CheckBox3->isChecked());
    EXPECT_EQ(form->IPEdit3->IPString(), "192.168.1.109");

    EXPECT_EQ(form->cbb4->currentText(), "COM1");
    EXPECT_EQ(form->cbb4->count(), 5);
    EXPECT_EQ(form->cbb5->currentText(), "115200");
    EXPECT_EQ(form->ComboBox3->currentText(), "115200");
    EXPECT_EQ(form->cbb2->currentText(), "(U.S.A.)");
    EXPECT_EQ(form->cbb2->count(), 14);
    EXPECT_EQ(form->cbb2->findText("(Germany)"), -1);
    EXPECT_EQ(form->cbb3->currentText(), "(PC437:Standard-Europe)");
    EXPECT_EQ(form->cbb3->count(), 15);
    for (QComboBox* box : {form->ComboBox3, form->cbb2, form->cbb3}) {
        EXPECT_EQ(box->currentIndex(), -1);  // shown, but not picked
    }

    // English at start, with the trailing line feeds; no English for two group boxes.
    EXPECT_EQ(form->grp2->title(), "Choose the way to connect the printer\n");
    EXPECT_EQ(form->rb1->text(), "Serial connection\n");
    EXPECT_EQ(form->rb2->text(), "Network port");
    EXPECT_EQ(form->GroupBox6->title(), "");
    EXPECT_EQ(form->GroupBox5->title(), "");
    EXPECT_EQ(form->Label10->text(), "");
    EXPECT_EQ(form->grp3->title(), "Serial connection");
    EXPECT_EQ(form->Button16->text(), "SEND");
    EXPECT_EQ(form->Label9->text(), "Set the default international code pages:");
    const QStringList reserved = {"31", "27", "31", "254", "01"};
    const QLineEdit* edits[] = {form->Edit1, form->Edit3, form->Edit4, form->Edit5, form->Edit6};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(edits[i]->text(), reserved[i]);
    form->btn13->click();
    EXPECT_EQ(form->grp2->title(), "选择连接打印机方式");
    EXPECT_EQ(form->GroupBox5->title(), "设置参数");
    EXPECT_EQ(form->grp3->title(), "");
    EXPECT_EQ(form->btn16->text(), "初始化端口&W");
    EXPECT_EQ(form->Label10->text(), "1FH 1BH 1FH FEH x 设置默认汉字模式 x=1汉字无效，为0有效");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(edits[i]->text(), reserved[i]);

    // The connection choice swaps the two groups in one place and sends nothing.
    form->rb1->click();
    EXPECT_TRUE(form->GroupBox4->isHidden());
    EXPECT_FALSE(form->grp3->isHidden());
    form->rb2->click();
    EXPECT_FALSE(form->GroupBox4->isHidden());
    EXPECT_TRUE(form->grp3->isHidden());
}

TEST_F(ParameterPageTest, ReservedBytesFollowTheIntegerTextRule) {
    ForBothConnections([&](Peer& peer) {
        form->Button16->click();
        const std::string chineseOff = peer.wire(Bytes({0x1F, 0x1B, 0x1F, 0xFE, 0x01}));
        EXPECT_EQ(Hex(peer.read(chineseOff.size())), Hex(chineseOff));

        const char* texts[] = {"256", "-1", "$FE", "0xfe", " 31"};
        QLineEdit* edits[] = {form->Edit1, form->Edit3, form->Edit4, form->Edit5, form->Edit6};
        for (int i = 0; i < 5; ++i)
            edits[i]->setText(texts[i]);
        form->Button16->click();
        const std::string expected = peer.wire(Bytes({0x00, 0xFF, 0xFE, 0xFE, 0x1F}));
        EXPECT_EQ(Hex(peer.read(expected.size())), Hex(expected));
        EXPECT_TRUE(dialogs->boxes.empty());
        const char* initial[] = {"31", "27", "31", "254", "01"};
        for (int i = 0; i < 5; ++i)
            edits[i]->setText(initial[i]);
    });
}

TEST_F(ParameterPageTest, ABadReservedTextIsNamedAndNothingIsOpenedOrSent) {
    // The device is a file that must not even be created.
    const std::string file =
        (std::filesystem::temp_directory_path() / ("kelvo-reserved-" + std::to_string(getpid())))
            .string();
    std::filesystem::remove(file);
    NetworkPeer net(*form);
    for (bool network : {true, false}) {
        SCOPED_TRACE(network ? "network" : "device");
        if (network) {
            form->rb2->click();
        } else {
            form->rb1->click();
            form->cbb4->setEditText(QString::fromStdString(file));
        }
        for (const char* bad : {"31 ", "", "1F"}) {
            dialogs->boxes.clear();
            form->Edit4->setText(bad);
            form->Edit6->setText("zz");  // a later bad field: the first one is named
            form->Button16->click();
            ASSERT_EQ(dialogs->boxes.size(), 1u);
            EXPECT_EQ(dialogs->boxes[0].text,
                      QStringLiteral("'%1' is not a valid integer value.").arg(bad));
        }
    }
    EXPECT_EQ(net.settle(), "");
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(ParameterPageTest, FunctionSwitchesMakeTheSwitchByte) {
    ForBothConnections([&](Peer& peer) {
        const struct {
            bool cr, external, builtin;
            unsigned char byte;
        } rows[] = {{false, false, true, 0x42},
                    {true, true, true, 0x4E},
                    {false, false, false, 0x40},
                    {true, false, true, 0x4A},
                    {false, true, false, 0x44}};
        for (const auto& row : rows) {
            form->CheckBox3->setChecked(row.cr);
            form->CheckBox2->setChecked(row.external);
            form->CheckBox1->setChecked(row.builtin);
            form->Button14->click();
            const std::string expected = peer.wire(Bytes({0x1F, 0x1B, 0x1F, 0x50, row.byte}));
            EXPECT_EQ(Hex(peer.read(expected.size())), Hex(expected));
        }
        form->CheckBox1->setChecked(true);
        form->CheckBox2->setChecked(false);
        form->CheckBox3->setChecked(false);
    });
}

TEST_F(ParameterPageTest, EveryListEntrySendsItsTableCodeOnBothConnections) {
    ForBothConnections([&](Peer& peer) {
        // Right after start (or after a connection change) nothing is picked: nothing is sent.
        for (QComboBox* box : {form->ComboBox3, form->cbb2, form->cbb3})
            box->setCurrentIndex(-1);
        for (QComboBox* box : {form->ComboBox3, form->cbb2, form->cbb3}) {
            box->setEditText(box->itemText(0));
        }
        form->Button18->click();
        form->btn14->click();
        form->btn15->click();
        EXPECT_EQ(peer.settle(), "");

        const std::pair<const char*, unsigned char> bauds[] = {
            {"115200", 0x44}, {"38400", 0x45}, {"19200", 0x46}, {"9600", 0x47}};
        for (const auto& [entry, code] : bauds) {
            Pick(form->ComboBox3, entry);
            form->Button18->click();
            const std::string expected = peer.wire(Bytes({0x1F, 0x1B, 0x1F, 0x53, code}));
            EXPECT_EQ(Hex(peer.read(expected.size())), Hex(expected)) << entry;
        }

        // Each entry the page offers (all the charsets but Germany's, all the code pages), as
        // the list states its code (the codes themselves are the jobs' tests' business).
        EXPECT_EQ(form->cbb2->count(), 14);
        EXPECT_EQ(form->cbb2->findText(QStringLiteral("(Germany)")), -1);
        EXPECT_EQ(form->cbb3->count(), 15);
        for (int i = 0; i < form->cbb2->count(); ++i) {
            const QString entry = form->cbb2->itemText(i);
            const auto code = kelvo::jobs::CodeOf(kelvo::jobs::Charsets(), entry.toStdString());
            ASSERT_TRUE(code.has_value()) << entry.toStdString();
            Pick(form->cbb2, entry);
            form->btn14->click();
            const bool franceOnNetwork = code == 0x01 && std::string(peer.name()) == "network";
            const std::string expected =
                peer.wire(franceOnNetwork ? Bytes({0x1B, 0x52, 0x01})
                                          : Bytes({0x1F, 0x1B, 0x1F, 0xFD, *code}));
            EXPECT_EQ(Hex(peer.read(expected.size())), Hex(expected)) << entry.toStdString();
        }
        for (int i = 0; i < form->cbb3->count(); ++i) {
            const QString entry = form->cbb3->itemText(i);
            const auto code = kelvo::jobs::CodeOf(kelvo::jobs::CodePages(), entry.toStdString());
            ASSERT_TRUE(code.has_value()) << entry.toStdString();
            Pick(form->cbb3, entry);
            form->btn15->click();
            const std::string expected = peer.wire(Bytes({0x1F, 0x1B, 0x1F, 0xFF, *code}));
            EXPECT_EQ(Hex(peer.read(expected.size())), Hex(expected)) << entry.toStdString();
        }
        EXPECT_EQ(peer.settle(), "");
        EXPECT_TRUE(dialogs->boxes.empty());
    });
}

TEST_F(ParameterPageTest, TypedTextPicksNoEntry) {
    NetworkPeer peer(*form);
    form->show();
    QLineEdit* typed = form->ComboBox3->lineEdit();
    typed->clear();
    QTest::keyClicks(typed, "9600");
    QTest::keyClick(typed, Qt::Key_Return);
    EXPECT_EQ(form->ComboBox3->currentText(), "9600");
    form->Button18->click();
    // Typing over a picked entry unpicks it, too; so does a case-different spelling.
    Pick(form->cbb2, "(U.K.)");
    form->cbb2->lineEdit()->clear();
    QTest::keyClicks(form->cbb2->lineEdit(), "(france)");
    QTest::keyClick(form->cbb2->lineEdit(), Qt::Key_Return);
    form->btn14->click();
    EXPECT_EQ(peer.settle(), "");

    Pick(form->ComboBox3, "9600");
    form->Button18->click();
    EXPECT_EQ(Hex(peer.read(7)), "1F 1B 1F 53 47 0D 0A");
}

TEST_F(ParameterPageTest, InitializePortSetsTheBaudAndEnablesTheSettings) {
    Pty pty;
    PortOverride com1("COM1", pty.slavePath());
    form->Button7->click();  // disconnect: the setting buttons go off
    for (QPushButton* b : SettingButtons())
        ASSERT_FALSE(b->isEnabled());

    form->rb1->click();
    form->cbb5->setEditText("9600");
    form->btn16->click();
    EXPECT_TRUE(dialogs->boxes.empty());
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B9600));
    for (QPushButton* b : SettingButtons())
        EXPECT_TRUE(b->isEnabled());
    EXPECT_TRUE(form->Button15->isEnabled());
    EXPECT_FALSE(form->Button13->isEnabled());
    pty.drain();

    // The port is closed again: the settings that follow open it themselves.
    form->Button16->click();
    EXPECT_EQ(Hex(pty.read(5)), "1F 1B 1F FE 01");
}

TEST_F(ParameterPageTest, InitializePortFailureShowsItsDialogAndEnablesNothing) {
    Pty pty;
    PortOverride com1("COM1", pty.slavePath());
    form->Button7->click();
    form->rb1->click();
    const QString failure = QStringLiteral("初始化端口失败！\r\nTo initialize port failure");

    form->cbb5->setEditText("fast");
    form->btn16->click();
    // A port someone else holds.
    form->cbb5->setEditText("9600");
    kelvo::UniqueFd holder(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);
    form->btn16->click();
    // A port that does not exist.
    form->cbb4->setEditText("COM77");
    form->btn16->click();

    ASSERT_EQ(dialogs->boxes.size(), 3u);
    for (const auto& box : dialogs->boxes) {
        EXPECT_EQ(box.title, "Error");
        EXPECT_EQ(box.text, failure);
        EXPECT_EQ(box.icon, Dialogs::Icon::Error);
    }
    for (QPushButton* b : SettingButtons())
        EXPECT_FALSE(b->isEnabled());
    EXPECT_TRUE(form->Button13->isEnabled());
    EXPECT_FALSE(form->Button15->isEnabled());
}

TEST_F(ParameterPageTest, F8AnywhereGivesBackTheReservedBytesButtonAlone) {
    form->Button7->click();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));

    // The focus is in an address field of the network page, with that page in front.
    form->PageControl1->setCurrentWidget(form->TabSheet1);
    QLineEdit* field = form->IPEdit2->Field(0);
    ASSERT_NE(field, nullptr);
    field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == field; }, 2000));

    QTest::keyClick(field, Qt::Key_F7);
    EXPECT_FALSE(form->Button16->isEnabled());
    QTest::keyClick(field, Qt::Key_F8, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_TRUE(form->Button16->isEnabled());
    for (QPushButton* b : {form->Button18, form->btn14, form->btn15, form->Button14}) {
        EXPECT_FALSE(b->isEnabled());
    }
    EXPECT_FALSE(form->Button15->isEnabled());
    EXPECT_TRUE(form->Button13->isEnabled());
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(ParameterPageTest, SendsWithoutAConnectionReachTheErrorBox) {
    form->IPEdit3->SetIPString(QString::fromStdString(OwnLoopbackHost()));
    form->Button14->click();  // network chosen, never connected
    form->rb1->click();
    form->cbb4->setEditText("COM77");  // no such device
    form->Button14->click();
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_EQ(dialogs->boxes[0].text, "Not Connected.");
    EXPECT_EQ(dialogs->boxes[1].text, "File not found.");
}

}  // namespace
