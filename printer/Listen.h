#pragma once

// The endpoints' listening sockets: where they bind and how a taken address moves them on.

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "links/UniqueFd.h"
#include "printer/Endpoints.h"

namespace kelvo::printer {

struct TcpListener {
    UniqueFd fd;  // non-blocking
    std::string host;
    uint16_t port = 0;
    bool v6 = false;

    std::string Address() const {
        return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }
};

// Listens as TcpOptions say, with `backlog`. Throws std::invalid_argument for a host that is not
// a numeric address, or not a loopback address unless the options allow any, std::system_error
// when nothing could be bound.
TcpListener ListenTcp(const TcpOptions& options, int backlog);

// "127.0.0.1:40112", "[::1]:40112".
std::string PeerAddress(const sockaddr_storage& peer);

}  // namespace kelvo::printer
