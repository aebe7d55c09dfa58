#pragma once

#include <cstdint>
#include <string>

#include "links/UniqueFd.h"

namespace kelvo {

// Opens a TCP connection with a blocking connect, as the network link and the printer library do.
// The link sets no time-out of its own, but Linux would retry SYNs for about two minutes against a
// silent address while the window is frozen; the SYN retry count is lowered so the operating system
// gives up after about 15 s (1 + 2 + 4 + 8 s), close to what Windows allowed (about 21 s).
// `host` is dotted IPv4 text or a host name. Returns 0 and sets `out`, or returns an errno value
// (EAI errors of name resolution are reported as EHOSTUNREACH).
int ConnectTcp(const std::string& host, uint16_t port, UniqueFd& out);

// The kernel's SYN retry count used by ConnectTcp.
inline constexpr int kConnectSynRetries = 3;

}  // namespace kelvo
