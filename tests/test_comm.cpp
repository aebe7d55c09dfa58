// The serial component against pseudo-terminal peers: the test holds the master, the component
// opens the slave as "COM3" (through the port-name override), and a NoticeQueue plays the owner's
// event loop.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "links/Comm.h"
#include "links/PortLock.h"
#include "links/SerialLine.h"
#include "testing/NoticeQueue.h"
#include "testing/Pty.h"

using namespace std::chrono_literals;
using kelvo::UniqueFd;
using kelvo::testing::NoticeQueue;
using kelvo::testing::PortOverride;
using kelvo::testing::Pty;

namespace {

const char* const kOpenFailed = "打开串口出错\r\n此串口不存在或被占用";

static_assert(std::is_base_of_v<std::runtime_error, ECommsError>);
static_assert(static_cast<int>(TDtrControl::DtrHandshake) == 2);
static_assert(static_cast<int>(TRtsControl::RtsTransmissionAvailable) == 3);
static_assert(static_cast<int>(TByteSize::_8) == 3);
static_assert(static_cast<int>(TParity::Space) == 4);
static_assert(static_cast<int>(TStopBits::_2) == 2);

size_t EntriesIn(const char* dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

// Descriptors and threads of this process. A joined thread may linger in /proc for a moment,
// also one of the test before: so "back" means no more than before, not exactly as many.
struct Held {
    size_t fds;
    size_t tasks;
    bool operator==(const Held&) const = default;
    bool AtMost(const Held& other) const { return fds <= other.fds && tasks <= other.tasks; }
};
Held HeldNow() {
    return {EntriesIn("/proc/self/fd"), EntriesIn("/proc/self/task")};
}

// What is held once the threads of earlier tests have left /proc (at most about a second).
Held SettledHeld() {
    Held now = HeldNow();
    for (int i = 0, same = 0; i < 100 && same < 3; ++i) {
        std::this_thread::sleep_for(10ms);
        const Held next = HeldNow();
        same = next == now ? same + 1 : 0;
        now = next;
    }
    return now;
}
bool BackTo(const Held& before) {
    for (int i = 0; i < 100; ++i) {
        if (HeldNow().AtMost(before))
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void ExpectComm1Line(const termios& t) {
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B115200});
    EXPECT_EQ(t.c_cflag & (CSTOPB | CLOCAL | CREAD), tcflag_t{CSTOPB | CLOCAL | CREAD});
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_EQ(t.c_iflag & (IXANY | IMAXBEL | INPCK | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

std::string Payload(size_t n, size_t seed = 0) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char c = static_cast<char>((i * 7 + seed) & 0xFF);
        if (c == 0x11 || c == 0x13)
            c = 0;  // flow control bytes never reach the reader
        s += c;
    }
    return s;
}

bool Send(TComm& comm, const std::string& bytes) {
    return comm.SendData(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

// The main window's Comm1, on a fresh pty, with every event recorded.
class CommTest : public ::testing::Test {
  protected:
    CommTest() : route_("COM3", pty.slavePath()) {
        comm = std::make_unique<TComm>(notices.poster());
        comm->SetCommName("COM3");
        comm->SetBaudRate(115200);
        comm->SetStopBits(TStopBits::_2);
        Record(*comm);
    }

    void Record(TComm& c) {
        c.OnReceiveData = [this](TComm& sender, const void* buffer, uint16_t length) {
            EXPECT_EQ(&sender, comm.get());
            const char* bytes = static_cast<const char*>(buffer);
            received.emplace_back(bytes, length);
            nullAfterData.push_back(bytes[length] == '\0');
        };
        c.OnSendDataEmpty = [this](TComm&) { ++sendEmpty; };
        c.OnRequestHangup = [this](TComm& sender) {
            ++hangups;
            if (closeOnHangup)
                sender.ClosePort();
        };
        c.OnReceiveError = [this](TComm&, uint32_t) { ++errors; };
        c.OnModemStateChange = [this](TComm&, uint32_t) { ++modemChanges; };
    }

    std::string AllReceived() const {
        std::string all;
        for (const auto& r : received)
            all += r;
        return all;
    }

    // Opens and takes the one notice the writer posts when it starts.
    void OpenAndSettle() {
        comm->OpenPort();
        ASSERT_TRUE(notices.pumpUntil([&] { return sendEmpty == 1; }));
    }

    Pty pty;
    NoticeQueue notices;
    std::unique_ptr<TComm> comm;
    std::vector<std::string> received;
    std::vector<bool> nullAfterData;
    int sendEmpty = 0;
    int hangups = 0;
    int errors = 0;
    int modemChanges = 0;
    bool closeOnHangup = false;

  private:
    PortOverride route_;
};

}  // namespace

TEST(CommConstruction, PropertiesStartWithTheirConstructionValues) {
    TComm c(nullptr);
    EXPECT_EQ(c.CommName(), "COM2");
    EXPECT_EQ(c.BaudRate(), 9600u);
    EXPECT_FALSE(c.ParityCheck());
    EXPECT_FALSE(c.Outx_CtsFlow());
    EXPECT_FALSE(c.Outx_DsrFlow());
    EXPECT_EQ(c.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_FALSE(c.DsrSensitivity());
    EXPECT_TRUE(c.TxContinueOnXoff());
    EXPECT_TRUE(c.Outx_XonXoffFlow());
    EXPECT_TRUE(c.Inx_XonXoffFlow());
    EXPECT_FALSE(c.ReplaceWhenParityError());
    EXPECT_FALSE(c.IgnoreNullChar());
    EXPECT_EQ(c.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(c.XonLimit(), 500);
    EXPECT_EQ(c.XoffLimit(), 500);
    EXPECT_EQ(c.ByteSize(), TByteSize::_8);
    EXPECT_EQ(c.Parity(), TParity::None);
    EXPECT_EQ(c.StopBits(), TStopBits::_1);
    EXPECT_EQ(c.XonChar(), 0x11);
    EXPECT_EQ(c.XoffChar(), 0x13);
    EXPECT_EQ(c.ReplacedChar(), 0x00);
    EXPECT_EQ(c.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(c.ReadTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(c.ReadTotalTimeoutConstant(), 0u);
    EXPECT_EQ(c.WriteTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(c.WriteTotalTimeoutConstant(), 0u);
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.PortHandle(), -1);
    EXPECT_TRUE(c.SendQueueEmpty());
    c.ClosePort();  // closed: nothing happens
    EXPECT_FALSE(c.IsOpen());
}

TEST_F(CommTest, TermiosLeftAfterClosePortServeALaterPlainOpen) {
    pty.scramble();
    comm->OpenPort();
    int exclusive = -1;
    {
        // Root passes TIOCEXCL, so the flag itself is what can be checked here.
        UniqueFd peek(::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        if (peek) {
            ASSERT_EQ(::ioctl(peek.get(), TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 1);
        }
    }
    comm->ClosePort();
    comm->OpenPort();
    comm->ClosePort();
    EXPECT_FALSE(comm->IsOpen());
    ExpectComm1Line(pty.lineSettings());

    // What the device-name output does next: a plain open by name, raw bytes out.
    UniqueFd plain(::open(pty.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(plain.valid()) << "exclusive flag left behind?";
    ASSERT_EQ(::ioctl(plain.get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    const std::string line = std::string("A\nB\r\0\x11\x13\xFF", 8);
    ASSERT_EQ(::write(plain.get(), line.data(), line.size()), 8);
    EXPECT_EQ(pty.read(line.size()), line);
}

TEST_F(CommTest, SecondOpenPortRaisesAndTheFirstStaysUsable) {
    OpenAndSettle();
    const int fd = comm->PortHandle();
    try {
        comm->OpenPort();
        ADD_FAILURE() << "second OpenPort did not raise";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "此串口已经打开");
    }
    EXPECT_TRUE(comm->IsOpen());
    EXPECT_EQ(comm->PortHandle(), fd);
    ASSERT_TRUE(Send(*comm, "still here"));
    EXPECT_EQ(pty.read(10), "still here");
}

TEST_F(CommTest, ADeviceHeldElsewhereOrMissingFailsWithTheOpenMessage) {
    // A second component on the same device.
    OpenAndSettle();
    TComm other(notices.poster());
    other.SetCommName("COM3");
    try {
        other.OpenPort();
        ADD_FAILURE() << "a held device opened twice";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), kOpenFailed);
    }
    EXPECT_FALSE(other.IsOpen());
    comm->ClosePort();

    // Any other opener that took the port's lock (another program, root included).
    {
        UniqueFd holder(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(holder.valid());
        ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);
        EXPECT_THROW(comm->OpenPort(), ECommsError);
        EXPECT_FALSE(comm->IsOpen());
    }
    // Released: the same component opens now.
    comm->OpenPort();
    EXPECT_TRUE(comm->IsOpen());
    comm->ClosePort();

    // A device that does not exist, by name and by path.
    PortOverride gone("COM7", "/dev/ttyKelvoMissing7");
    comm->SetCommName("COM7");
    try {
        comm->OpenPort();
        ADD_FAILURE() << "a missing device opened";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), kOpenFailed);
    }
    comm->SetCommName("/dev/ttyKelvoMissing8");
    EXPECT_THROW(comm->OpenPort(), ECommsError);
    EXPECT_FALSE(comm->IsOpen());

    // Something that opens but is no serial device.
    char path[] = "/tmp/kelvo-comm-XXXXXX";
    UniqueFd file(::mkstemp(path));
    ASSERT_TRUE(file.valid());
    comm->SetCommName(path);
    try {
        comm->OpenPort();
        ADD_FAILURE() << "a regular file opened as a port";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "初始化缓冲区出错");
    }
    ::unlink(path);
    EXPECT_FALSE(comm->IsOpen());
}

TEST_F(CommTest, AfterAFailureALaterAttemptStartsClean) {
    const Held before = SettledHeld();
    UniqueFd holder(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(kelvo::LockPortExclusive(holder.get()), 0);
    const Held holding = HeldNow();
    for (int i = 0; i < 5; ++i) {
        EXPECT_THROW(comm->OpenPort(), ECommsError);
        EXPECT_EQ(HeldNow(), holding);
    }
    holder.reset();
    EXPECT_EQ(HeldNow(), before);

    for (int i = 0; i < 3; ++i) {
        comm->OpenPort();
        EXPECT_EQ(HeldNow().tasks, before.tasks + 2);  // reader and writer
        // One notice at each start and one after each write.
        EXPECT_TRUE(notices.pumpUntil([&] { return sendEmpty == 2 * i + 1; }));
        ASSERT_TRUE(Send(*comm, "x"));
        EXPECT_EQ(pty.read(1), "x");
        EXPECT_TRUE(notices.pumpUntil([&] { return sendEmpty == 2 * i + 2; }));
        comm->ClosePort();
        EXPECT_TRUE(BackTo(before));
    }
    EXPECT_EQ(hangups, 0);
}

TEST_F(CommTest, SendDataBytesArriveUnchangedAndInOrder) {
    OpenAndSettle();
    const std::string controls("\x00\x0A\x0D\x11\x13\xFF\x0A\x0D", 8);
    ASSERT_TRUE(Send(*comm, controls));
    std::string expected = controls;
    for (size_t i = 0; i < 50; ++i) {
        const std::string piece = Payload(1 + i * 37, i);
        ASSERT_TRUE(Send(*comm, piece));
        expected += piece;
    }
    // One request as large as a request can be; the pty holds less, so the writer has to wait
    // for room while the test reads.
    std::string big(65535, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    ASSERT_TRUE(Send(*comm, big));
    expected += big;
    const std::string got = pty.read(expected.size(), 10s);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes changed or out of order";
    EXPECT_TRUE(notices.pumpUntil([&] { return sendEmpty >= 2; }));
    EXPECT_TRUE(comm->SendQueueEmpty());
}

TEST_F(CommTest, SendDataWhileClosedOrEmptyReturnsFalseAndPostsNothing) {
    const char byte = 'x';
    EXPECT_FALSE(comm->SendData(&byte, 1));
    EXPECT_EQ(notices.pending(), 0u);

    OpenAndSettle();
    EXPECT_FALSE(comm->SendData(&byte, 0));
    EXPECT_FALSE(comm->SendData(nullptr, 1));
    notices.pumpFor(200ms);
    EXPECT_EQ(sendEmpty, 1);
    EXPECT_EQ(pty.drain(100ms), "");
    EXPECT_TRUE(comm->SendQueueEmpty());

    comm->ClosePort();
    notices.pump();
    EXPECT_FALSE(comm->SendData(&byte, 1));
    EXPECT_EQ(notices.pending(), 0u);
    notices.pumpFor(100ms);
    EXPECT_EQ(sendEmpty, 1);
    EXPECT_EQ(received.size(), 0u);
}

TEST_F(CommTest, OneSendDataEmptyAfterOpeningAndOneAfterARunOfWrites) {
    OpenAndSettle();
    notices.pumpFor(200ms);
    EXPECT_EQ(sendEmpty, 1);

    // The printer says XOFF, so the whole run queues up behind the first write.
    pty.write("\x13");
    std::this_thread::sleep_for(100ms);
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        const std::string piece = Payload(100, static_cast<size_t>(i));
        ASSERT_TRUE(Send(*comm, piece));
        expected += piece;
    }
    EXPECT_FALSE(comm->SendQueueEmpty());
    notices.pumpFor(200ms);
    EXPECT_EQ(pty.drain(50ms), "") << "XOFF not honoured";
    EXPECT_EQ(sendEmpty, 1);

    pty.write("\x11");
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_TRUE(notices.pumpUntil([&] { return sendEmpty == 2; }));
    notices.pumpFor(200ms);
    EXPECT_EQ(sendEmpty, 2);
    EXPECT_TRUE(comm->SendQueueEmpty());
    EXPECT_TRUE(received.empty()) << "XON/XOFF bytes reached the reader";
}

TEST_F(CommTest, ABurstArrivesInOneNoticeWithA00AfterTheData) {
    OpenAndSettle();
    const std::string burst = Payload(300);
    pty.write(burst);
    ASSERT_TRUE(notices.pumpUntil([&] { return !received.empty(); }));
    notices.pumpFor(250ms);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].size(), 300u);
    EXPECT_TRUE(received[0] == burst);
    EXPECT_TRUE(nullAfterData[0]);

    // A later burst is its own notice, in order; more than a buffer is split at 4096.
    const std::string second = Payload(5000, 3);
    pty.write(second);
    ASSERT_TRUE(notices.pumpUntil([&] { return AllReceived().size() == 5300; }));
    notices.pumpFor(250ms);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[1].size(), 4096u);
    EXPECT_EQ(received[2].size(), 904u);
    EXPECT_TRUE(AllReceived() == burst + second);
    for (bool terminated : nullAfterData)
        EXPECT_TRUE(terminated);

    // A trickle with gaps well under 100 ms is still one burst.
    received.clear();
    std::string trickle;
    for (int i = 0; i < 10; ++i) {
        const std::string piece = Payload(20, static_cast<size_t>(i));
        pty.write(piece);
        trickle += piece;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(notices.pumpUntil([&] { return AllReceived().size() == trickle.size(); }));
    notices.pumpFor(200ms);
    EXPECT_EQ(received.size(), 1u);
    EXPECT_TRUE(AllReceived() == trickle);
}

TEST_F(CommTest, ReadTimeoutsAndNullStrippingApplyWhileOpen) {
    OpenAndSettle();
    // A longer interval joins pieces 150 ms apart.
    comm->SetReadIntervalTimeout(600);
    pty.write("ab");
    std::this_thread::sleep_for(150ms);
    pty.write("cd");
    ASSERT_TRUE(notices.pumpUntil([&] { return AllReceived().size() == 4; }));
    notices.pumpFor(100ms);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], "abcd");

    // Back at 100 ms the same pieces are two notices.
    comm->SetReadIntervalTimeout(100);
    received.clear();
    pty.write("ef");
    std::this_thread::sleep_for(300ms);
    pty.write("gh");
    ASSERT_TRUE(notices.pumpUntil([&] { return AllReceived().size() == 4; }));
    EXPECT_EQ(received, (std::vector<std::string>{"ef", "gh"}));

    received.clear();
    comm->SetIgnoreNullChar(true);
    pty.write(std::string("A\0B\0\0C", 6));
    ASSERT_TRUE(notices.pumpUntil([&] { return !received.empty(); }));
    notices.pumpFor(200ms);
    EXPECT_EQ(AllReceived(), "ABC");
}

TEST_F(CommTest, MasterClosedUnderARunningReaderPostsOneHangup) {
    OpenAndSettle();
    closeOnHangup = true;  // a handler may close the port
    pty.write("last words");
    ASSERT_TRUE(notices.pumpUntil([&] { return !received.empty(); }));
    pty.closeMaster();
    ASSERT_TRUE(notices.pumpUntil([&] { return hangups > 0; }));
    EXPECT_FALSE(comm->IsOpen());
    notices.pumpFor(300ms);
    EXPECT_EQ(hangups, 1);
    EXPECT_EQ(AllReceived(), "last words");
}

TEST_F(CommTest, ClosePortReturnsPromptlyAfterHangupAndWhileAWriteIsStopped) {
    const Held before = HeldNow();
    OpenAndSettle();
    pty.closeMaster();
    ASSERT_TRUE(notices.pumpUntil([&] { return hangups == 1; }));
    auto start = std::chrono::steady_clock::now();
    comm->ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(hangups, 1);

    // A writer held by XOFF on another port.
    Pty other;
    PortOverride route("COM4", other.slavePath());
    comm->SetCommName("COM4");
    comm->OpenPort();
    other.write("\x13");
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(Send(*comm, Payload(1000)));
    std::this_thread::sleep_for(100ms);
    start = std::chrono::steady_clock::now();
    comm->ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(comm->SendQueueEmpty());
    EXPECT_EQ(other.drain(100ms), "");
    EXPECT_TRUE(BackTo(before));
}

TEST_F(CommTest, BaudRateWhileOpenAppliesAtOnceParityWaitsSameValueDoesNothing) {
    OpenAndSettle();
    comm->SetBaudRate(9600);
    const termios slow = pty.lineSettings();
    EXPECT_EQ(::cfgetospeed(&slow), speed_t{B9600});
    comm->SetBaudRate(250000);
    uint32_t rate = 0;
    ASSERT_EQ(kelvo::ReadSerialBaud(pty.master(), rate), 0);
    EXPECT_EQ(rate, 250000u);

    // Parity is only stored (a pty keeps PARODD and CMSPAR, so mark parity can be seen) ...
    comm->SetParity(TParity::Mark);
    EXPECT_EQ(pty.lineSettings().c_cflag & (PARODD | CMSPAR), 0u);
    // ... and a setter given the current value re-applies nothing either ...
    comm->SetBaudRate(250000);
    comm->SetStopBits(TStopBits::_2);
    comm->SetXonChar(0x11);
    comm->SetReadIntervalTimeout(100);
    EXPECT_EQ(pty.lineSettings().c_cflag & (PARODD | CMSPAR), 0u);
    // ... until another line property changes.
    comm->SetXoffLimit(400);
    EXPECT_EQ(pty.lineSettings().c_cflag & (PARODD | CMSPAR), tcflag_t{PARODD | CMSPAR});

    // Same value: even a scrambled line is left alone.
    pty.scramble();
    comm->SetBaudRate(250000);
    comm->SetOutx_XonXoffFlow(true);
    termios t = pty.lineSettings();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B300});
    EXPECT_NE(t.c_oflag & OPOST, 0u);
    comm->SetBaudRate(115200);
    comm->SetParity(TParity::None);
    comm->SetXoffLimit(500);
    ExpectComm1Line(pty.lineSettings());

    // The next open applies a stored Parity.
    comm->SetParity(TParity::Space);
    comm->ClosePort();
    comm->OpenPort();
    EXPECT_EQ(pty.lineSettings().c_cflag & (PARODD | CMSPAR), tcflag_t{CMSPAR});
}

TEST_F(CommTest, NoticesStillQueuedWhenTheComponentDiesAreDropped) {
    const Held before = SettledHeld();
    comm->OpenPort();
    pty.write("late");
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (notices.pending() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(notices.pending(), 2u);  // the writer's first notice and the data
    comm.reset();                      // open: the destructor closes the port
    EXPECT_TRUE(BackTo(before));
    EXPECT_EQ(notices.pump(), 2u);
    EXPECT_EQ(sendEmpty, 0);
    EXPECT_TRUE(received.empty());

    // The device was released with it.
    TComm again(notices.poster());
    again.SetCommName("COM3");
    again.OpenPort();
    EXPECT_TRUE(again.IsOpen());
}
