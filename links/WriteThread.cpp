#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "links/Comm.h"

TWriteThread::TWriteThread(int port, int stopEvent, kelvo::comm::NoticeSink sink,
                           std::atomic<bool>& sendQueueEmpty)
    : port_(port),
      stopEvent_(stopEvent),
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

bool TWriteThread::PostWriteRequest(std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        if (!accepting_)
            return false;
        queue_.push_back(std::move(bytes));
        sendQueueEmpty_.store(false);
    }
    const uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

void TWriteThread::Execute() {
    bool reportWhenEmpty = true;
    for (;;) {
        std::optional<std::string> request;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                sendQueueEmpty_.store(true);
            } else {
                request.emplace(std::move(queue_.front()));
                queue_.pop_front();
            }
        }

        if (!request) {
            if (reportWhenEmpty && !sink_.SendDataEmpty()) {
                sink_.RequestHangup();
                break;
            }
            reportWhenEmpty = false;
            pollfd fds[2] = {{stopEvent_, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
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

        if (kelvo::comm::StopSignalled(stopEvent_))
            break;  // dropped unwritten
        if (!WriteBlock(*request))
            break;
        reportWhenEmpty = true;
    }

    (void)::tcflush(port_, TCOFLUSH);
    std::deque<std::string> unwritten;
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        unwritten.swap(queue_);
        sendQueueEmpty_.store(true);
    }
}

bool TWriteThread::WriteBlock(const std::string& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
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
        pollfd fds[2] = {{stopEvent_, POLLIN, 0}, {port_, POLLOUT, 0}};
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
