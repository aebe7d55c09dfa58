#include "links/Transfer.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace kelvo {

namespace {

thread_local const TransferMonitor* tCurrent = nullptr;

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kRefusedRetryPause{10};
constexpr std::chrono::milliseconds kDrainPollPause{10};

}  // namespace

const TransferMonitor* CurrentTransfer() noexcept {
    return tCurrent;
}

std::chrono::milliseconds CurrentStallLimit() noexcept {
    if (tCurrent != nullptr && tCurrent->stallLimitMs > 0)
        return std::chrono::milliseconds(tCurrent->stallLimitMs);
    return kStallLimit;
}

bool TransferCancelled() noexcept {
    if (tCurrent == nullptr || tCurrent->cancelFd < 0)
        return false;
    pollfd p{tCurrent->cancelFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void NoteSent(const char* data, size_t size) noexcept {
    if (tCurrent != nullptr && tCurrent->sent != nullptr && size > 0)
        tCurrent->sent(tCurrent->context, data, size);
}

TransferScope::TransferScope(const TransferMonitor* monitor) noexcept : previous_(tCurrent) {
    tCurrent = monitor;
}

TransferScope::~TransferScope() {
    tCurrent = previous_;
}

CancelSignal::CancelSignal() = default;

void CancelSignal::Cancel() noexcept {
    event_.Signal();
}

bool CancelSignal::Cancelled() const noexcept {
    return event_.IsSet();
}

int WaitReady(int fd, short events, std::chrono::milliseconds timeout) {
    const int cancelFd = tCurrent != nullptr ? tCurrent->cancelFd : -1;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int r = ::poll(fds, cancelFd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (cancelFd >= 0 && (fds[1].revents & POLLIN) != 0)
            return ECANCELED;
        if ((fds[0].revents & POLLNVAL) != 0)
            return EBADF;
        // Ready, or an error or hang-up that the next call on the descriptor will name.
        if (fds[0].revents != 0)
            return 0;
    }
}

void NoteTaken(WriteOutcome& out, const char* data, size_t n, size_t size) noexcept {
    NoteSent(data + out.written, n);
    out.written += n;
    if (tCurrent != nullptr && tCurrent->progress != nullptr)
        tCurrent->progress(tCurrent->context, out.written, size);
}

std::chrono::milliseconds StallTimeLeft(Clock::time_point lastTaken) noexcept {
    return std::chrono::ceil<std::chrono::milliseconds>(lastTaken + CurrentStallLimit() -
                                                        Clock::now());
}

WriteOutcome WriteAll(int fd, const char* data, size_t size, bool socket) {
    WriteOutcome out;
    auto lastTaken = Clock::now();
    bool pollSaidReady = false;
    while (out.written < size) {
        if (TransferCancelled()) {
            out.error = ECANCELED;
            return out;
        }
        const ssize_t n =
            socket ? ::send(fd, data + out.written, size - out.written, MSG_NOSIGNAL | MSG_DONTWAIT)
                   : ::write(fd, data + out.written, size - out.written);
        if (n > 0) {
            const bool partial = static_cast<size_t>(n) < size - out.written;
            NoteTaken(out, data, static_cast<size_t>(n), size);
            lastTaken = Clock::now();
            pollSaidReady = false;
            // Took part only: it is full, so wait for room rather than hear that from a write.
            if (!partial)
                continue;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            out.error = n == 0 ? ENOSPC : errno;  // nothing taken and no reason: no room
            return out;
        }
        // Full: wait for room. The stall limit counts from the last byte taken, not from this
        // wait, or a descriptor that wakes without taking anything would never stall.
        const auto left = StallTimeLeft(lastTaken);
        if (left.count() <= 0) {
            out.error = ETIMEDOUT;
            return out;
        }
        // The parallel port driver cannot be polled: it is always "ready" and still refuses.
        // Retry it at a walking pace instead of spinning.
        const int wait = pollSaidReady ? WaitReady(-1, 0, std::min(left, kRefusedRetryPause))
                                       : WaitReady(fd, POLLOUT, left);
        if (wait != 0 && !(pollSaidReady && wait == ETIMEDOUT)) {
            out.error = wait;
            return out;
        }
        pollSaidReady = wait == 0;
    }
    return out;
}

ReadOutcome ReadWithin(int fd, char* data, size_t size, std::chrono::milliseconds timeout,
                       bool socket) {
    ReadOutcome out;
    const auto deadline = Clock::now() + timeout;
    bool pollSaidReady = false;
    for (;;) {
        const ssize_t n = socket ? ::recv(fd, data, size, MSG_DONTWAIT) : ::read(fd, data, size);
        if (n >= 0) {
            out.count = static_cast<size_t>(n);
            return out;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            out.error = errno;
            return out;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            out.error = ETIMEDOUT;
            return out;
        }
        // As for writes, the parallel port driver cannot be polled: retry it at a walking pace.
        const int wait = pollSaidReady ? WaitReady(-1, 0, std::min(left, kRefusedRetryPause))
                                       : WaitReady(fd, POLLIN, left);
        if (wait != 0 && !(pollSaidReady && wait == ETIMEDOUT)) {
            out.error = wait;
            return out;
        }
        pollSaidReady = wait == 0;
    }
}

DrainOutcome WaitOutputDrained(int fd, const std::function<int()>& meanwhile) {
    DrainOutcome out;
    auto lastShrank = Clock::now();
    for (bool first = true;; first = false) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            out.left = 0;
            return out;
        }
        if (first || static_cast<size_t>(queued) < out.left)
            lastShrank = Clock::now();
        out.left = static_cast<size_t>(queued);
        if (meanwhile) {
            if (const int error = meanwhile(); error != 0) {
                out.error = error;
                return out;
            }
        }
        const auto left = StallTimeLeft(lastShrank);
        if (left.count() <= 0) {
            out.error = ETIMEDOUT;
            return out;
        }
        // Neither a terminal nor a socket can be polled for "sent": ask again shortly.
        if (const int wait = WaitReady(-1, 0, std::min(left, kDrainPollPause)); wait != ETIMEDOUT) {
            out.error = wait;
            return out;
        }
    }
}

}  // namespace kelvo
