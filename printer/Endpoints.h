#pragma once

// Where a virtual printer meets the tool: a TCP port on loopback and a pseudo-terminal. They know
// nothing of the printer model; they hand it bytes and send back what it answers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::printer {

// A printer's receive buffer: what an endpoint holds that the printer has not taken yet. Full, the
// endpoint reads no more (TCP: the client's writes block once its kernel buffers are full too;
// serial: XOFF).
inline constexpr size_t kReceiveBuffer = 4096;

// The printer behind an endpoint, called on the endpoint's own thread; the owner serialises
// access to its model itself. Must not throw.
struct Sink {
    // Bytes as they are read, before the printer gets to them: what it answers at once.
    std::function<std::string(std::string_view bytes)> receive;
    // The receive buffer, oldest first: returns how many bytes the printer took (fewer, none at
    // all, while it is offline) and appends what they answered. Offered again after each read
    // and after Resume().
    std::function<size_t(std::string_view held, std::string& answers)> print;
    // TCP: bytes from a client waiting behind one whose bytes the printer does not take
    // (offline), as a printer hears every connection for its real-time requests; what they
    // answer goes back to that client at once, and the bytes wait for its turn. `cut` is the
    // client's own request cut by the end of its last bytes. Unset: waiting clients are not read.
    std::function<std::string(std::string_view bytes, std::string& cut)> waiting = nullptr;
    // While the printer takes its bytes slower than they come (its print speed): how long until
    // it takes more, when the endpoint offers them again by itself (0: it may now). Unset or
    // negative (offline): it offers them again only as above.
    std::function<std::chrono::milliseconds()> busy = nullptr;
    // Pty: the speed the printer's line runs at. While the client's line is set to another, each
    // side reads the other's bytes (XON and XOFF too) as a UART at the wrong speed does. Unset or
    // 0: any speed.
    std::function<long()> baud = nullptr;
};

// How a TCP client's connection ended.
enum class TcpEnd {
    Closed,  // the client closed it, or it failed
    Idle,    // the client sent nothing for the idle limit, and it was closed
    Reset,   // the printer reset it (Reset())
};

// Called on the endpoint's own thread when a connection is taken (`started`, with the client's
// address: "127.0.0.1:40112", "[::1]:40112") and when it ends; not when the endpoint itself
// stops. Must not throw.
struct TcpEvents {
    std::function<void(const std::string& peer)> started;
    std::function<void(TcpEnd)> ended;
};

inline constexpr std::chrono::milliseconds kDefaultIdleLimit{30000};
// TcpEndpoint::SetAnswerDelay: real-time answers are never sent.
inline constexpr std::chrono::milliseconds kAnswersNever = std::chrono::milliseconds::max();

struct TcpOptions {
    std::string host = "127.0.0.1";  // numeric: 127.0.0.0/8 or ::1, any address with anyHost
    uint16_t port = 9100;            // 0: any free port
    // A client silent this long is closed, so that one client cannot hold the printer from the
    // others; 0: never. Not counted while the receive buffer holds bytes the printer has not
    // taken (offline): then the printer keeps the client waiting, not the other way round.
    std::chrono::milliseconds idleLimit = kDefaultIdleLimit;
    // Takes a host that is not loopback as well. Anyone who can reach that address can print, so
    // only a user who asked for it in so many words sets this; the window never does.
    bool anyHost = false;
    // Listens there or fails: an address the user named is not quietly swapped for the next free.
    bool exact = false;
    // SO_RCVBUF of its connections; 0: the system's, which lets a client a long way ahead.
    int socketBuffer = 0;
};

// Whether `host` is a numeric loopback address: 127.0.0.0/8 or ::1.
bool IsLoopbackHost(const std::string& host);

// A client taken off the listener: its address ("127.0.0.1:40112", "[::1]:40112") and since when
// it is connected.
struct TcpClient {
    std::string address;
    std::chrono::system_clock::time_point since;
};

struct TcpQueue {
    std::optional<TcpClient> served;
    std::vector<TcpClient> waiting;  // in the order they are served
    int backlog = 0;                 // connected but not yet taken, behind `waiting`
};

// Clients taken and waiting behind the one served, still connected, at most; further ones stay in
// the backlog.
inline constexpr size_t kTcpWaitingTaken = 8;
// Waiting clients at most, those that hung up with their bytes held for their turn included (each
// holds at most kReceiveBuffer): status queries while the printer is offline.
inline constexpr size_t kTcpWaitingHeld = 64;

// Number of further loopback addresses tried for a taken port, and of further ports after those.
inline constexpr int kTcpPortTries = 20;
inline constexpr int kTcpAddressTries = 8;

// A TCP listener on a loopback address serving one connection at a time, as a printer does;
// further clients wait, taken in order (up to kTcpWaitingTaken, so that their addresses are known)
// but not read (unless the sink hears them), the rest in the backlog. A client that closes leaves
// what it sent to be printed.
// When host:port is taken it tries the same port on the next loopback addresses (IPv4 loopback
// only), then the next ports. Throws std::invalid_argument for a host that is not a numeric
// address, or not a loopback address unless the options allow any, std::system_error when
// nothing could be bound.
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
    // Whether a client is being served, and how many wait behind it (not yet served: connected, or
    // hung up with bytes held while the printer was offline).
    bool Serving() const;
    int Waiting() const;
    TcpQueue Queue() const;

    // The printer may take bytes again: the receive buffer is offered to it once more.
    void Resume();
    // Bytes the printer sends by itself (automatic status), to the client being served; dropped
    // when there is none. Thread-safe.
    void Send(std::string_view bytes);
    // Bytes in the receive buffer.
    size_t Buffered() const;

    // Faults a real printer shows. Reset: the client being served gets a TCP reset (its bytes
    // held are lost), none when no client is served. Stalled: nothing more is read from any
    // client (they stay connected, past the idle limit) until it is off again. The real-time
    // answers to the client served go out `delay` after their request, or never
    // (kAnswersNever); 0: at once.
    void Reset();
    void SetStalled(bool stalled);
    void SetAnswerDelay(std::chrono::milliseconds delay);

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

    // On: busy (offline), sends XOFF, so the tool's writes stall if it honours XOFF; what comes
    // all the same still goes to the receive buffer. Off: XON, unless the buffer is full. The
    // endpoint sends XOFF by itself too while its receive buffer is full, and XON once a quarter
    // of it is free. XOFF reaches the slave before this returns, but the line discipline acts on it
    // a moment later.
    void SetHold(bool hold);
    void SetReadBaud(long baud);
    // As TcpEndpoint's.
    void Resume();
    void Send(std::string_view bytes);
    size_t Buffered() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo::printer
