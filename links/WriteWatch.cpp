#include "links/WriteWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>
#include <utility>

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a write stays in the kernel unheard: progress is reported, and the stall limit
// looked at, at least this often. Bytes a write took are known only when it comes back, so a
// stall is reported up to this much after the limit; shorter limits are looked at four times.
constexpr std::chrono::milliseconds kLookEvery{200};
// How long an interrupted write may take to come back before it is interrupted again.
constexpr std::chrono::milliseconds kKickAgain{20};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Does nothing: what matters is that it is installed without SA_RESTART, so the write it lands in
// returns. Its address tells our disposition from anyone else's.
void WakeHandler(int) {}

bool IsOurs(const struct sigaction& action) {
    return (action.sa_flags & (SA_SIGINFO | SA_RESTART)) == 0 && action.sa_handler == &WakeHandler;
}

bool IsDefault(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 ? action.sa_sigaction == nullptr
                                               : action.sa_handler == SIG_DFL;
}

bool StillOurs(int signal) {
    struct sigaction now {};
    return ::sigaction(signal, nullptr, &now) == 0 && IsOurs(now);
}

class WakeSignals {
  public:
    int Claim() {
        const std::lock_guard<std::mutex> lock(mu_);
        if (current_ != 0 && StillOurs(current_))
            return current_;
        current_ = 0;
        const int count = SIGRTMAX - SIGRTMIN + 1;
        for (int k = 0; k < count && current_ == 0; ++k) {
            const int n = SIGRTMIN + (kFirst + k) % count;
            if (n < 0 || static_cast<size_t>(n) >= installed_.size())
                continue;
            struct sigaction now {};
            if (::sigaction(n, nullptr, &now) != 0)
                continue;
            if (IsOurs(now)) {
                current_ = n;  // ours again: whoever borrowed it put it back
                continue;
            }
            // A default action on a signal we once had means someone took it and let it go on
            // purpose: theirs still.
            if (!IsDefault(now) || installed_.test(static_cast<size_t>(n)))
                continue;
            struct sigaction ours {};
            ours.sa_handler = &WakeHandler;
            ::sigemptyset(&ours.sa_mask);
            struct sigaction was {};
            if (::sigaction(n, &ours, &was) != 0)
                continue;
            installed_.set(static_cast<size_t>(n));
            if (!IsDefault(was)) {
                // Someone installed theirs between our look and ours: theirs goes back at once.
                ::sigaction(n, &was, nullptr);
                continue;
            }
            current_ = n;
        }
        return current_;
    }

  private:
    static constexpr int kFirst = 5;  // SIGRTMIN and its first neighbours are the popular ones

    std::mutex mu_;
    int current_ = 0;
    std::bitset<128> installed_;  // every signal we ever put our handler on
};

void UnblockOnThisThread(int signal) {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

int ClaimWakeSignal() noexcept {
    static WakeSignals signals;
    return signals.Claim();
}

WriteWatch::WriteWatch(int signal)
    : signal_(signal),
      lookEvery_(std::min(kLookEvery, std::max(CurrentStallLimit() / 4, kKickAgain))) {
    if (const TransferMonitor* monitor = CurrentTransfer(); monitor && monitor->cancelFd >= 0) {
        cancel_.reset(::fcntl(monitor->cancelFd, F_DUPFD_CLOEXEC, 0));
        if (!cancel_)
            throw std::system_error(errno, std::generic_category(), "dup");
    }
    watcher_ = std::thread([this] { Watch(); });
}

WriteWatch::~WriteWatch() {
    stopping_.store(true, std::memory_order_relaxed);
    WakeWatcher();
    watcher_.join();
}

void WriteWatch::WakeWatcher() noexcept {
    wake_.Signal();
}

WriteOutcome WriteWatch::Write(int fd, const char* data, size_t size) {
    WriteOutcome out;
    UnblockOnThisThread(signal_);
    writer_ = ::pthread_self();
    const auto stallLimit = CurrentStallLimit();
    auto lastTaken = Clock::now();
    while (out.written < size) {
        if (TransferCancelled()) {
            out.error = ECANCELED;
            return out;
        }
        const auto due = std::min(Clock::now() + lookEvery_, lastTaken + stallLimit);
        const ssize_t n = WatchedWrite(
            fd, data + out.written, size - out.written,
            std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count());
        if (n > 0) {
            NoteTaken(out, data, static_cast<size_t>(n), size);
            lastTaken = Clock::now();
            continue;  // all of it, or interrupted: either way, write on
        }
        const int error = n == 0 ? ENOSPC : errno;  // nothing taken and no reason: no room
        if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
            out.error = error;
            return out;
        }
        // Interrupted, or the descriptor was made non-blocking behind our back: nothing taken
        // since lastTaken.
        const auto left = StallTimeLeft(lastTaken);
        if (left.count() <= 0) {
            out.error = ETIMEDOUT;
            return out;
        }
        if (error != EINTR) {
            if (const int wait = WaitReady(fd, POLLOUT, left); wait != 0) {
                out.error = wait;
                return out;
            }
        }
    }
    return out;
}

ssize_t WriteWatch::WatchedWrite(int fd, const char* data, size_t size, int64_t dueNs) {
    const uint64_t number = ++number_ << 2;
    dueNs_.store(dueNs, std::memory_order_relaxed);
    word_.store(number | kWriting, std::memory_order_release);
    if (std::exchange(wasKicked_, false))
        WakeWatcher();
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    const uint64_t was = word_.exchange(number | kIdle, std::memory_order_acq_rel);
    if (was != (number | kWriting)) {
        // The watcher chose this write. Its signal must land here, not in whatever this thread
        // calls next: wait until it is sent, then enter the kernel once, which delivers it.
        if (was == (number | kKicking)) {
            while (!signalSent_.load(std::memory_order_acquire))
                ::sched_yield();
            signalSent_.store(false, std::memory_order_relaxed);
        }
        ::sched_yield();
        wasKicked_ = true;
    }
    errno = error;
    return n;
}

void WriteWatch::Watch() {
    bool cancelled = false;
    for (;;) {
        const uint64_t word = word_.load(std::memory_order_acquire);
        const uint64_t phase = word & 3;
        int timeoutMs = static_cast<int>(lookEvery_.count());
        if (phase == kWriting) {
            const int64_t left = dueNs_.load(std::memory_order_relaxed) - NowNs();
            // Rounded up, so a write is never cut short of its due time.
            timeoutMs = cancelled || left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
        } else if (phase == kKicked) {
            timeoutMs = static_cast<int>(kKickAgain.count());
        }
        if (lost_)
            timeoutMs = -1;  // nothing left to do but stop
        // The cancel signal stays set once fired: watched until then, remembered after.
        const bool watchCancel = cancel_ && !cancelled;
        pollfd fds[2] = {{wake_.fd(), POLLIN, 0}, {cancel_.get(), POLLIN, 0}};
        const int ready = ::poll(fds, watchCancel ? 2 : 1, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;  // cannot wait: stop watching rather than spin
        }
        if ((fds[0].revents & POLLIN) != 0) {
            if (stopping_.load(std::memory_order_relaxed))
                return;
            wake_.Take();
            continue;  // look at the new write
        }
        if (watchCancel && (fds[1].revents & POLLIN) != 0)
            cancelled = true;
        // Due or cancelled: interrupt the write. Still not back after kKickAgain: the signal
        // came before it entered the kernel; send another.
        if ((phase == kWriting &&
             (cancelled || dueNs_.load(std::memory_order_relaxed) <= NowNs())) ||
            (phase == kKicked && ready == 0))
            Kick(word);
    }
}

void WriteWatch::Kick(uint64_t word) {
    // A handler put over ours since the port opened must never run for us, nor a default action
    // end the program: the write then stays held, as a plain blocking write would.
    if (!StillOurs(signal_)) {
        lost_ = true;
        return;
    }
    const uint64_t kicking = (word & ~uint64_t{3}) | kKicking;
    // Unless the write has come back (or moved on) meanwhile.
    if (!word_.compare_exchange_strong(word, kicking, std::memory_order_acq_rel))
        return;
    ::pthread_kill(writer_, signal_);
    uint64_t expected = kicking;
    if (!word_.compare_exchange_strong(expected, (word & ~uint64_t{3}) | kKicked,
                                       std::memory_order_acq_rel))
        signalSent_.store(true, std::memory_order_release);  // the writer came back and waits
}

}  // namespace kelvo
