#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

#include "links/Comm_p.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Devices that count line errors and modem changes (real UARTs) cannot wake poll for them, so
// the reader looks at the counters at least this often while idle.
constexpr int kCounterSampleMs = 100;

// Capped at about 35 years, so that adding it to a clock reading cannot overflow.
uint64_t TotalTimeoutMs(const kelvo::comm::ReadRules& rules) {
    const uint64_t total = uint64_t{rules.totalMultiplierMs.load()} * TReadThread::kBufferSize +
                           rules.totalConstantMs.load();
    return std::min<uint64_t>(total, uint64_t{1} << 40);
}

// When the read collecting bytes since `readStart` completes, or nothing when it only completes on
// a full buffer. Same rules as the serial API's read time-outs for a 4096-byte read.
std::optional<Clock::time_point> CompletionDue(const kelvo::comm::ReadRules& rules,
                                               Clock::time_point readStart,
                                               Clock::time_point lastByte) {
    const uint32_t interval = rules.intervalMs.load();
    const uint64_t total = TotalTimeoutMs(rules);
    if (interval == std::numeric_limits<uint32_t>::max())
        return lastByte;  // what is there, now
    std::optional<Clock::time_point> due;
    if (interval != 0)
        due = lastByte + Millis(interval);
    if (total != 0) {
        const Clock::time_point end = readStart + Millis(total);
        due = due ? std::min(*due, end) : end;
    }
    return due;
}

uint32_t ErrorFlags(const serial_icounter_struct& was, const serial_icounter_struct& now) {
    uint32_t flags = 0;
    if (now.buf_overrun != was.buf_overrun)
        flags |= CE_RXOVER;
    if (now.overrun != was.overrun)
        flags |= CE_OVERRUN;
    if (now.parity != was.parity)
        flags |= CE_RXPARITY;
    if (now.frame != was.frame)
        flags |= CE_FRAME;
    if (now.brk != was.brk)
        flags |= CE_BREAK;
    return flags;
}

uint32_t ModemBits(const serial_icounter_struct& was, const serial_icounter_struct& now) {
    uint32_t bits = 0;
    if (now.dcd != was.dcd)
        bits |= kModemCarrierChanged;
    if (now.rng != was.rng)
        bits |= kModemRing;
    return bits;
}

}  // namespace

TReadThread::TReadThread(int port, int stopEvent, kelvo::comm::NoticeSink sink,
                         const kelvo::comm::ReadRules& rules)
    : port_(port), stopEvent_(stopEvent), sink_(std::move(sink)), rules_(rules) {}

TReadThread::~TReadThread() {
    WaitFor();
}

void TReadThread::Start() {
    thread_ = std::thread([this] { Execute(); });
}

void TReadThread::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

bool TReadThread::PassReceivedBytes(const char* bytes, size_t count) {
    std::string copy;
    try {
        copy.assign(bytes, count);
    } catch (...) {
        sink_.RequestHangup();
        return false;
    }
    if (!sink_.ReceiveData(std::move(copy))) {
        sink_.RequestHangup();
        return false;
    }
    return true;
}

void TReadThread::Execute() {
    // Line errors and modem changes are reported where the device counts them; a pseudo-terminal
    // or an adapter without counters has none to report.
    serial_icounter_struct counters{};
    bool haveCounters = ::ioctl(port_, TIOCGICOUNT, &counters) == 0;

    char buffer[kBufferSize];
    size_t count = 0;
    Clock::time_point readStart = Clock::now();
    Clock::time_point lastByte = readStart;

    for (;;) {
        Clock::time_point now = Clock::now();
        int timeoutMs = -1;
        if (count > 0) {
            if (auto due = CompletionDue(rules_, readStart, lastByte)) {
                if (now >= *due) {
                    if (!PassReceivedBytes(buffer, count))
                        break;
                    count = 0;
                    readStart = now;
                    continue;
                }
                const auto left = std::chrono::ceil<Millis>(*due - now).count();
                timeoutMs = static_cast<int>(std::min<int64_t>(left, 60'000));
            }
        }
        if (haveCounters && (timeoutMs < 0 || timeoutMs > kCounterSampleMs)) {
            timeoutMs = kCounterSampleMs;
        }

        pollfd fds[2] = {{stopEvent_, POLLIN, 0}, {port_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            sink_.RequestHangup();
            break;
        }
        if (fds[0].revents != 0)
            break;  // stop: what was collected so far is dropped

        if (haveCounters) {
            serial_icounter_struct fresh{};
            if (::ioctl(port_, TIOCGICOUNT, &fresh) == 0) {
                const uint32_t errors = ErrorFlags(counters, fresh);
                const uint32_t modem = ModemBits(counters, fresh);
                counters = fresh;
                if (errors != 0 && !sink_.ReceiveError(errors)) {
                    sink_.RequestHangup();
                    break;
                }
                if (modem != 0 && !sink_.ModemStateChange(modem)) {
                    sink_.RequestHangup();
                    break;
                }
            }
            // A failure here shows up on the next read as well; it is reported there.
        }

        const short events = fds[1].revents;
        if (events & POLLNVAL)
            break;  // the descriptor itself is gone: end silently
        if (events == 0)
            continue;

        const ssize_t n = ::read(port_, buffer + count, kBufferSize - count);
        if (n > 0) {
            now = Clock::now();
            if (count == 0) {
                // An empty read that ran out of time has been re-armed meanwhile.
                const uint64_t total = TotalTimeoutMs(rules_);
                if (total != 0 && now - readStart >= Millis(total))
                    readStart = now;
            }
            size_t added = static_cast<size_t>(n);
            if (rules_.stripNulls.load()) {
                char* begin = buffer + count;
                added = static_cast<size_t>(std::remove(begin, begin + added, '\0') - begin);
            }
            count += added;
            if (added != 0)
                lastByte = now;
            if (count == kBufferSize) {
                if (!PassReceivedBytes(buffer, count))
                    break;
                count = 0;
                readStart = now;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // End of data (hang-up) or a device error. Bytes that arrived before it still count.
        const bool descriptorGone = n < 0 && errno == EBADF;
        if (count > 0 && !PassReceivedBytes(buffer, count))
            break;
        if (!descriptorGone)
            sink_.RequestHangup();
        break;
    }

    (void)::tcflush(port_, TCIFLUSH);
}
