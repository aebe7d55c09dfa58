#pragma once

// The one way bytes are written to a printer's descriptor: all of them, with a stall limit and a
// cancel signal, reporting progress. The cancel signal and the progress report belong to the
// action, not to the link, so they travel with the thread that runs the action: a worker installs
// a TransferMonitor for the action's life, and every write, connect and print-server call below
// it watches that monitor without any link's interface changing.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "links/EventFd.h"

namespace kelvo {

// No byte accepted for this long: the printer is not reading (XOFF held, paper out, cover open,
// a peer that stopped reading). The printer library has always given up after 10 s.
inline constexpr std::chrono::milliseconds kStallLimit{10000};

// What an action's transfers watch. Plain C layout: the printer library is handed one across its
// C boundary.
struct TransferMonitor {
    // Readable once the action is cancelled (an eventfd that stays set); -1 for none.
    int cancelFd = -1;
    // 0 for kStallLimit.
    int32_t stallLimitMs = 0;
    // Called on the writing thread as a write proceeds: `done` of the `size` bytes of the current
    // write have been taken. May be null.
    void (*progress)(void* context, uint64_t done, uint64_t size) = nullptr;
    void* context = nullptr;
    // Called on the writing thread with every run of bytes the peer has taken, in order: the
    // action's record of what reached the printer. May be null; shares `context`.
    void (*sent)(void* context, const char* data, uint64_t size) = nullptr;
};

// The monitor installed on this thread, or nullptr.
const TransferMonitor* CurrentTransfer() noexcept;
// The stall limit of this thread's transfers.
std::chrono::milliseconds CurrentStallLimit() noexcept;
// True when this thread's action has been cancelled.
bool TransferCancelled() noexcept;

// Tells this thread's monitor that the peer took these bytes (WriteAll does so itself; other
// ways out, such as a print server's connection, call this).
void NoteSent(const char* data, size_t size) noexcept;

// Installs a monitor on this thread for the scope's life (the previous one comes back after).
class TransferScope {
  public:
    explicit TransferScope(const TransferMonitor* monitor) noexcept;
    ~TransferScope();
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;

  private:
    const TransferMonitor* previous_;
};

// A cancel signal: set once, stays set, pollable.
class CancelSignal {
  public:
    CancelSignal();  // throws std::system_error
    void Cancel() noexcept;
    bool Cancelled() const noexcept;
    int fd() const noexcept { return event_.fd(); }

  private:
    EventFd event_;
};

struct WriteOutcome {
    // 0 when every byte was taken; ETIMEDOUT when none was taken for the stall limit; ECANCELED
    // when the action was cancelled; otherwise the errno of the failed write.
    int error = 0;
    size_t written = 0;
};

// Writes all `size` bytes to `fd` (a socket when `socket`: MSG_NOSIGNAL, so a dead peer is an
// EPIPE, not a signal), waiting with poll while the descriptor is full, under this thread's
// monitor. Works on blocking and non-blocking descriptors alike, but only a non-blocking one can
// be bounded here: a blocking write that the peer never takes waits for ever (WriteWatch.h bounds
// those).
WriteOutcome WriteAll(int fd, const char* data, size_t size, bool socket);

// For the bounded writers (WriteAll, WriteWatch): the peer took `n` more bytes of this `size`-byte
// write, which `out` counts; notes them and reports the progress to this thread's monitor.
void NoteTaken(WriteOutcome& out, const char* data, size_t n, size_t size) noexcept;

// What is left of this thread's stall limit when the last byte was taken at `lastTaken`, rounded
// up, so a stall is never reported before the limit has passed: 0 or less once it has.
std::chrono::milliseconds StallTimeLeft(std::chrono::steady_clock::time_point lastTaken) noexcept;

struct ReadOutcome {
    // 0 with count > 0: bytes read; 0 with count 0: end of stream (the peer closed, the port hung
    // up); ETIMEDOUT: nothing came in time; ECANCELED: the action was cancelled; otherwise the
    // errno of the failed read.
    int error = 0;
    size_t count = 0;
};

// Reads what `fd` (non-blocking; a socket when `socket`) holds, up to `size` bytes, waiting up to
// `timeout` for the first one under this thread's monitor. A time-out of 0 only takes what is
// already there.
ReadOutcome ReadWithin(int fd, char* data, size_t size, std::chrono::milliseconds timeout,
                       bool socket);

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), the time-out passes (ETIMEDOUT), or
// this thread's action is cancelled (ECANCELED). Returns 0 when ready, else the errno value.
// With fd -1 it only waits out the time-out or the cancel.
int WaitReady(int fd, short events, std::chrono::milliseconds timeout);

struct DrainOutcome {
    // 0 when the queue is empty (or `fd` has no output queue to ask); ETIMEDOUT when it did not
    // shrink for the stall limit; ECANCELED when the action was cancelled; else what `meanwhile`
    // returned.
    int error = 0;
    size_t left = 0;  // still queued when the wait ended
};

// Waits until `fd` has sent everything queued for output, as long as the queue keeps shrinking:
// a terminal's output queue (XOFF held or CTS low stop it), or a socket's bytes the peer has not
// acknowledged yet (TIOCOUTQ is SIOCOUTQ). `meanwhile`, when given, runs after every look at a
// non-empty queue (a socket's closer takes what the peer sends); a non-zero result ends the wait
// with it.
// The caller decides what to do with what is left.
DrainOutcome WaitOutputDrained(int fd, const std::function<int()>& meanwhile = nullptr);

}  // namespace kelvo
