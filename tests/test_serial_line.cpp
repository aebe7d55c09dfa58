// Line settings on a real tty (the slave of a pseudo-terminal), read back from the master side.
// A pty keeps every flag except CSIZE and PARENB, which it forces to CS8 and off, and it ignores
// the speed on the wire but stores it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "links/SerialLine.h"
#include "links/UniqueFd.h"
#include "testing/Pty.h"

using kelvo::ApplySerialLine;
using kelvo::ReadSerialBaud;
using kelvo::SerialLineMode;
using kelvo::SerialLineSettings;
using kelvo::SerialParity;
using kelvo::SerialStopBits;
using kelvo::UniqueFd;
using kelvo::testing::Pty;

namespace {

UniqueFd OpenSlave(const Pty& pty) {
    UniqueFd fd(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << pty.slavePath();
    return fd;
}

SerialLineSettings PrinterLine() {
    SerialLineSettings s;
    s.baudRate = 115200;
    s.stopBits = SerialStopBits::Two;
    s.xonXoffInput = true;
    s.xonXoffOutput = true;
    return s;
}

std::string ReadSlave(int fd, size_t n) {
    std::string out;
    for (int rounds = 0; out.size() < n && rounds < 100; ++rounds) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buf[512];
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0)
            out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

std::string AllBytesBut(std::string_view left_out) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        if (left_out.find(static_cast<char>(b)) == std::string_view::npos) {
            all += static_cast<char>(b);
        }
    }
    return all;
}

}  // namespace

TEST(SerialLine, SetsEveryFlagForRawEightBitsTwoStopBitsXonXoff) {
    Pty pty;
    pty.scramble();
    UniqueFd slave = OpenSlave(pty);
    ASSERT_EQ(ApplySerialLine(slave.get(), PrinterLine()), 0);

    const termios t = pty.lineSettings();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B115200});
    EXPECT_EQ(::cfgetispeed(&t), speed_t{B115200});
    uint32_t rate = 0;
    ASSERT_EQ(ReadSerialBaud(slave.get(), rate), 0);
    EXPECT_EQ(rate, 115200u);

    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_EQ(t.c_iflag & (IXANY | IMAXBEL | INPCK | PARMRK | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CSTOPB), tcflag_t{CLOCAL | CREAD | CSTOPB});
    EXPECT_EQ(t.c_cflag & (CRTSCTS | PARODD | CMSPAR), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialLine, EveryByteValuePassesUnchangedBothWays) {
    Pty pty;
    pty.scramble();
    UniqueFd slave = OpenSlave(pty);
    ASSERT_EQ(ApplySerialLine(slave.get(), PrinterLine()), 0);

    // Out: XON/XOFF flow only governs what comes in, so 11 and 13 leave like any byte.
    const std::string all = AllBytesBut("");
    ASSERT_EQ(::write(slave.get(), all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(pty.read(all.size()), all);

    // In, with XON/XOFF honoured: 11 and 13 are flow control, everything else arrives as sent.
    const std::string data = AllBytesBut("\x11\x13");
    pty.write(data);
    EXPECT_EQ(ReadSlave(slave.get(), data.size()), data);

    // In, without XON/XOFF: all 256 values.
    SerialLineSettings plain = PrinterLine();
    plain.xonXoffOutput = false;
    plain.xonXoffInput = false;
    ASSERT_EQ(ApplySerialLine(slave.get(), plain), 0);
    pty.write(all);
    EXPECT_EQ(ReadSlave(slave.get(), all.size()), all);
}

TEST(SerialLine, AnyBaudRateStandardOrNot) {
    Pty pty;
    UniqueFd slave = OpenSlave(pty);
    SerialLineSettings s = PrinterLine();
    for (uint32_t want : {250000u, 9600u, 31250u, 1234567u, 115200u, 50u, 4000000u}) {
        s.baudRate = want;
        ASSERT_EQ(ApplySerialLine(slave.get(), s), 0) << want;
        uint32_t rate = 0;
        ASSERT_EQ(ReadSerialBaud(pty.master(), rate), 0);
        EXPECT_EQ(rate, want);
    }
    // A standard rate after a non-standard one is an ordinary Bnnn again.
    s.baudRate = 19200;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    const termios t = pty.lineSettings();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B19200});
    // The rest of the settings survive the BOTHER step.
    s.baudRate = 250000;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    const termios u = pty.lineSettings();
    EXPECT_EQ(u.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_EQ(u.c_cflag & CSTOPB, tcflag_t{CSTOPB});
    EXPECT_EQ(u.c_oflag & OPOST, 0u);
}

TEST(SerialLine, RateZeroAndNonTtysAreRefusedWithoutChange) {
    Pty pty;
    UniqueFd slave = OpenSlave(pty);
    ASSERT_EQ(ApplySerialLine(slave.get(), PrinterLine()), 0);
    SerialLineSettings zero = PrinterLine();
    zero.baudRate = 0;
    zero.stopBits = SerialStopBits::One;
    EXPECT_EQ(ApplySerialLine(slave.get(), zero), EINVAL);
    const termios t = pty.lineSettings();
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B115200});
    EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t{CSTOPB});

    char path[] = "/tmp/kelvo-serial-line-XXXXXX";
    UniqueFd file(::mkstemp(path));
    ASSERT_TRUE(file.valid());
    ::unlink(path);
    EXPECT_EQ(ApplySerialLine(file.get(), PrinterLine()), ENOTTY);
}

TEST(SerialLine, ParityStopBitsAndParityCheckMapping) {
    Pty pty;
    UniqueFd slave = OpenSlave(pty);
    struct Case {
        SerialParity parity;
        tcflag_t visible;  // what a pty keeps of the parity bits (it clears PARENB)
    };
    for (Case c :
         {Case{SerialParity::None, 0}, Case{SerialParity::Odd, PARODD}, Case{SerialParity::Even, 0},
          Case{SerialParity::Mark, PARODD | CMSPAR}, Case{SerialParity::Space, CMSPAR}}) {
        SerialLineSettings s = PrinterLine();
        s.parity = c.parity;
        ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
        EXPECT_EQ(pty.lineSettings().c_cflag & (PARODD | CMSPAR), c.visible)
            << static_cast<int>(c.parity);
    }

    SerialLineSettings s = PrinterLine();
    s.stopBits = SerialStopBits::One;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    EXPECT_EQ(pty.lineSettings().c_cflag & CSTOPB, 0u);
    s.stopBits = SerialStopBits::OnePointFive;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    EXPECT_EQ(pty.lineSettings().c_cflag & CSTOPB, tcflag_t{CSTOPB});

    // Replacing bad bytes (with 00) is INPCK; checking alone passes them unchanged.
    // Even parity alone is a request the pty refuses whole: glibc then reports EINVAL.
    s.parity = SerialParity::Even;
    s.parityCheck = true;
    EXPECT_EQ(ApplySerialLine(slave.get(), s), EINVAL);
    EXPECT_EQ(pty.lineSettings().c_iflag & (INPCK | PARMRK | IGNPAR), 0u);
    s.replaceParityErrors = true;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    EXPECT_EQ(pty.lineSettings().c_iflag & (INPCK | PARMRK | IGNPAR), tcflag_t{INPCK});
    s.parity = SerialParity::None;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    EXPECT_EQ(pty.lineSettings().c_iflag & INPCK, 0u);

    // A refused part does not keep the rest from being applied.
    s = PrinterLine();
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    s.parity = SerialParity::Even;
    s.baudRate = 250000;
    EXPECT_EQ(ApplySerialLine(slave.get(), s), EINVAL);
    uint32_t rate = 0;
    ASSERT_EQ(ReadSerialBaud(pty.master(), rate), 0);
    EXPECT_EQ(rate, 250000u);
}

TEST(SerialLine, FlowControlCharactersAndModemLinesOnADeviceWithoutThem) {
    Pty pty;
    UniqueFd slave = OpenSlave(pty);
    SerialLineSettings s = PrinterLine();
    s.xonChar = 0x01;
    s.xoffChar = 0x02;
    s.xonXoffInput = false;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    termios t = pty.lineSettings();
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON});

    s = PrinterLine();
    s.ctsOutputFlow = true;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    EXPECT_EQ(pty.lineSettings().c_cflag & CRTSCTS, tcflag_t{CRTSCTS});
    s.ctsOutputFlow = false;
    s.rts = SerialLineMode::Handshake;
    ASSERT_EQ(ApplySerialLine(slave.get(), s), 0);
    EXPECT_EQ(pty.lineSettings().c_cflag & CRTSCTS, tcflag_t{CRTSCTS});

    // A pty has no modem lines: every DTR and RTS mode is accepted.
    for (SerialLineMode m : {SerialLineMode::Disable, SerialLineMode::Enable,
                             SerialLineMode::Handshake, SerialLineMode::Toggle}) {
        s.dtr = m;
        s.rts = m;
        EXPECT_EQ(ApplySerialLine(slave.get(), s), 0) << static_cast<int>(m);
    }
}
