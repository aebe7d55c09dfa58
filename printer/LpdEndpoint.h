#pragma once

// A virtual printer's LPD port (RFC 1179, printer/Lpd.h) beside its raw TCP port: one connection
// at a time, each whole job handed over once it has all arrived. LPD carries nothing back, so the
// printer's answers go nowhere and a job is spooled before it prints, as a line printer daemon
// does.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "printer/Endpoints.h"

namespace kelvo::printer {

struct LpdJob {
    std::string peer;   // "127.0.0.1:721"
    std::string queue;  // as the client named it
    std::string name;   // from the control file, if it names one
    std::string user;
    std::string bytes;  // the data files, in the order sent
};

// A client that sends nothing this long is closed and its job dropped.
inline constexpr std::chrono::milliseconds kLpdIdleLimit{30000};

class LpdEndpoint {
  public:
    // Called on the endpoint's thread with each whole job; it may block (a printer still busy with
    // another job), and the endpoint takes no other connection meanwhile. Must not throw. Listens
    // on `options`' host and port exactly (0: any free port); throws as TcpEndpoint does.
    LpdEndpoint(TcpOptions options, std::function<void(LpdJob)> job);
    ~LpdEndpoint();
    LpdEndpoint(const LpdEndpoint&) = delete;
    LpdEndpoint& operator=(const LpdEndpoint&) = delete;

    std::string Address() const;  // "127.0.0.1:515", "[::1]:515"
    uint16_t Port() const;
    // Exchanges that broke off (a client that aborted, broke the protocol, closed inside a file
    // or went silent), over the endpoint's life.
    uint64_t Dropped() const;
    // Connections served to their end, the dropped ones included.
    uint64_t Exchanges() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo::printer
