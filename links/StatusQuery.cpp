#include "links/StatusQuery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "links/InOutError.h"
#include "links/PortLock.h"
#include "links/PortName.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"
#include "protocol/Commands.h"

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;

// `port` offers TakeWaiting() (what has arrived, without waiting), Send(request),
// ReadByte(timeout) and Untouched() (nothing sent or heard on it yet).
template <typename Port>
StatusAnswers AskFour(Port& port, std::chrono::milliseconds perRequest) {
    StatusAnswers out;
    // Once the line has fallen quiet and each answer comes in its time with nothing after it,
    // no stale answer can be on its way: only what comes otherwise makes it wait again. Nor can
    // one be on a fresh connection that has carried nothing yet.
    bool quiet = port.Untouched();
    for (uint8_t n = 1; n <= out.answer.size(); ++n) {
        if (std::string waiting = port.TakeWaiting(); !waiting.empty()) {
            out.unsolicited += waiting;
            quiet = false;
        }
        // Only a line that has fallen quiet can tell an answer from what the printer says anyway.
        const auto giveUp = Clock::now() + perRequest;
        while (!quiet) {
            const auto unasked = port.ReadByte(kStatusQuietGap);
            if (!unasked)
                break;
            out.unsolicited += static_cast<char>(*unasked);
            out.unsolicited += port.TakeWaiting();
            if (Clock::now() >= giveUp)
                return out;
        }
        port.Send(TransmitStatus(n));
        quiet = (out.answer[n - 1] = port.ReadByte(perRequest)).has_value();
        if (quiet)
            continue;
        // The answer may still come: it must not land in the next request's slot.
        if ((out.late[n - 1] = port.ReadByte(perRequest)))
            out.unsolicited += static_cast<char>(*out.late[n - 1]);
    }
    return out;
}

[[noreturn]] void Fail(int err) {
    throw EInOutError(InOutErrorCodeFromErrno(err), err);
}

// A port claimed for one query: what a terminal had is back, and nothing of the query is left to
// go out late, once it closes.
class QueryPort {
  public:
    explicit QueryPort(const std::string& name) {
        dev_t device = 0;
        fd_ = ClaimPort(name, &device);
        // Parallel (major 6) and USB printer (180) ports read back only in some modes; where they
        // cannot, a failed read means no answer, not a broken port.
        readMayFail_ = ::major(device) == 6 || ::major(device) == 180;
        termios t{};
        if (::tcgetattr(fd_.get(), &t) == 0) {
            termios asking = t;
            // Echo would send the answers back to the printer as commands, line editing would hold
            // them until a line end, and a status byte 1A would be taken for "suspend". VMIN 1 so
            // that poll reports a single byte.
            asking.c_lflag &= ~(ICANON | ECHO | ECHONL | ISIG);
            asking.c_cc[VMIN] = 1;
            asking.c_cc[VTIME] = 0;
            if (::tcsetattr(fd_.get(), TCSANOW, &asking) != 0)
                ThrowInOutErrorFromErrno(errno);
            saved_ = t;
        }
    }
    ~QueryPort() {
        // A request the printer never took would otherwise hold close() up to 30 s and reach it
        // later.
        ::tcflush(fd_.get(), TCOFLUSH);
        if (saved_)
            ::tcsetattr(fd_.get(), TCSANOW, &*saved_);
    }
    QueryPort(const QueryPort&) = delete;
    QueryPort& operator=(const QueryPort&) = delete;

    void Send(const std::string& bytes) {
        if (const int err = WriteAll(fd_.get(), bytes.data(), bytes.size(), false).error; err != 0)
            Fail(err);
    }

    std::string TakeWaiting() {
        std::string waiting;
        char chunk[256];
        // Bounded, so a port that never stops talking cannot keep the query here.
        while (waiting.size() < 64 * 1024) {
            const ReadOutcome in =
                ReadWithin(fd_.get(), chunk, sizeof chunk, std::chrono::milliseconds(0), false);
            if (in.count == 0)
                break;
            waiting.append(chunk, in.count);
        }
        return waiting;
    }

    // A port may hold what a program before us left on its line.
    static bool Untouched() { return false; }

    std::optional<uint8_t> ReadByte(std::chrono::milliseconds timeout) {
        char byte = 0;
        const ReadOutcome in = ReadWithin(fd_.get(), &byte, 1, timeout, false);
        if (in.count == 1)
            return static_cast<uint8_t>(byte);
        if (in.error == ETIMEDOUT || (readMayFail_ && in.error != ECANCELED))
            return std::nullopt;
        Fail(in.error == 0 ? EIO : in.error);  // read 0: the port hung up
    }

  private:
    UniqueFd fd_;
    std::optional<termios> saved_;
    bool readMayFail_ = false;
};

}  // namespace

StatusAnswers QueryStatus(NetworkLink& link, std::chrono::milliseconds perRequest) {
    struct LinkPort {
        NetworkLink& link;
        std::string TakeWaiting() { return link.TakeUnsolicited(); }
        void Send(const std::string& request) { link.SendRaw(request); }
        std::optional<uint8_t> ReadByte(std::chrono::milliseconds timeout) {
            return link.ReadByte(timeout);
        }
        bool Untouched() const { return link.Untouched(); }
    } port{link};
    return AskFour(port, perRequest);
}

StatusAnswers QueryDeviceStatus(const std::string& portName, std::chrono::milliseconds perRequest) {
    // A port that takes no request (an offline parallel port, XOFF held) is given up after the
    // time the answers are given, not after a print's stall limit.
    TransferMonitor bounded;
    if (const TransferMonitor* current = CurrentTransfer(); current != nullptr)
        bounded = *current;
    bounded.stallLimitMs =
        static_cast<int32_t>(std::min(CurrentStallLimit(), 4 * perRequest).count());
    TransferScope scope(&bounded);
    QueryPort port(portName);
    return AskFour(port, perRequest);
}

}  // namespace kelvo
