#include "links/SerialSpeed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>

#include "links/InOutError.h"
#include "links/PortLock.h"
#include "links/PortName.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"
#include "protocol/Commands.h"
#include "protocol/PrinterStatus.h"

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The port for the search only: its settings go back as they were when it closes.
class SearchPort {
  public:
    explicit SearchPort(const std::string& name) : fd_(ClaimPort(name)) {
        if (::tcgetattr(fd_.get(), &saved_) != 0)
            ThrowInOutErrorFromErrno(errno);  // no terminal: it has no speed to find
    }
    ~SearchPort() {
        // A request still queued must not reach the printer at the restored speed.
        ::tcflush(fd_.get(), TCIOFLUSH);
        ::tcsetattr(fd_.get(), TCSANOW, &saved_);
    }
    SearchPort(const SearchPort&) = delete;
    SearchPort& operator=(const SearchPort&) = delete;

    int fd() const { return fd_.get(); }

    // Nothing for `gap`, within `limit`; false when the line kept talking or the wait ended.
    bool WaitQuiet(milliseconds gap, milliseconds limit) {
        const auto giveUp = Clock::now() + limit;
        char sink[64];
        for (;;) {
            const ReadOutcome in = ReadWithin(fd_.get(), sink, sizeof sink, gap, false);
            if (in.error == ETIMEDOUT)
                return true;
            if (in.error != 0 || in.count == 0 || Clock::now() >= giveUp)
                return false;
        }
    }

    std::optional<uint8_t> Ask(milliseconds wait) {
        const std::string request = TransmitStatus(1);
        if (WriteRealTime(fd_.get(), request.data(), request.size()).error != 0)
            return std::nullopt;
        char byte = 0;
        const ReadOutcome in = ReadWithin(fd_.get(), &byte, 1, wait, false);
        if (in.error != 0 || in.count != 1)
            return std::nullopt;
        return static_cast<uint8_t>(byte);
    }

  private:
    UniqueFd fd_;
    termios saved_{};
};

}  // namespace

SerialLineSettings SpeedSearchLine() {
    SerialLineSettings line;
    line.dataBits = 8;
    line.parity = SerialParity::None;
    line.stopBits = SerialStopBits::One;
    line.xonXoffOutput = true;
    line.xonXoffInput = true;
    return line;
}

std::optional<SerialSpeed> FindSerialSpeed(const std::string& portName,
                                           const SerialLineSettings& line, milliseconds perTry,
                                           int cancelFd) {
    // A printer that holds the line (XOFF) at a wrong rate is given up after the try's time.
    TransferMonitor bounded;
    bounded.cancelFd = cancelFd;
    bounded.stallLimitMs = static_cast<int32_t>(perTry.count());
    TransferScope scope(&bounded);
    SearchPort port(portName);
    for (const uint32_t rate : kSearchBaudRates) {
        if (TransferCancelled())
            return std::nullopt;
        SerialLineSettings settings = line;
        settings.baudRate = rate;
        if (ApplySerialLine(port.fd(), settings) != 0)
            continue;
        // What came in at the last rate is noise at this one.
        ::tcflush(port.fd(), TCIOFLUSH);
        if (!port.WaitQuiet(kStatusQuietGap, perTry))
            continue;
        const auto first = port.Ask(perTry);
        if (!first || !IsStatusByte(*first))
            continue;
        const auto second = port.Ask(perTry);
        if (second == first)
            return SerialSpeed{rate, *first};
    }
    return std::nullopt;
}

}  // namespace kelvo
