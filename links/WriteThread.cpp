#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "links/Comm_p.h"

namespace {

// A buffer grown by a burst larger than this is given back once written, rather than kept for the
// life of the port.
constexpr size_t kKeptCapacity = size_t{1} << 20;

}  // namespace

TWriteThread::TWriteThread(int port, const kelvo::comm::StopSignal& stop,
                           kelvo::comm::NoticeSink sink, std::atomic<bool>& sendQueueEmpty)
    : port_(port),
      stop_(stop),
      sink_(std::move(sink)),
      sendQueueEmpty_(sendQueueEmpty),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake_)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

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
        try {
            queued_.append(bytes, size);
        } catch (const std::bad_alloc&) {
            return false;
        }
        sendQueueEmpty_.store(false);
        wake = std::exchange(idle_, false);
    }
    // A busy writer finds the bytes when it next looks; only an idle one waits for the event.
    if (wake) {
        const uint64_t one = 1;
        while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    return true;
}

void TWriteThread::Execute() {
    bool reportWhenEmpty = true;
    std::string block;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (queued_.empty()) {
                sendQueueEmpty_.store(true);
                idle_ = true;
            } else {
                // The emptied buffer goes back to the posters, so a steady stream allocates
                // nothing.
                block.swap(queued_);
            }
        }

        if (block.empty()) {
            if (reportWhenEmpty && !sink_.SendDataEmpty()) {
                sink_.RequestHangup();
                break;
            }
            reportWhenEmpty = false;
            pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                sink_.RequestHangup();
                break;
            }
            if (fds[0].revents != 0)
                break;
            if (fds[1].revents != 0) {
                uint64_t posted = 0;
                (void)::read(wake_.get(), &posted, sizeof posted);
            }
            continue;
        }

        if (!WriteBlock(block))
            break;
        block.clear();
        if (block.capacity() > kKeptCapacity)
            std::string().swap(block);
        reportWhenEmpty = true;
    }

    (void)::tcflush(port_, TCOFLUSH);
    std::string unwritten;
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
