#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "links/PortLock.h"
#include "links/PortName.h"
#include "links/Posdll.h"
#include "links/SerialLine.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"
#include "posdll/Ports.h"

namespace kelvo::posdll {

namespace {

class SerialPort : public Port {
  public:
    explicit SerialPort(UniqueFd fd) : fd_(std::move(fd)) {}
    ~SerialPort() override { Close(); }
    int32_t Close() override {
        if (!fd_)
            return kPosSuccess;
        // Let the printer have what is still queued while it takes it, but not for ever: a port
        // held by XOFF would otherwise block close() for up to 30 s. Cancelled: drop it at once.
        int32_t result = kPosSuccess;
        if (const int error = WaitOutputDrained(fd_.get()).error; error != 0) {
            ::tcflush(fd_.get(), TCOFLUSH);
            result = error == ETIMEDOUT ? kPosTimeout : kPosFailed;
        }
        ::ioctl(fd_.get(), TIOCNXCL);
        fd_.reset();
        return result;
    }
    int32_t Write(const char* data, size_t size) override {
        const int32_t result = WriteAllBytes(fd_.get(), data, size, false);
        // Stalled or cancelled: what is still queued must not reach the printer later, and the
        // close need not wait for it.
        if (result != kPosSuccess)
            ::tcflush(fd_.get(), TCOFLUSH);
        return result;
    }

  private:
    UniqueFd fd_;
};

}  // namespace

std::unique_ptr<Port> OpenSerialPort(const std::string& name, int32_t baudRate, int32_t dataBits,
                                     int32_t stopBits, int32_t parity, int32_t flow) {
    if (name.empty() || baudRate <= 0 || dataBits < 5 || dataBits > 8 || stopBits < 0 ||
        stopBits > 2 || parity < 0 || parity > 4 || flow < 0 || flow > 2) {
        return nullptr;
    }
    SerialLineSettings line;
    line.baudRate = static_cast<uint32_t>(baudRate);
    line.dataBits = dataBits;
    static constexpr SerialStopBits kStopBits[] = {
        SerialStopBits::One, SerialStopBits::OnePointFive, SerialStopBits::Two};
    line.stopBits = kStopBits[stopBits];
    static constexpr SerialParity kParity[] = {SerialParity::None, SerialParity::Odd,
                                               SerialParity::Even, SerialParity::Mark,
                                               SerialParity::Space};
    line.parity = kParity[parity];
    if (flow == 0) {
        line.xonXoffOutput = true;
        line.xonXoffInput = true;
    } else if (flow == 1) {
        line.ctsOutputFlow = true;
        line.rts = SerialLineMode::Handshake;
    }

    // Never O_CREAT: a missing device must stay missing, not become a file in /dev.
    const ResolvedPort port = ResolvePortName(name);
    UniqueFd fd(::open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || !::isatty(fd.get()) || LockPortExclusive(fd.get()) != 0)
        return nullptr;
    ::ioctl(fd.get(), TIOCEXCL);
    if (ApplySerialLine(fd.get(), line) != 0) {
        ::ioctl(fd.get(), TIOCNXCL);
        return nullptr;
    }
    return std::make_unique<SerialPort>(std::move(fd));
}

}  // namespace kelvo::posdll
