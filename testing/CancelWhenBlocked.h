#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "links/Transfer.h"

namespace kelvo::testing {

// Cancels `signal` from a thread of its own as soon as the thread that created this object is
// blocked waiting in poll or write (a transfer that stopped moving), and notes when. Gives up after
// 5 s if that never happens.
class CancelWhenBlocked {
  public:
    explicit CancelWhenBlocked(kelvo::CancelSignal& signal);
    ~CancelWhenBlocked();
    CancelWhenBlocked(const CancelWhenBlocked&) = delete;
    CancelWhenBlocked& operator=(const CancelWhenBlocked&) = delete;

    // Time since the cancel, or nothing when it did not happen. Read it right after the cancelled
    // call returned.
    std::optional<std::chrono::milliseconds> SinceCancel() const;

  private:
    std::atomic<int64_t> cancelledAt_{0};  // steady clock, ns; 0 until cancelled
    std::thread thread_;
};

// True once thread `tid` of this process is blocked in poll, ppoll or write; false after
// `timeout`.
bool WaitUntilBlocked(pid_t tid, std::chrono::milliseconds timeout);

}  // namespace kelvo::testing
