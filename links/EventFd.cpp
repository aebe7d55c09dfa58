#include "links/EventFd.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <system_error>

namespace kelvo {

EventFd::EventFd() : EventFd(std::nothrow) {
    if (!valid())
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

EventFd::EventFd(std::nothrow_t) noexcept : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void EventFd::Signal() noexcept {
    const uint64_t one = 1;
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

uint64_t EventFd::Take() noexcept {
    uint64_t count = 0;
    while (::read(fd_.get(), &count, sizeof count) < 0) {
        if (errno != EINTR)
            return 0;  // EAGAIN: not set
    }
    return count;
}

bool EventFd::IsSet() const noexcept {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace kelvo
