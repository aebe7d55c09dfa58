#include "testing/PacedPrinter.h"

#include "testing/LoopbackPrinter.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kelvo::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr Clock::time_point kNever = Clock::time_point::max();

}  // namespace

// Takes all the kernel holds for the connection, ignoring the pace.
size_t PacedPrinter::Drain(int fd, std::vector<char>& buffer) {
    size_t got = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0)
            return got;
        got += static_cast<size_t>(n);
        std::lock_guard lock(mu_);
        read_.append(buffer.data(), static_cast<size_t>(n));
        lastRead_ = Clock::now();
        cv_.notify_all();
    }
}

PacedPrinter::PacedPrinter(const std::string& host, uint16_t port, Options options)
    : options_(options) {
    listen_ = ListenOnLoopback(host, port, "paced printer");
    // A printer's buffer is small: the sender learns of each read, not of a large window. Each
    // accepted connection inherits it.
    int small = 4096;
    ::setsockopt(listen_.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    thread_ = std::thread([this] { run(); });
}

PacedPrinter::~PacedPrinter() {
    stop_.Signal();
    thread_.join();
}

std::string PacedPrinter::bytes() const {
    std::lock_guard lock(mu_);
    return read_;
}

std::optional<PacedPrinter::End> PacedPrinter::waitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return end_.has_value(); });
    return std::exchange(end_, std::nullopt);
}

std::chrono::steady_clock::time_point PacedPrinter::LastRead() const {
    std::lock_guard lock(mu_);
    return lastRead_;
}

bool PacedPrinter::waitForBytes(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return read_.size() >= n; });
}

void PacedPrinter::run() {
    for (;;) {
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {listen_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0)
            return;
        if (fds[1].revents & POLLIN) {
            UniqueFd conn(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (conn)
                serve(std::move(conn));
            if (stopped_)
                return;
        }
    }
}

void PacedPrinter::serve(UniqueFd conn) {
    const auto accepted = Clock::now();
    auto nextRead = accepted;
    auto talkOnce = options_.talkAt ? accepted + *options_.talkAt : kNever;
    auto nextTalk = options_.talkEvery.count() > 0 ? accepted + options_.talkEvery : kNever;
    std::deque<std::pair<Clock::time_point, char>> answers;
    StatusRequestScanner scanner;
    size_t read = 0;
    auto say = [&](char byte) {
        [[maybe_unused]] ssize_t n = ::send(conn.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    };
    auto finish = [&](bool reset) {
        End end;
        end.reset = reset;
        end.read = read;
        int unread = 0;
        if (::ioctl(conn.get(), SIOCINQ, &unread) == 0)
            end.unread = static_cast<size_t>(unread);
        std::lock_guard lock(mu_);
        end_ = end;
        cv_.notify_all();
    };
    std::vector<char> buffer(options_.chunk);
    for (;;) {
        const auto now = Clock::now();
        if (now >= talkOnce) {
            say(static_cast<char>(options_.talkByte));
            talkOnce = kNever;
        }
        if (now >= nextTalk) {
            say(static_cast<char>(options_.talkByte));
            nextTalk += options_.talkEvery;
        }
        while (!answers.empty() && answers.front().first <= now) {
            say(answers.front().second);
            answers.pop_front();
        }
        const bool reading = read < options_.stopReadingAfter;
        const bool readNow = reading && now >= nextRead;
        auto due = std::min({talkOnce, nextTalk, answers.empty() ? kNever : answers.front().first});
        if (reading && !readNow)
            due = std::min(due, nextRead);
        int timeout = -1;
        if (due != kNever) {
            timeout =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
            timeout = std::max(timeout, 0);
        }
        // Pausing, only a reset is of interest (an end of stream waits behind the unread bytes);
        // done reading, any end of the connection.
        const short wanted = readNow ? POLLIN : reading ? 0 : POLLRDHUP;
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {conn.get(), wanted, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0) {
            stopped_ = true;
            return;
        }
        const short events = fds[1].revents;
        if (events == 0)
            continue;
        if (!readNow) {
            if ((events & (POLLERR | POLLHUP | POLLRDHUP)) == 0)
                continue;
            if (reading) {
                // Reset while pausing: what the kernel took for it is still there to print.
                read += Drain(conn.get(), buffer);
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(conn.get(), SOL_SOCKET, SO_ERROR, &error, &length);
            finish(error == ECONNRESET || (events & POLLERR) != 0);
            return;
        }
        const size_t want = std::min(buffer.size(), options_.stopReadingAfter - read);
        const ssize_t n = ::recv(conn.get(), buffer.data(), want, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            finish(n < 0);
            return;
        }
        read += static_cast<size_t>(n);
        const std::string reply = scanner.Answer(
            std::string_view(buffer.data(), static_cast<size_t>(n)), options_.answers);
        for (const char c : reply)
            answers.emplace_back(Clock::now() + options_.answerDelay, c);
        {
            std::lock_guard lock(mu_);
            read_.append(buffer.data(), static_cast<size_t>(n));
            lastRead_ = Clock::now();
            cv_.notify_all();
        }
        nextRead = Clock::now() + options_.pause;
    }
}

}  // namespace kelvo::testing
