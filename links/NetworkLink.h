#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "links/TcpConnect.h"
#include "links/UniqueFd.h"

namespace kelvo {

// A failure of the network link. Code() is the operating system's error number for a socket
// error ("Socket Error # n" ...) and 0 for the link's own texts ("Not Connected" ...).
class ENetworkError : public std::runtime_error {
  public:
    ENetworkError(const std::string& message, int code)
        : std::runtime_error(message), code_(code) {}
    int Code() const noexcept { return code_; }

  private:
    int code_;
};

// The window's one TCP connection to a printer's raw port. It writes, and reads single answers.
// Whatever the printer sends unasked is taken off the connection before every send, so it never
// fills the receive buffer nor passes for an answer, and is kept for the window to show (Disconnect
// still drops what was not taken off yet). Every call blocks its caller, bounded by the stall limit
// and the cancel signal of the thread's transfer monitor (Transfer.h).
class NetworkLink {
  public:
    enum class State {
        Idle,  // no socket: at creation and after Disconnect
        Connected,
        Closed,  // the link closed the socket after a failed connect or a dead connection
    };

    NetworkLink() = default;
    ~NetworkLink();  // closes an open connection as Disconnect does, reporting nothing
    NetworkLink(const NetworkLink&) = delete;
    NetworkLink& operator=(const NetworkLink&) = delete;

    void SetHost(const std::string& host) { host_ = host; }
    void SetPort(int port) { port_ = port; }
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }

    // A connect that has not stood after this long fails with ETIMEDOUT; by default the
    // operating system's SYN retries decide (TcpConnect.h).
    void SetConnectLimit(std::chrono::milliseconds limit) { connectLimit_ = limit; }

    // Opens a fresh connection to host:port within the connect limit.
    // Throws "Already connected." while connected (the open connection is kept), or a socket
    // error (ECANCELED when the action is cancelled), after which the link is Closed.
    void Connect();
    // Closes any connection without sending anything, once the printer has acknowledged every
    // byte sent (as long as it keeps taking them), keeping what it says meanwhile as unasked
    // bytes. The link is Idle afterwards, whatever happens. When the printer took no byte for the
    // stall limit, the action was cancelled or the connection died with bytes still untaken, the
    // rest is dropped and it throws a socket error that says how many bytes never arrived.
    void Disconnect();

    // Sends the payload then CR LF.
    void SendLine(const std::string& payload);
    // Sends the payload byte for byte. An empty payload sends nothing and never fails.
    // Not connected: "Not Connected" (Idle) or "Connection Closed Gracefully." (Closed).
    // No byte taken for the stall limit: socket error ETIMEDOUT; cancelled: ECANCELED; after
    // either the link is Closed.
    void SendRaw(const std::string& payload);

    // Waits up to `timeout` for one byte from the printer; nothing in time: empty. Not connected:
    // as for sends. The printer closed or reset the connection: "Connection Closed Gracefully." or
    // a socket error, and the link is Closed. Cancelled: ECANCELED, the connection stays (nothing
    // of the action is left to reach the printer).
    std::optional<uint8_t> ReadByte(std::chrono::milliseconds timeout);

    // For a watcher between calls: the socket, readable once the printer sent bytes or closed the
    // connection; -1 when not connected.
    int WatchFd() const noexcept { return state_ == State::Connected ? fd_.get() : -1; }
    // Between calls, takes what the printer sent (kept as unasked bytes) and tells whether it has
    // closed or reset the connection; the link is then Closed, as a read would have left it.
    bool CheckClosed();

    // The newest bytes the printer sent unasked, kept until taken.
    static constexpr size_t kUnsolicitedKept = 64 * 1024;
    // Hands over the kept bytes, oldest first, and forgets them.
    std::string TakeUnsolicited();
    // How many unasked bytes were dropped, over the link's life, to keep only the newest.
    uint64_t UnsolicitedDropped() const noexcept { return unsolicitedDropped_; }

    // The connected printer's address as numeric text (a host name resolved); empty when there
    // is no connection.
    std::string PeerAddress() const;

    // Nothing sent nor received on this connection yet: no answer of ours can be on its way.
    bool Untouched() const noexcept { return state_ == State::Connected && !used_; }

    State GetState() const noexcept { return state_; }
    bool Connected() const noexcept { return state_ == State::Connected; }

    // The hardware address of an IPv4 address (inet_addr text) from the kernel's neighbour
    // table, as "00-0A-0B-0C-0D-0E"; "00-00-00-00-00-00" when there is none. Never throws. It
    // may wait about a second for the entry; a readable `stopFd` ends the wait.
    static std::string LookupPrinterMac(const std::string& dottedIp, int stopFd = -1);
    static constexpr char kNoMac[] = "00-00-00-00-00-00";

    // "Socket Error # n" CR LF and a one-line description of errno value n (or of kHostNotFound).
    static std::string SocketErrorText(int error);
    // The socket error text, then a line naming the bytes the printer never took.
    static std::string NotTakenText(int error, size_t notTaken);

  private:
    void Send(const char* data, size_t size);
    void RequireConnected() const;
    // True when the connection has ended (the printer closed it, or it failed); a send that
    // follows names the end itself.
    bool KeepWaitingBytes();
    void Keep(const char* data, size_t size);
    [[noreturn]] void FailDead(int error);

    std::string host_;
    int port_ = 0;
    std::chrono::milliseconds connectLimit_ = kConnectWaitLimit;
    State state_ = State::Idle;
    UniqueFd fd_;
    std::string unsolicited_;
    uint64_t unsolicitedDropped_ = 0;
    bool used_ = false;
};

}  // namespace kelvo
