#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "links/Comm_p.h"

namespace {

// Requests come in runs. A writer that has caught up looks again for this long before it sleeps,
// so that during a run posters find it busy and need not wake it for every request.
constexpr auto kLinger = std::chrono::microseconds(50);

}  // namespace

TWriteThread::TWriteThread(int port, const kelvo::comm::StopSignal& stop,
                           kelvo::comm::NoticeSink sink, std::atomic<bool>& sendQueueEmpty)
    : port_(port), stop_(stop), sink_(std::move(sink)), sendQueueEmpty_(sendQueueEmpty) {}

TWriteThread::~TWriteThread() {
    WaitFor();
}

void TWriteThread::Start() {
    thread_ = std::thread([this] { Execute(); });
}

void TWriteThread::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

bool TWriteThread::PostWriteRequest(const char* bytes, size_t size) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_)
            return false;
        // Room first, so that a failure leaves the queue as it was.
        size_t first = queued_.size();
        size_t room = 0;
        if (first > 0 && queued_.back().size() < kChunkSize) {
            --first;
            room = kChunkSize - queued_.back().size();
        }
        const size_t had = queued_.size();
        try {
            while (room < size) {
                queued_.reserve(queued_.size() + 1);
                std::string chunk;
                if (spare_.empty()) {
                    chunk.reserve(kChunkSize);
                } else {
                    chunk = std::move(spare_.back());
                    spare_.pop_back();
                }
                queued_.push_back(std::move(chunk));
                room += kChunkSize;
            }
        } catch (const std::bad_alloc&) {
            queued_.resize(had);
            return false;
        }
        for (size_t i = first; size > 0; ++i) {
            std::string& chunk = queued_[i];
            const size_t n = std::min(size, kChunkSize - chunk.size());
            chunk.append(bytes, n);
            bytes += n;
            size -= n;
        }
        sendQueueEmpty_.store(false);
        posted_.store(true, std::memory_order_release);
        wake = std::exchange(idle_, false);
    }
    // A busy writer finds the bytes when it next looks; only an idle one waits for the event.
    if (wake)
        wake_.Signal();
    return true;
}

void TWriteThread::Execute() {
    bool reportWhenEmpty = true;
    bool lingered = false;
    std::vector<std::string> blocks;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (queued_.empty()) {
                sendQueueEmpty_.store(true);
                idle_ = lingered;
            } else {
                blocks.swap(queued_);
                posted_.store(false, std::memory_order_relaxed);
            }
        }

        if (blocks.empty() && !lingered) {
            const auto until = std::chrono::steady_clock::now() + kLinger;
            while (!posted_.load(std::memory_order_acquire) && !stop_.Signalled() &&
                   std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            lingered = true;
            continue;
        }
        lingered = false;

        if (blocks.empty()) {
            if (reportWhenEmpty && !sink_.SendDataEmpty()) {
                sink_.RequestHangup();
                break;
            }
            reportWhenEmpty = false;
            pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                sink_.RequestHangup();
                break;
            }
            if (fds[0].revents != 0)
                break;
            if (fds[1].revents != 0)
                wake_.Take();
            continue;
        }

        bool written = true;
        for (const std::string& block : blocks) {
            written = WriteBlock(block);
            if (!written)
                break;
        }
        if (!written)
            break;
        {
            // The emptied chunks go back to the posters, so a steady stream allocates nothing.
            std::lock_guard lock(mutex_);
            for (std::string& block : blocks) {
                if (spare_.size() == kSpareChunks)
                    break;
                block.clear();
                spare_.push_back(std::move(block));
            }
        }
        blocks.clear();
        reportWhenEmpty = true;
    }

    (void)::tcflush(port_, TCOFLUSH);
    std::vector<std::string> unwritten;
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        unwritten.swap(queued_);
        sendQueueEmpty_.store(true);
    }
}

bool TWriteThread::WriteBlock(const std::string& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        if (stop_.Signalled())
            return false;  // the rest is dropped unwritten
        const ssize_t n = ::write(port_, bytes.data() + offset, bytes.size() - offset);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EBADF)
            return false;  // the descriptor is gone: no notice
        if (n < 0 && errno != EAGAIN) {
            sink_.RequestHangup();
            return false;
        }
        // The line is busy or stopped by XOFF: wait for room or the stop signal.
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {port_, POLLOUT, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            sink_.RequestHangup();
            return false;
        }
        if (fds[0].revents != 0)
            return false;
        if (fds[1].revents & POLLNVAL)
            return false;
        // POLLOUT, or POLLERR/POLLHUP: the next write says which.
    }
    return true;
}
