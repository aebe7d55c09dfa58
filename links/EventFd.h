#pragma once

#include <cstdint>
#include <new>

#include "links/UniqueFd.h"

namespace kelvo {

// An eventfd that wakes a thread out of poll: any thread signals, the woken one takes the count.
class EventFd {
  public:
    EventFd();  // throws std::system_error
    // valid() tells whether one could be made.
    explicit EventFd(std::nothrow_t) noexcept;

    bool valid() const noexcept { return fd_.valid(); }
    int fd() const noexcept { return fd_.get(); }

    void Signal() noexcept;
    // The signals since the last take (0 for none); the event reads as unset afterwards.
    uint64_t Take() noexcept;
    // Without taking it.
    bool IsSet() const noexcept;

  private:
    UniqueFd fd_;
};

}  // namespace kelvo
