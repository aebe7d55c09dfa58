#pragma once

// Bounded writes that sleep in the kernel. A port's driver hands room to a writer blocked in
// write() the moment the printer takes bytes; a non-blocking writer learns it through poll() and
// one more write() instead, which costs a tenth of a fast port's throughput. The bound comes from
// a watcher thread: it interrupts a write that has been in the kernel for a while, or whose action
// was cancelled, with a signal aimed at the writing thread alone, so the writer regains control to
// report progress and to stop for the stall limit or the cancel, just as WriteAll does. The signal
// is a real-time one that no other part of the program has a handler for (ClaimWakeSignal); its
// handler does nothing. A handshake makes sure it is delivered inside the write it was aimed at,
// never in whatever the thread does next.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "links/EventFd.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"

namespace kelvo {

// The signal that interrupts watched writes: SIGRTMIN + 5 unless another part of the program has
// it, else the next real-time signal that is still free (default action, never ours before); our
// handler is installed on it once and never over anyone else's, an ignored signal included. Looks
// again at every call, since a handler may have been put over ours since. 0 when none is free: a
// port is then written non-blocking (WriteAll). Thread-safe.
int ClaimWakeSignal() noexcept;

class WriteWatch {
  public:
    // Starts the watcher for the action running on this thread: it heeds that action's cancel
    // signal and looks at writes often enough for its stall limit (Transfer.h). `signal` is what
    // ClaimWakeSignal gave. Throws std::system_error.
    explicit WriteWatch(int signal);
    ~WriteWatch();
    WriteWatch(const WriteWatch&) = delete;
    WriteWatch& operator=(const WriteWatch&) = delete;

    // WriteAll for a blocking descriptor that is not a socket, with the same outcome, progress,
    // sent-bytes record, stall limit and cancel. One writing thread at a time.
    WriteOutcome Write(int fd, const char* data, size_t size);

  private:
    // One write() at most is watched. `word_` holds the write's number and its phase; the writer
    // publishes the rest before it sets kWriting and takes the word back to kIdle after. The
    // watcher moves it to kKicking while it sends the signal and to kKicked once sent: a signal
    // that came just before the write entered the kernel is sent again until the write returns.
    enum Phase : uint64_t { kIdle = 0, kWriting = 1, kKicking = 2, kKicked = 3 };

    ssize_t WatchedWrite(int fd, const char* data, size_t size, int64_t dueNs);
    void WakeWatcher() noexcept;
    void Watch();
    void Kick(uint64_t word);

    std::atomic<uint64_t> word_{0};
    std::atomic<int64_t> dueNs_{0};        // steady clock: interrupt the write by then
    std::atomic<bool> signalSent_{false};  // a kick the writer came back during has been sent
    std::atomic<bool> stopping_{false};
    const int signal_;
    bool lost_ = false;  // watcher only: the signal was taken from us; kick no more
    const std::chrono::milliseconds lookEvery_;
    pthread_t writer_{};
    uint64_t number_ = 0;
    bool wasKicked_ = false;  // the write after a kick wakes the watcher: it is likely held too
    EventFd wake_;
    UniqueFd cancel_;  // our own copy: the signal's owner may close theirs first
    std::thread watcher_;
};

}  // namespace kelvo
