// The serial/parallel printer page, driven like a user, with pseudo-terminals standing in for the
// COM and LPT ports and plain files for typed paths.
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "links/PortLock.h"
#include "links/UniqueFd.h"
#include "testing/CaptionFit.h"
#include "testing/Files.h"
#include "testing/Pty.h"
#include "testing/WindowFixture.h"

using kelvo::testing::FileBytes;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;
using kelvo::testing::WindowTest;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

// "QM417测试打印开始" in GBK.
const std::string kTitle = "QM417\xB2\xE2\xCA\xD4\xB4\xF2\xD3\xA1\xBF\xAA\xCA\xBC";
const std::string kDrawer = "\x1B\x70\x00\x28\x28"s;
const std::string kSlavic = "\x1F\x1B\x1F\xFF\x11\r\n";
const std::string kFactory = "\x1F\x02\x40\x4E\r\n";
const std::string kTestPage = "\x1D\x21\x11" + kTitle + "\r\r\n" + "\x1D\x21\x00"s +
                              "Print test\r\n\r\nPrint the test 2\r\n\r\nPrint the test 3\r\n\r\n" +
                              "\x1D\x56\x42\x05\r\n";
const QString kSendFailure = QStringLiteral("数据发送失败！\r\nsend failure");
const QString kInitFailure = QStringLiteral("初始化端口失败！\r\nTo initialize port failure");

// Puts a port into a state no initialize action leaves: cooked output, 300 baud, one stop bit,
// no flow control.
void Scramble(int master) {
    termios t{};
    ASSERT_EQ(::tcgetattr(master, &t), 0);
    t.c_oflag |= OPOST | ONLCR;
    t.c_iflag &= ~(IXON | IXOFF);
    t.c_cflag &= ~CSTOPB;
    ::cfsetispeed(&t, B300);
    ::cfsetospeed(&t, B300);
    ASSERT_EQ(::tcsetattr(master, TCSANOW, &t), 0);
}

// COM1 is a pseudo-terminal whose master the test holds.
class SerialPageTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        form->ComboBox1->setEditText("COM1");
    }
    // What the port received, waiting for `n` bytes; then checks nothing more arrives.
    std::string Received(Pty& pty, size_t n) {
        std::string got = pty.read(n);
        got += pty.drain(std::chrono::milliseconds(50));
        return got;
    }

    Pty com1;
    PortOverride com1Override{"COM1", com1.slavePath()};
};

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

// ---- Printing through the device-name output -------------------------------------------------

TEST_F(SerialPageTest, TestPrintSendsTheCompleteWireImage) {
    form->Button8->click();
    EXPECT_EQ(Received(com1, kTestPage.size()), kTestPage);

    form->memo2->clear();
    form->Button8->click();
    const std::string emptyBody =
        "\x1D\x21\x11" + kTitle + "\r\r\n" + "\x1D\x21\x00\r\n"s + "\x1D\x56\x42\x05\r\n";
    EXPECT_EQ(Received(com1, emptyBody.size()), emptyBody);

    // A body longer than the 128-byte buffer arrives whole and in order.
    std::string body;
    for (int i = 0; i < 40; ++i)
        body += "line " + std::to_string(i) + " of the long body\n";
    form->memo2->setPlainText(QString::fromStdString(body));
    form->Button8->click();
    std::string wire = body;
    for (size_t at = 0; (at = wire.find('\n', at)) != std::string::npos; at += 2) {
        wire.insert(at, "\r");
    }
    const std::string longPage = "\x1D\x21\x11" + kTitle + "\r\r\n" + "\x1D\x21\x00"s + wire +
                                 "\r\n" + "\x1D\x56\x42\x05\r\n";
    EXPECT_EQ(Received(com1, longPage.size()), longPage);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(SerialPageTest, EveryActionSendsTheSameBytesOnComLptAndAFile) {
    Pty lpt1;
    PortOverride lptOverride("LPT1", lpt1.slavePath());
    const fs::path file =
        fs::temp_directory_path() / ("kelvo-serial-page-" + std::to_string(getpid()));

    struct Action {
        QPushButton* button;
        std::string bytes;
    };
    const Action actions[] = {{form->Button8, kTestPage},
                              {form->Button11, kDrawer},
                              {form->btn12, kSlavic},
                              {form->btn3, kFactory}};
    for (const Action& a : actions) {
        SCOPED_TRACE(a.button->objectName().toStdString());
        form->ComboBox1->setEditText("COM1");
        a.button->click();
        EXPECT_EQ(Received(com1, a.bytes.size()), a.bytes);
        form->ComboBox1->setEditText("LPT1");
        a.button->click();
        EXPECT_EQ(Received(lpt1, a.bytes.size()), a.bytes);
        form->ComboBox1->setEditText(QString::fromStdString(file.string()));
        a.button->click();
        EXPECT_EQ(FileBytes(file), a.bytes);  // each action creates the file afresh
    }
    fs::remove(file);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(SerialPageTest, TheEmptyPortNameWritesToStandardOutput) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    kelvo::UniqueFd readEnd(pipeFds[0]);
    std::fflush(stdout);
    kelvo::UniqueFd savedStdout(::dup(STDOUT_FILENO));
    ASSERT_EQ(::dup2(pipeFds[1], STDOUT_FILENO), STDOUT_FILENO);
    ::close(pipeFds[1]);

    form->ComboBox1->setCurrentIndex(5);  // the list's empty entry
    const bool emptyName = form->ComboBox1->currentText().isEmpty();
    form->Button11->click();
    form->btn3->click();

    ::dup2(savedStdout.get(), STDOUT_FILENO);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = ::read(readEnd.get(), buf, sizeof buf)) > 0;)
        got.append(buf, size_t(n));
    EXPECT_TRUE(emptyName);
    EXPECT_EQ(got, kDrawer + kFactory);
    EXPECT_TRUE(dialogs->boxes.empty());

    // A process started without standard output: code 105.
    std::fflush(stdout);
    ::close(STDOUT_FILENO);
    form->Button11->click();
    form->Button8->click();
    ::dup2(savedStdout.get(), STDOUT_FILENO);
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_EQ(dialogs->boxes[0].text, "I/O error 105.");
    EXPECT_EQ(dialogs->boxes[1].text, kSendFailure);
}

// ---- Failures ----------------------------------------------------------------------------------

TEST_F(SerialPageTest, APortHeldElsewhereFailsWithEachActionsOwnReport) {
    kelvo::UniqueFd holder(::open(com1.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);

    form->Button11->click();
    form->Button8->click();
    form->btn12->click();
    form->btn3->click();
    ASSERT_EQ(dialogs->boxes.size(), 4u);
    // The drawer is not guarded: the link's message in the window's error box.
    EXPECT_EQ(dialogs->boxes[0].title, "Kelvotool");
    EXPECT_EQ(dialogs->boxes[0].text, "File access denied.");
    EXPECT_EQ(dialogs->boxes[1].title, "Error");
    EXPECT_EQ(dialogs->boxes[1].text, kSendFailure);
    EXPECT_EQ(dialogs->boxes[1].icon, Dialogs::Icon::Error);
    EXPECT_EQ(dialogs->boxes[2].text, "数据发送失败！");
    EXPECT_EQ(dialogs->boxes[3].text, "数据发送失败！");
    EXPECT_EQ(com1.drain(std::chrono::milliseconds(50)), "");

    holder.reset();
    form->Button11->click();
    EXPECT_EQ(Received(com1, kDrawer.size()), kDrawer);
    EXPECT_EQ(dialogs->boxes.size(), 4u);
}

TEST_F(SerialPageTest, AMissingPortIsFileNotFound) {
    PortOverride missing("COM2", "/dev/kelvo-no-such-port");
    form->ComboBox1->setEditText("COM2");
    form->Button11->click();
    form->Button8->click();
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_EQ(dialogs->boxes[0].text, "File not found.");
    EXPECT_EQ(dialogs->boxes[1].text, kSendFailure);
    EXPECT_FALSE(fs::exists("/dev/kelvo-no-such-port"));
}

TEST_F(SerialPageTest, AFailedWriteLeavesThePortFreeForTheNextAction) {
    // A private node of the "full" device (every write fails with "disk full"), so no other test
    // shares its lock. Were the port kept after the failure, the next action would find it held
    // and report "File access denied" instead of the write's own error.
    const fs::path full = fs::temp_directory_path() / ("kelvo-full-" + std::to_string(getpid()));
    if (::mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "mknod needs root";
    }
    PortOverride fullPort("COM4", full.string());
    form->ComboBox1->setEditText("COM4");
    form->Button11->click();
    form->Button11->click();
    form->btn3->click();
    ASSERT_EQ(dialogs->boxes.size(), 3u);
    EXPECT_EQ(dialogs->boxes[0].text, "Disk full.");
    EXPECT_EQ(dialogs->boxes[1].text, "Disk full.");
    EXPECT_EQ(dialogs->boxes[2].text, "数据发送失败！");
    kelvo::UniqueFd probe(::open(full.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(probe.valid());
    EXPECT_EQ(kelvo::LockPortExclusive(probe.get()), 0);
    probe.reset();
    fs::remove(full);
}

// ---- Initialize port ---------------------------------------------------------------------------

TEST_F(SerialPageTest, InitializeLeavesTheTypedBaudForThePlainOpenThatPrints) {
    Scramble(com1.master());
    form->ComboBox2->setEditText("19200");
    form->Button9->click();
    EXPECT_TRUE(dialogs->boxes.empty());
    EXPECT_FALSE(form->Comm1->IsOpen());

    termios t{};
    ASSERT_EQ(::tcgetattr(com1.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_oflag & OPOST);
    // The one byte the action queues is a 00, if it got out before the close.
    const std::string queued = com1.drain(std::chrono::milliseconds(100));
    EXPECT_TRUE(queued.empty() || queued == "\x00"s);

    // The test print opens the port by name and finds those settings: raw, so every line end
    // arrives exactly as sent.
    form->Button8->click();
    EXPECT_EQ(Received(com1, kTestPage.size()), kTestPage);

    // A second click works like the first: the port was closed at the end of each.
    form->ComboBox2->setEditText("38400");
    form->Button9->click();
    ASSERT_EQ(::tcgetattr(com1.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B38400);
    EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(SerialPageTest, InitializeFailuresShowTheInitializationMessage) {
    Scramble(com1.master());
    const fs::path file =
        fs::temp_directory_path() / ("kelvo-not-a-port-" + std::to_string(getpid()));
    std::ofstream(file) << "x";
    PortOverride missing("COM2", "/dev/kelvo-no-such-port");
    kelvo::UniqueFd holder(::open(com1.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());

    form->ComboBox2->setEditText("abc");  // not an integer
    form->Button9->click();
    form->ComboBox2->setEditText("9600");
    form->ComboBox1->setEditText("COM2");  // missing
    form->Button9->click();
    form->ComboBox1->setEditText(QString::fromStdString(file.string()));  // not a serial port
    form->Button9->click();
    ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);  // another program holds COM1
    form->ComboBox1->setEditText("COM1");
    form->Button9->click();

    ASSERT_EQ(dialogs->boxes.size(), 4u);
    for (const auto& box : dialogs->boxes) {
        EXPECT_EQ(box.title, "Error");
        EXPECT_EQ(box.text, kInitFailure);
        EXPECT_EQ(box.icon, Dialogs::Icon::Error);
    }
    EXPECT_FALSE(form->Comm1->IsOpen());
    termios t{};
    ASSERT_EQ(::tcgetattr(com1.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B300);  // nothing was applied

    // Once the other program lets go, the next attempt starts clean.
    holder.reset();
    form->Button9->click();
    EXPECT_EQ(dialogs->boxes.size(), 4u);
    ASSERT_EQ(::tcgetattr(com1.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    fs::remove(file);
}

TEST_F(SerialPageTest, APortHeldByTheSerialComponentIsAccessDenied) {
    form->Comm1->SetCommName("COM1");
    form->Comm1->OpenPort();
    form->Button11->click();
    form->Button8->click();
    ASSERT_EQ(dialogs->boxes.size(), 2u);
    EXPECT_EQ(dialogs->boxes[0].text, "File access denied.");
    EXPECT_EQ(dialogs->boxes[1].text, kSendFailure);

    // Bytes the printer sends back while the component is open are taken and dropped.
    com1.write("status\x00\x01");
    QTest::qWait(250);
    EXPECT_EQ(dialogs->boxes.size(), 2u);

    form->Comm1->ClosePort();
    com1.drain(std::chrono::milliseconds(50));
    form->Button11->click();
    EXPECT_EQ(Received(com1, kDrawer.size()), kDrawer);
    EXPECT_EQ(dialogs->boxes.size(), 2u);
}
