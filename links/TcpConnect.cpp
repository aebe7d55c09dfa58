#include "links/TcpConnect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

namespace kelvo {

int ConnectTcp(const std::string& host, uint16_t port, UniqueFd& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return EHOSTUNREACH;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, &::freeaddrinfo);

    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return errno;
    int syn = kConnectSynRetries;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_SYNCNT, &syn, sizeof syn);
    while (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
        if (errno != EINTR)
            return errno;
    }
    out = std::move(fd);
    return 0;
}

}  // namespace kelvo
