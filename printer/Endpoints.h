#pragma once

// Where a virtual printer meets the tool: a TCP port on loopback and a pseudo-terminal. They know
// nothing of the printer model; they hand it bytes and send back what it answers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kelvo::printer {

// Called on the endpoint's own thread with each chunk received; returns bytes to send back
// (status answers). The owner serialises access to its model itself. Must not throw.
using Sink = std::function<std::string(std::string_view bytes)>;

// How a TCP client's connection ended.
enum class TcpEnd {
    Closed,  // the client closed it, or it failed
    Idle,    // the client sent nothing for the idle limit, and it was closed
};

// Called on the endpoint's own thread when a connection is taken (`started`, with the client's
// address: "127.0.0.1:40112", "[::1]:40112") and when it ends; not when the endpoint itself
// stops. Must not throw.
struct TcpEvents {
    std::function<void(const std::string& peer)> started;
    std::function<void(TcpEnd)> ended;
};

inline constexpr std::chrono::milliseconds kDefaultIdleLimit{30000};

struct TcpOptions {
    std::string host = "127.0.0.1";  // numeric: 127.0.0.0/8 or ::1
    uint16_t port = 9100;            // 0: any free port
    // A client silent this long is closed, so that one client cannot hold the printer from the
    // others; 0: never.
    std::chrono::milliseconds idleLimit = kDefaultIdleLimit;
};

// Number of further loopback addresses tried for a taken port, and of further ports after those.
inline constexpr int kTcpPortTries = 20;
inline constexpr int kTcpAddressTries = 8;

// A TCP listener on a loopback address serving one connection at a time, as a printer does;
// further clients wait in the backlog. When host:port is taken it tries the same port on the next
// loopback addresses (IPv4 only), then the next ports. Throws std::invalid_argument for a host that
// is not a loopback address, std::system_error when nothing could be bound.
class TcpEndpoint {
  public:
    TcpEndpoint(TcpOptions options, Sink sink, TcpEvents events = {});
    ~TcpEndpoint();
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    // What was bound: "127.0.0.1:9100", "[::1]:9100".
    std::string Address() const;
    std::string Host() const;
    uint16_t Port() const;

    // Applies to the connection being served too, from now.
    void SetIdleLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds IdleLimit() const;
    // Whether a client is being served, and how many wait behind it (connected, not yet taken).
    bool Serving() const;
    int Waiting() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct PtyOptions {
    // 0: read as fast as bytes come; else about baud/10 bytes a second, so that progress and
    // stalls can be seen.
    long readBaud = 0;
};

// A pseudo-terminal whose slave the tool opens as its serial port. The endpoint keeps a slave
// descriptor of its own open: without it the master reads EIO and polls POLLHUP without pause
// from the tool's first close until its next open. Bytes already written survive a close either
// way. The pty starts raw (a fresh one would echo answers back); the tool's own settings rule
// after it opens the slave, IXON above all.
class PtyEndpoint {
  public:
    PtyEndpoint(PtyOptions options, Sink sink);  // throws std::system_error
    ~PtyEndpoint();
    PtyEndpoint(const PtyEndpoint&) = delete;
    PtyEndpoint& operator=(const PtyEndpoint&) = delete;

    const std::string& SlavePath() const;

    // On: sends XOFF and stops reading (paper out), so the tool's writes stall if it honours
    // XOFF and pile up otherwise. Off: sends XON and reads again. XOFF reaches the slave before
    // this returns, but the line discipline acts on it a moment later.
    void SetHold(bool hold);
    void SetReadBaud(long baud);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo::printer
