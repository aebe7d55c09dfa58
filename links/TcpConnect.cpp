#include "links/TcpConnect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "links/Transfer.h"

namespace kelvo {

int ConnectTcp(const std::string& host, uint16_t port, UniqueFd& out) {
    if (TransferCancelled())
        return ECANCELED;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return EHOSTUNREACH;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, &::freeaddrinfo);

    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return errno;
    int syn = kConnectSynRetries;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_SYNCNT, &syn, sizeof syn);
    // Interrupted, a non-blocking connect goes on in the background just the same.
    if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return errno;
        if (const int wait = WaitReady(fd.get(), POLLOUT, kConnectWaitLimit); wait != 0)
            return wait;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        if (error != 0)
            return error;
    }
    out = std::move(fd);
    return 0;
}

void CloseGracefully(UniqueFd& fd) noexcept {
    if (!fd)
        return;
    ::shutdown(fd.get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + kGracefulCloseLimit;
    char drop[4096];
    for (;;) {
        const ssize_t n = ::recv(fd.get(), drop, sizeof drop, MSG_DONTWAIT);
        const int error = n < 0 ? errno : 0;
        if (n == 0 || (n < 0 && error != EINTR && error != EAGAIN && error != EWOULDBLOCK))
            break;  // the printer closed, or the connection is gone anyway
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (n < 0 && error != EINTR && WaitReady(fd.get(), POLLIN, left) != 0)
            break;
    }
    fd.reset();
}

void CloseAbortively(UniqueFd& fd) noexcept {
    if (!fd)
        return;
    const linger reset{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd.reset();
}

}  // namespace kelvo
