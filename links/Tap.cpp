#include "links/Tap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "links/EventFd.h"
#include "links/TcpConnect.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"

namespace kelvo {

namespace {

// What the tap holds for a side that does not read, at most; then it stops reading the other.
constexpr size_t kHeld = 64 * 1024;

std::string LocalAddress(int fd) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return AddressText(a);
}

std::string PeerAddress(int fd) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return AddressText(a);
}

UniqueFd Listen(const std::string& host, uint16_t port) {
    sockaddr_storage a{};
    socklen_t length = 0;
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        length = sizeof v4;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        length = sizeof v6;
    } else {
        throw std::system_error(EINVAL, std::generic_category(), "not a numeric address: " + host);
    }
    UniqueFd fd(::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int one = 1;
    if (fd)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::listen(fd.get(), 16) != 0)
        throw std::system_error(errno, std::generic_category(), "listen on " + host);
    return fd;
}

// One direction of a session.
struct Flow {
    int from = -1, to = -1;
    bool fromPos = false;
    std::string held;    // read from `from`, not yet taken by `to`
    bool ended = false;  // `from` closed its side
    bool shut = false;   // and `to` has been told, once `held` was delivered
};

}  // namespace

struct Tap::Impl {
    Impl(TapOptions o, std::function<void(const TapEvent&)> obs)
        : options(std::move(o)),
          observer(std::move(obs)),
          listener(Listen(options.listenHost, options.listenPort)) {
        accepting = std::thread([this] { Accept(); });
    }
    ~Impl() {
        stop.Signal();  // never taken: every poll of every thread sees it from now on
        accepting.join();
        for (Session& s : sessions)
            s.thread.join();
    }
    void Accept();
    void Serve(uint64_t id, UniqueFd pos);
    void Tell(TapEvent event) {
        event.at = std::chrono::system_clock::now();
        std::lock_guard lock(observerMutex);
        observer(event);
    }
    // Moves what `flow` holds on; false when its receiver is gone (reset).
    static bool Deliver(Flow& flow);

    TapOptions options;
    std::function<void(const TapEvent&)> observer;
    std::mutex observerMutex;
    UniqueFd listener;
    EventFd stop;
    std::thread accepting;
    struct Session {
        std::atomic<bool> done{false};
        std::thread thread;
    };
    std::list<Session> sessions;  // the accepting thread's own until it is joined
};

void Tap::Impl::Accept() {
    uint64_t next = 0;
    for (;;) {
        pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0)
            return;
        UniqueFd pos(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!pos)
            continue;
        // Ended sessions are joined as new ones come, so a long day's taps keep no threads.
        sessions.remove_if([](Session& s) {
            if (!s.done)
                return false;
            s.thread.join();
            return true;
        });
        Session& session = sessions.emplace_back();
        session.thread = std::thread([this, &session, id = ++next, fd = std::move(pos)]() mutable {
            Serve(id, std::move(fd));
            session.done = true;
        });
    }
}

bool Tap::Impl::Deliver(Flow& flow) {
    while (!flow.held.empty()) {
        const ssize_t n =
            ::send(flow.to, flow.held.data(), flow.held.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            flow.held.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    if (flow.ended && !flow.shut) {
        ::shutdown(flow.to, SHUT_WR);
        flow.shut = true;
    }
    return true;
}

void Tap::Impl::Serve(uint64_t id, UniqueFd pos) {
    // The tap's stop ends a connect to a printer that does not answer, too.
    TransferMonitor monitor;
    monitor.cancelFd = stop.fd();
    const TransferScope scope(&monitor);
    UniqueFd printer;
    if (const int error =
            ConnectTcp(options.printerHost, options.printerPort, printer, options.connectLimit);
        error != 0) {
        Tell({TapEvent::Kind::Failed, id, {}, {}, std::strerror(error), false});
        CloseAbortively(pos);
        return;
    }
    const int one = 1;
    for (int fd : {pos.get(), printer.get()})
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Tell({TapEvent::Kind::Opened,
          id,
          {},
          {},
          PeerAddress(pos.get()) + " -> " + LocalAddress(pos.get()) + " -> " +
              PeerAddress(printer.get()),
          true});
    Flow flows[2];
    flows[0].from = pos.get(), flows[0].to = printer.get(), flows[0].fromPos = true;
    flows[1].from = printer.get(), flows[1].to = pos.get();
    auto reset = [&](bool fromPos, const char* why = "") {
        Tell({TapEvent::Kind::Reset, id, {}, {}, why, fromPos});
        CloseAbortively(pos);
        CloseAbortively(printer);
    };
    char buffer[16 * 1024];
    while (!(flows[0].shut && flows[1].shut)) {
        pollfd fds[3] = {{stop.fd(), POLLIN, 0}, {pos.get(), 0, 0}, {printer.get(), 0, 0}};
        for (Flow& f : flows) {
            pollfd& in = fds[f.fromPos ? 1 : 2];
            pollfd& out = fds[f.fromPos ? 2 : 1];
            if (!f.ended && f.held.size() < kHeld)
                in.events |= POLLIN;
            if (!f.held.empty())
                out.events |= POLLOUT;
        }
        if (::poll(fds, 3, -1) < 0 && errno != EINTR)
            return reset(true, std::strerror(errno));
        if (fds[0].revents != 0)
            return reset(true, "the tap stopped");
        for (Flow& f : flows) {
            const short got = fds[f.fromPos ? 1 : 2].revents;
            if (f.ended || f.held.size() >= kHeld || (got & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t n = ::recv(f.from, buffer, sizeof buffer, 0);
            if (n > 0) {
                Tell({f.fromPos ? TapEvent::Kind::ToPrinter : TapEvent::Kind::ToPos,
                      id,
                      {},
                      std::string(buffer, static_cast<size_t>(n)),
                      {},
                      f.fromPos});
                f.held.append(buffer, static_cast<size_t>(n));
            } else if (n == 0) {
                f.ended = true;
                Tell({TapEvent::Kind::Closed, id, {}, {}, {}, f.fromPos});
            } else if (errno != EINTR && errno != EAGAIN) {
                return reset(f.fromPos);
            }
        }
        for (Flow& f : flows) {
            if (!Deliver(f))
                return reset(!f.fromPos);  // the receiver is gone: it ended with a reset
        }
    }
    // Both sides closed and every byte delivered: a plain close on both.
}

Tap::Tap(TapOptions options, std::function<void(const TapEvent&)> observer)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(observer))) {}

Tap::~Tap() = default;

std::string Tap::Address() const {
    return LocalAddress(impl_->listener.get());
}

uint16_t Tap::Port() const {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    ::getsockname(impl_->listener.get(), reinterpret_cast<sockaddr*>(&a), &length);
    return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
}

}  // namespace kelvo
