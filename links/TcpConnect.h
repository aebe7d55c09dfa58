#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "links/UniqueFd.h"

namespace kelvo {

// Opens a TCP connection, as the network link and the printer library do. Linux would retry SYNs
// for about two minutes against a silent address; the SYN retry count is lowered so the operating
// system gives up after about 15 s (1 + 2 + 4 + 8 s), close to what Windows allowed (about 21 s).
// The wait honours this thread's cancel signal (ECANCELED).
// `host` is dotted IPv4 text or a host name. Returns 0 and sets `out`, or returns an errno value
// (EAI errors of name resolution are reported as EHOSTUNREACH). The socket is non-blocking: write
// it with WriteAll.
int ConnectTcp(const std::string& host, uint16_t port, UniqueFd& out);

// The kernel's SYN retry count used by ConnectTcp.
inline constexpr int kConnectSynRetries = 3;
// Only a backstop: the SYN retries end a connect long before.
inline constexpr std::chrono::milliseconds kConnectWaitLimit{30000};

// How long CloseGracefully waits for the printer to close its side.
inline constexpr std::chrono::milliseconds kGracefulCloseLimit{1000};

// Closes a connection so that everything sent reaches the printer: close() with received bytes
// still unread sends a reset, and the printer drops the tail of what it had not read yet (a
// single status byte the printer sent was enough to lose most of a logo). So: end our side, read
// and drop what still comes until the printer closes, about a second passes or the action is
// cancelled, then close. Never fails.
void CloseGracefully(UniqueFd& fd) noexcept;

// Closes a connection at once with a reset: the queued rest of a stalled or cancelled action
// must not reach the printer later, and a peer that stopped reading must not keep it pending.
void CloseAbortively(UniqueFd& fd) noexcept;

}  // namespace kelvo
