#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "links/EventFd.h"
#include "links/UniqueFd.h"
#include "testing/StatusResponder.h"

namespace kelvo::testing {

// A listening TCP socket on a loopback address of 127.0.0.0/8 or on ::1 (SO_REUSEADDR); `port` 0
// takes a free one and is set to it. Throws std::runtime_error naming `who` when it cannot.
kelvo::UniqueFd ListenOnLoopback(const std::string& host, uint16_t& port, const std::string& who,
                                 int backlog = 16);

// A printer that takes no more connections: its listener's accept queue is full and never
// drained, so a further connect's SYN goes unanswered, as at a printer busy with another client.
struct FullBacklog {
    explicit FullBacklog(const std::string& host);  // throws std::runtime_error
    std::string address;                            // host:port
    kelvo::UniqueFd listener, filler;
};

// A network printer on a loopback address: a TCP listener in its own thread that records every
// byte it receives, per connection, in arrival order.
class LoopbackPrinter {
  public:
    enum class Mode {
        Record,       // accept, read to end of stream, close
        ResetAfter,   // accept, read resetAfterBytes bytes, then reset the connection (RST)
        Hold,         // accept and never read: the peer's sends pile up in the kernel
        CloseAtOnce,  // accept and close at once
    };

    struct Options {
        Mode mode = Mode::Record;
        size_t resetAfterBytes = 0;
    };

    // Listens on host:port (SO_REUSEADDR); throws std::runtime_error when it cannot.
    LoopbackPrinter(const std::string& host, uint16_t port, Options options);
    explicit LoopbackPrinter(const std::string& host, uint16_t port = 9100)
        : LoopbackPrinter(host, port, Options{}) {}
    ~LoopbackPrinter();
    // One on ::1, or nothing and why where this network namespace has no IPv6 loopback.
    static std::unique_ptr<LoopbackPrinter> OnIpv6Loopback(uint16_t port, std::string* whyNot);
    LoopbackPrinter(const LoopbackPrinter&) = delete;
    LoopbackPrinter& operator=(const LoopbackPrinter&) = delete;

    uint16_t port() const { return port_; }
    const std::string& host() const { return host_; }

    // All bytes received so far, every connection concatenated in accept order.
    std::string bytes() const;
    // The bytes of each connection, in accept order.
    std::vector<std::string> connections() const;
    size_t connectionCount() const;
    size_t closedConnectionCount() const;

    // Waits until at least n bytes arrived in total; returns what arrived by then.
    std::string waitForBytes(size_t n,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Waits until `count` connections have reached end of stream (or were reset) and the printer
    // has closed its end of them.
    bool waitForClosed(size_t count,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Waits a little and returns whatever arrived: for asserting that nothing (more) came.
    std::string settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));

    void clear();
    void setMode(Options options);
    // Answers DLE EOT n with answers[n-1] from now on (nothing for an empty one). The answer is
    // sent before the request counts as received, so once waitForBytes has seen the request the
    // answer is waiting on the client's side. GS I 67 gets `model` (nothing for an empty one).
    void setStatusAnswers(StatusBytes answers, std::string model = {});

  private:
    struct Conn {
        kelvo::UniqueFd fd;
        size_t index;
        size_t received = 0;
        StatusRequestScanner scanner;
    };
    void run();
    void onReadable(Conn& c, short revents, bool& drop);

    std::string host_;
    uint16_t port_ = 0;
    kelvo::UniqueFd listen_;
    kelvo::EventFd stop_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    Options options_;
    StatusBytes statusAnswers_{};
    std::string model_;
    std::vector<std::string> perConnection_;
    size_t closed_ = 0;
    std::thread thread_;
};

}  // namespace kelvo::testing
