#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "links/NetworkLink.h"
#include "links/StatusQuery.h"

namespace kelvo::testing {

// A point-of-sale program as a printer meets it, on the tool's own network link: it connects,
// sends a receipt, asks the status with a time-out, and reads what the printer sends by itself.
// Every failure is the socket error a POS would see (0: none).
class PosPeer {
  public:
    explicit PosPeer(const std::string& address);  // "127.77.40.1:9100"; connects

    // The errno the send ended with; a printer that takes nothing for `stall` is ETIMEDOUT.
    int Send(const std::string& bytes,
             std::chrono::milliseconds stall = std::chrono::milliseconds(5000));
    // The next `n` bytes within `within` each, or the error that ended them in `error`.
    std::string Read(size_t n, std::chrono::milliseconds within = std::chrono::seconds(5));
    // DLE EOT n's answer within `within`, or nothing.
    std::optional<uint8_t> Status(int n, std::chrono::milliseconds within);
    StatusAnswers QueryStatus(std::chrono::milliseconds perRequest);

    int error = 0;
    NetworkLink link;
};

// A receipt of 70 text lines and a feed, 2400 dots (300 mm) of paper before its cut.
std::string Receipt300mm();

}  // namespace kelvo::testing
