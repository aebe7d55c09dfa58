#include "testing/LoopbackPrinter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <stdexcept>

#include "links/TcpConnect.h"

namespace kelvo::testing {

kelvo::UniqueFd ListenOnLoopback(const std::string& host, uint16_t& port, const std::string& who,
                                 int backlog) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    socklen_t size = sizeof *v4;
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1 &&
        (ntohl(v4->sin_addr.s_addr) >> 24) == 127) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1 &&
               IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        size = sizeof *v6;
    } else {
        throw std::runtime_error(who + ": not a loopback address: " + host);
    }
    kelvo::UniqueFd listener(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener)
        throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    int one = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto* addr = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(listener.get(), addr, size) != 0 || ::listen(listener.get(), backlog) != 0) {
        throw std::runtime_error(who + " on " + host + ":" + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
    if (port == 0) {
        ::getsockname(listener.get(), addr, &size);
        port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    }
    return listener;
}

FullBacklog::FullBacklog(const std::string& host) {
    uint16_t port = 0;
    listener = ListenOnLoopback(host, port, "full backlog", 0);  // queues one: the filler
    if (const int error = kelvo::ConnectTcp(host, port, filler); error != 0)
        throw std::runtime_error("full backlog: " + std::string(std::strerror(error)));
    address = host + ":" + std::to_string(port);
}

LoopbackPrinter::LoopbackPrinter(const std::string& host, uint16_t port, Options options)
    : host_(host), port_(port), options_(options) {
    listen_ = ListenOnLoopback(host, port_, "loopback printer");
    thread_ = std::thread([this] { run(); });
}

std::unique_ptr<LoopbackPrinter> LoopbackPrinter::OnIpv6Loopback(uint16_t port,
                                                                 std::string* whyNot) {
    // Only a machine without ::1 skips: a port taken there is a failure like any other.
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_loopback;
    const UniqueFd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe || ::bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        *whyNot = std::string("no IPv6 loopback here: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<LoopbackPrinter>("::1", port);
}

LoopbackPrinter::~LoopbackPrinter() {
    stop_.Signal();
    thread_.join();
}

void LoopbackPrinter::run() {
    std::list<Conn> conns;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({stop_.fd(), POLLIN, 0});
        fds.push_back({listen_.get(), POLLIN, 0});
        bool hold;
        {
            std::lock_guard lock(mu_);
            hold = options_.mode == Mode::Hold;
        }
        // Holding leaves data unread in the kernel: then only a hang-up is of interest.
        for (auto& c : conns)
            fds.push_back({c.fd.get(), static_cast<short>(hold ? POLLRDHUP : POLLIN), 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        // Connections first: fds has no entry yet for one accepted below.
        size_t i = 2;
        for (auto it = conns.begin(); it != conns.end(); ++i) {
            bool drop = false;
            if (fds[i].revents != 0)
                onReadable(*it, fds[i].revents, drop);
            it = drop ? conns.erase(it) : std::next(it);
        }
        if (fds[1].revents & POLLIN) {
            UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (fd) {
                std::lock_guard lock(mu_);
                size_t index = perConnection_.size();
                perConnection_.emplace_back();
                if (options_.mode == Mode::CloseAtOnce) {
                    fd.reset();
                    ++closed_;
                    cv_.notify_all();
                } else {
                    conns.push_back(Conn{std::move(fd), index, 0, {}});
                }
            }
        }
    }
}

void LoopbackPrinter::onReadable(Conn& c, short revents, bool& drop) {
    Options opt;
    {
        std::lock_guard lock(mu_);
        opt = options_;
    }
    if (opt.mode == Mode::Hold) {
        if (revents & (POLLRDHUP | POLLHUP | POLLERR)) {
            c.fd.reset();
            std::lock_guard lock(mu_);
            ++closed_;
            cv_.notify_all();
            drop = true;
        }
        return;
    }
    char buf[65536];
    size_t want = sizeof buf;
    if (opt.mode == Mode::ResetAfter && opt.resetAfterBytes > c.received) {
        want = std::min(want, opt.resetAfterBytes - c.received);
    }
    ssize_t n = ::recv(c.fd.get(), buf, want, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    std::lock_guard lock(mu_);
    if (n > 0) {
        const std::string reply =
            c.scanner.Answer(std::string_view(buf, static_cast<size_t>(n)), statusAnswers_, model_);
        if (!reply.empty()) {
            [[maybe_unused]] ssize_t sent =
                ::send(c.fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        perConnection_[c.index].append(buf, static_cast<size_t>(n));
        c.received += static_cast<size_t>(n);
    }
    bool reset = opt.mode == Mode::ResetAfter && c.received >= opt.resetAfterBytes;
    if (reset) {
        linger lg{1, 0};  // close with RST
        ::setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    if (n <= 0 || reset) {
        // Closed before it counts as closed: a waiter may count this process's descriptors next.
        c.fd.reset();
        ++closed_;
        drop = true;
    }
    cv_.notify_all();
}

std::string LoopbackPrinter::bytes() const {
    std::lock_guard lock(mu_);
    std::string all;
    for (const auto& s : perConnection_)
        all += s;
    return all;
}

std::vector<std::string> LoopbackPrinter::connections() const {
    std::lock_guard lock(mu_);
    return perConnection_;
}

size_t LoopbackPrinter::connectionCount() const {
    std::lock_guard lock(mu_);
    return perConnection_.size();
}

size_t LoopbackPrinter::closedConnectionCount() const {
    std::lock_guard lock(mu_);
    return closed_;
}

std::string LoopbackPrinter::waitForBytes(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    auto total = [this] {
        size_t t = 0;
        for (const auto& s : perConnection_)
            t += s.size();
        return t;
    };
    cv_.wait_for(lock, timeout, [&] { return total() >= n; });
    std::string all;
    for (const auto& s : perConnection_)
        all += s;
    return all;
}

bool LoopbackPrinter::waitForClosed(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return closed_ >= count; });
}

std::string LoopbackPrinter::settle(std::chrono::milliseconds quiet) {
    std::this_thread::sleep_for(quiet);
    return bytes();
}

void LoopbackPrinter::clear() {
    std::lock_guard lock(mu_);
    for (auto& s : perConnection_)
        s.clear();
}

void LoopbackPrinter::setMode(Options options) {
    std::lock_guard lock(mu_);
    options_ = options;
}

void LoopbackPrinter::setStatusAnswers(StatusBytes answers, std::string model) {
    std::lock_guard lock(mu_);
    statusAnswers_ = answers;
    model_ = std::move(model);
}

}  // namespace kelvo::testing
