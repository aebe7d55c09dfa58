#include "links/TcpConnect.h"

#include <arpa/inet.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "links/Transfer.h"

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;

// A name that failed to resolve but reads as a mistyped IPv4 address ("10..0.5") is reported as
// such an address always was.
bool LooksLikeIpv4(const std::string& host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

int ConnectTo(const addrinfo& to, UniqueFd& out, Clock::time_point deadline) {
    UniqueFd fd(::socket(to.ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return errno;
    int syn = kConnectSynRetries;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_SYNCNT, &syn, sizeof syn);
    // A status request written right after a receipt would otherwise wait for the receipt's last
    // segment to be acknowledged: a printer's delayed ACK, 40 ms on Linux.
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Interrupted, a non-blocking connect goes on in the background just the same.
    if (::connect(fd.get(), to.ai_addr, to.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return errno;
        if (const int wait =
                WaitReady(fd.get(), POLLOUT,
                          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
            wait != 0)
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

}  // namespace

int ConnectTcp(const std::string& host, uint16_t port, UniqueFd& out,
               std::chrono::milliseconds waitLimit) {
    const auto deadline = Clock::now() + waitLimit;
    if (TransferCancelled())
        return ECANCELED;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
        return LooksLikeIpv4(host) ? EHOSTUNREACH : kHostNotFound;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, &::freeaddrinfo);
    // A name may stand for several addresses ("localhost": ::1 and 127.0.0.1): the first that
    // takes the connection; else the first one's failure.
    int first = 0;
    for (const addrinfo* to = found; to != nullptr; to = to->ai_next) {
        const int error = ConnectTo(*to, out, deadline);
        if (error == 0 || error == ECANCELED || Clock::now() >= deadline)
            return error;
        if (first == 0)
            first = error;
    }
    return first;
}

CloseOutcome CloseGracefully(UniqueFd& fd,
                             const std::function<void(const char*, size_t)>& heard) noexcept {
    CloseOutcome out;
    if (!fd)
        return out;
    ::shutdown(fd.get(), SHUT_WR);
    struct Reader {
        int fd;
        const std::function<void(const char*, size_t)>& heard;
        bool peerEnded = false;
        int Take() noexcept {
            char chunk[4096];
            // Bounded, so a printer that never stops talking cannot keep the close here.
            for (int round = 0; round < 16 && !peerEnded; ++round) {
                const ReadOutcome in =
                    ReadWithin(fd, chunk, sizeof chunk, std::chrono::milliseconds(0), true);
                if (in.count > 0) {
                    try {
                        if (heard)
                            heard(chunk, in.count);
                    } catch (...) {  // what the printer said may be lost, not what it was sent
                    }
                } else if (in.error == 0) {
                    peerEnded = true;  // it may still be reading what we sent
                } else {
                    return in.error == ETIMEDOUT ? 0 : in.error;  // nothing more for now
                }
            }
            return 0;
        }
    } reader{fd.get(), heard};
    // One reference: small enough for std::function to hold without allocating.
    const auto take = [&reader] { return reader.Take(); };
    const DrainOutcome drained = WaitOutputDrained(fd.get(), take);
    reader.Take();
    // Our FIN counts in the queue too until it is acknowledged: it is no byte of the printer's.
    out.notTaken = drained.left > 0 ? drained.left - 1 : 0;
    out.error = drained.error;
    if (out.error == 0 || out.notTaken == 0) {
        out.error = 0;
        fd.reset();
    } else {
        CloseAbortively(fd);
    }
    return out;
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

void CloseAbortively(UniqueFd& fd) noexcept {
    if (!fd)
        return;
    const linger reset{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd.reset();
}

}  // namespace kelvo
