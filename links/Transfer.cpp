#include "links/Transfer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kelvo {

namespace {

thread_local const TransferMonitor* tCurrent = nullptr;

using Clock = std::chrono::steady_clock;

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

TransferScope::TransferScope(const TransferMonitor* monitor) noexcept : previous_(tCurrent) {
    tCurrent = monitor;
}

TransferScope::~TransferScope() {
    tCurrent = previous_;
}

CancelSignal::CancelSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

void CancelSignal::Cancel() noexcept {
    const uint64_t one = 1;
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool CancelSignal::Cancelled() const noexcept {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

int WaitReady(int fd, short events, std::chrono::milliseconds timeout) {
    const int cancelFd = tCurrent != nullptr ? tCurrent->cancelFd : -1;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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

WriteOutcome WriteAll(int fd, const char* data, size_t size, bool socket) {
    WriteOutcome out;
    const TransferMonitor* monitor = tCurrent;
    const auto stallLimit = CurrentStallLimit();
    while (out.written < size) {
        if (TransferCancelled()) {
            out.error = ECANCELED;
            return out;
        }
        const ssize_t n =
            socket ? ::send(fd, data + out.written, size - out.written, MSG_NOSIGNAL | MSG_DONTWAIT)
                   : ::write(fd, data + out.written, size - out.written);
        if (n > 0) {
            out.written += static_cast<size_t>(n);
            if (monitor != nullptr && monitor->progress != nullptr)
                monitor->progress(monitor->context, out.written, size);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            out.error = n == 0 ? ENOSPC : errno;  // nothing taken and no reason: no room
            return out;
        }
        // Full: wait for room. The stall limit counts from the last byte taken.
        if (const int wait = WaitReady(fd, POLLOUT, stallLimit); wait != 0) {
            out.error = wait;
            return out;
        }
    }
    return out;
}

}  // namespace kelvo
