#include "printer/Listen.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "links/TcpConnect.h"

namespace kelvo::printer {

namespace {

int Bind(const sockaddr* address, socklen_t length, int backlog, UniqueFd& listener) {
    // Non-blocking: a client gone between poll and accept must not block the thread.
    UniqueFd fd(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return errno;
    // Our own connections of a previous run in TIME_WAIT must not move us to another port.
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), address, length) != 0 || ::listen(fd.get(), backlog) != 0)
        return errno;
    listener = std::move(fd);
    return 0;
}

}  // namespace

TcpListener ListenTcp(const TcpOptions& options, int backlog) {
    TcpListener out;
    in_addr v4{};
    in6_addr v6Address{};
    const bool loopback = IsLoopbackHost(options.host);
    if (!loopback && !options.anyHost)
        throw std::invalid_argument("not a loopback address: " + options.host);
    if (::inet_pton(AF_INET6, options.host.c_str(), &v6Address) == 1)
        out.v6 = true;
    else if (::inet_pton(AF_INET, options.host.c_str(), &v4) != 1)
        throw std::invalid_argument("not a numeric address: " + options.host);

    // A port in use moves us over to the next address on the same port first (the tool's pages
    // always reach port 9100), then up a port; anything else is final. Only loopback has further
    // addresses of ours to move to.
    const int addressTries = out.v6 || !loopback || options.exact ? 1 : 1 + kTcpAddressTries;
    const int portTries = options.port == 0 || options.exact ? 1 : 1 + kTcpPortTries;
    int error = EADDRINUSE;
    const uint32_t first = ntohl(v4.s_addr);
    for (int p = 0; p < portTries && error == EADDRINUSE && options.port + p <= 65535; ++p) {
        for (int a = 0;
             a < addressTries && error == EADDRINUSE && (a == 0 || ((first + a) >> 24) == 127);
             ++a) {
            const uint32_t base = first + static_cast<uint32_t>(a);
            const auto tryPort = static_cast<uint16_t>(options.port + p);
            if (out.v6) {
                sockaddr_in6 address{};
                address.sin6_family = AF_INET6;
                address.sin6_addr = v6Address;
                address.sin6_port = htons(tryPort);
                error =
                    Bind(reinterpret_cast<sockaddr*>(&address), sizeof address, backlog, out.fd);
            } else {
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(base);
                address.sin_port = htons(tryPort);
                error =
                    Bind(reinterpret_cast<sockaddr*>(&address), sizeof address, backlog, out.fd);
            }
        }
    }
    if (error != 0)
        throw std::system_error(error, std::generic_category(),
                                loopback ? "listen on loopback" : "listen on " + options.host);

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(out.fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    char text[INET6_ADDRSTRLEN] = {};
    if (out.v6) {
        const auto& b = reinterpret_cast<const sockaddr_in6&>(bound);
        ::inet_ntop(AF_INET6, &b.sin6_addr, text, sizeof text);
        out.port = ntohs(b.sin6_port);
    } else {
        const auto& b = reinterpret_cast<const sockaddr_in&>(bound);
        ::inet_ntop(AF_INET, &b.sin_addr, text, sizeof text);
        out.port = ntohs(b.sin_port);
    }
    out.host = text;
    return out;
}

std::string PeerAddress(const sockaddr_storage& peer) {
    return AddressText(peer);
}

}  // namespace kelvo::printer
