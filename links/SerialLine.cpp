#include "links/SerialLine.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "links/SerialBaud.h"

namespace kelvo {

namespace {

struct StandardRate {
    uint32_t rate;
    speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// 0 when the rate has no Bnnn code.
speed_t StandardCode(uint32_t rate) {
    for (const StandardRate& r : kStandardRates) {
        if (r.rate == rate)
            return r.code;
    }
    return 0;
}

tcflag_t SizeFlag(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

// Raises or lowers one modem line. Pseudo-terminals and some adapters have none: not a failure.
int SetModemLine(int fd, int line, bool raise) {
    if (::ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return 0;
    return (errno == ENOTTY || errno == EINVAL) ? 0 : errno;
}

}  // namespace

int ApplySerialLine(int fd, const SerialLineSettings& s) {
    if (s.baudRate == 0)
        return EINVAL;
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return errno;

    // Raw both ways: no output post-processing, no input translation, no echo, no signals.
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | IMAXBEL);
    if (s.xonXoffOutput)
        t.c_iflag |= IXON;
    if (s.xonXoffInput)
        t.c_iflag |= IXOFF;
    if (s.parityCheck && s.replaceParityErrors && s.parity != SerialParity::None) {
        t.c_iflag |= INPCK;
    }

    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CIBAUD);
    t.c_cflag |= SizeFlag(s.dataBits) | CREAD | CLOCAL;  // CLOCAL: never wait for carrier
    switch (s.parity) {
        case SerialParity::None:
            break;
        case SerialParity::Odd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case SerialParity::Even:
            t.c_cflag |= PARENB;
            break;
        case SerialParity::Mark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SerialParity::Space:
            t.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (s.stopBits != SerialStopBits::One)
        t.c_cflag |= CSTOPB;
    if (s.ctsOutputFlow || s.rts == SerialLineMode::Handshake)
        t.c_cflag |= CRTSCTS;

    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    t.c_cc[VMIN] = 1;  // with O_NONBLOCK a read without data is EAGAIN, never a 0 (hang-up)
    t.c_cc[VTIME] = 0;

    const speed_t code = StandardCode(s.baudRate);
    if (code != 0) {
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
    }
    // A refused part does not stop the rest: the first error is reported after all was tried.
    int first = ::tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
    auto keep = [&first](int err) {
        if (first == 0)
            first = err;
    };
    if (code == 0)
        keep(detail::SetOtherBaud(fd, s.baudRate));
    keep(SetModemLine(fd, TIOCM_DTR, s.dtr != SerialLineMode::Disable));
    // With Handshake the kernel drives RTS; Toggle has no termios form.
    if (s.rts == SerialLineMode::Enable || s.rts == SerialLineMode::Disable) {
        keep(SetModemLine(fd, TIOCM_RTS, s.rts == SerialLineMode::Enable));
    }
    return first;
}

WriteOutcome WriteRealTime(int fd, const char* data, size_t size) {
    // TCOON alone restarts only what TCOOFF stopped; after a TCOOFF it restarts what an XOFF did.
    // Not a terminal (a printer port): nothing to restart.
    auto restart = [fd] {
        if (::tcflow(fd, TCOOFF) == 0)
            ::tcflow(fd, TCOON);
    };
    restart();
    const WriteOutcome out = WriteAll(fd, data, size, false);
    restart();
    return out;
}

}  // namespace kelvo
