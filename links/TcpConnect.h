#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "links/UniqueFd.h"

namespace kelvo {

// Only a backstop: the SYN retries end a connect long before.
inline constexpr std::chrono::milliseconds kConnectWaitLimit{30000};

// Opens a TCP connection, as the network link and the printer library do. Linux would retry SYNs
// for about two minutes against a silent address; the SYN retry count is lowered so the operating
// system gives up after about 15 s (1 + 2 + 4 + 8 s), close to what Windows allowed (about 21 s).
// The wait honours this thread's cancel signal (ECANCELED).
// `host` is dotted IPv4 text, IPv6 text (without brackets) or a host name. Returns 0 and sets
// `out`, or returns an errno value; a name that does not resolve gives kHostNotFound, except that
// text of digits and dots gives EHOSTUNREACH as it always did. The socket is non-blocking: write it
// with WriteAll. `waitLimit` bounds the whole wait (ETIMEDOUT), for callers that give up sooner.
int ConnectTcp(const std::string& host, uint16_t port, UniqueFd& out,
               std::chrono::milliseconds waitLimit = kConnectWaitLimit);

// No errno says "no such host": Winsock's number for it, which the window's socket error texts
// already follow.
inline constexpr int kHostNotFound = 11001;

// "127.0.0.1:40112", "[::1]:40112".
std::string AddressText(const sockaddr_storage& address);

// The kernel's SYN retry count used by ConnectTcp.
inline constexpr int kConnectSynRetries = 3;

struct CloseOutcome {
    // 0 when the printer acknowledged every byte sent; ETIMEDOUT when it took none for the stall
    // limit; ECANCELED when the action was cancelled; else the error that ended the connection.
    int error = 0;
    size_t notTaken = 0;  // bytes sent that the printer never acknowledged
};

// Closes a connection so that everything sent reaches the printer. close() with received bytes
// still unread sends a reset, and the printer drops the tail it has not read yet (a single status
// byte was enough to lose most of a logo); a printer reading at print speed needs far longer than
// any fixed wait. So: end our side, then wait while the printer acknowledges what the kernel still
// holds, handing what it sends meanwhile to `heard` (may be empty), for as long as it keeps
// taking bytes; then close. Under the thread's stall limit and cancel signal; on either, or when
// the connection dies first, the rest is dropped with a reset and the outcome says how much.
CloseOutcome CloseGracefully(
    UniqueFd& fd, const std::function<void(const char*, size_t)>& heard = nullptr) noexcept;

// Closes a connection at once with a reset: the queued rest of a stalled or cancelled action
// must not reach the printer later, and a peer that stopped reading must not keep it pending.
void CloseAbortively(UniqueFd& fd) noexcept;

}  // namespace kelvo
