#include "printer/LpdEndpoint.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "links/EventFd.h"
#include "links/UniqueFd.h"
#include "printer/Listen.h"
#include "printer/Lpd.h"

namespace kelvo::printer {

struct LpdEndpoint::Impl {
    Impl(TcpOptions options, std::function<void(LpdJob)> j)
        : listener(ListenTcp(options, kBacklog)), job(std::move(j)) {
        thread = std::thread([this] { Run(); });
    }
    ~Impl() {
        stop = true;
        wake.Signal();
        thread.join();
    }
    void Run();
    void Serve(UniqueFd client, const std::string& peer);
    // Waits for `events` on the client up to the idle limit; false when the endpoint stops or the
    // client stays silent.
    bool Wait(int client, short events);

    static constexpr int kBacklog = 8;
    TcpListener listener;
    std::function<void(LpdJob)> job;
    EventFd wake;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> dropped{0}, exchanges{0};
    std::thread thread;
};

void LpdEndpoint::Impl::Run() {
    while (!stop) {
        pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {listener.fd.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (stop)
            return;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd client(::accept4(listener.fd.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (client)
            Serve(std::move(client), PeerAddress(peer));
    }
}

bool LpdEndpoint::Impl::Wait(int client, short events) {
    pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {client, events, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(kLpdIdleLimit.count()));
    return !stop && (n > 0 || (n < 0 && errno == EINTR)) && fds[0].revents == 0;
}

void LpdEndpoint::Impl::Serve(UniqueFd client, const std::string& peer) {
    LpdSession session;
    std::string spool, replies;
    char buffer[16 * 1024];
    while (!session.Over()) {
        if (!Wait(client.get(), POLLIN))
            break;
        const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            replies += session.Take(std::string_view(buffer, static_cast<size_t>(n)));
            spool += session.TakeData();
        } else if (n == 0) {
            session.Closed();
            spool += session.TakeData();
        } else if (errno != EINTR && errno != EAGAIN) {
            break;
        }
        // Replies are a byte or a line: a client that does not read them is broken anyway.
        while (!replies.empty()) {
            const ssize_t sent =
                ::send(client.get(), replies.data(), replies.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0)
                replies.erase(0, static_cast<size_t>(sent));
            else if (sent < 0 && errno == EINTR)
                continue;
            else if (sent < 0 && errno == EAGAIN && Wait(client.get(), POLLOUT))
                continue;
            else
                break;
        }
    }
    client.reset();
    if (session.JobComplete())
        job({peer, session.Queue(), session.JobName(), session.User(), std::move(spool)});
    else if (!session.Failure().empty() || session.DataBytes() > 0)
        ++dropped;
    ++exchanges;
}

LpdEndpoint::LpdEndpoint(TcpOptions options, std::function<void(LpdJob)> job)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(job))) {}

LpdEndpoint::~LpdEndpoint() = default;

std::string LpdEndpoint::Address() const {
    return impl_->listener.Address();
}

uint16_t LpdEndpoint::Port() const {
    return impl_->listener.port;
}

uint64_t LpdEndpoint::Dropped() const {
    return impl_->dropped;
}

uint64_t LpdEndpoint::Exchanges() const {
    return impl_->exchanges;
}

}  // namespace kelvo::printer
