#pragma once

// Finding printers nobody wrote the address of: a TCP scan of port 9100 over the subnets this
// machine is on, or over addresses the user typed, that asks each host that accepts what a printer
// answers (DLE EOT 1, GS I) and nothing else.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "links/StatusQuery.h"

namespace kelvo {

// Addresses in host byte order.
using Ipv4 = uint32_t;

std::string Ipv4Text(Ipv4 address);

// "10.0.0.0/24", "10.0.0.1-10.0.0.40" (or "10.0.0.1-40"), "10.0.0.5", and lists of these separated
// by commas or spaces. A prefix shorter than /31 leaves out its network and broadcast address.
// Returns the addresses in the order given, each once; on a mistake returns an empty vector and
// sets *error to a sentence naming the part that is wrong.
std::vector<Ipv4> ParseScanRange(const std::string& text, std::string* error);

// Never more than this many addresses in one scan: a /16.
inline constexpr size_t kMaxScanAddresses = 65536;

// An IPv4 subnet of one of this machine's interfaces that are up (loopback left out).
struct OwnSubnet {
    std::string interfaceName;
    Ipv4 address = 0;  // this machine's own address on it
    int prefixLength = 32;
};
std::vector<OwnSubnet> OwnSubnets();

// Larger subnets are scanned as the /22 around this machine's address: a /16 at a few hundred
// connections at a time is minutes of traffic the user did not ask for.
inline constexpr int kWidestOwnPrefix = 22;
// The addresses of OwnSubnets(), each cut to kWidestOwnPrefix, without network and broadcast.
std::vector<Ipv4> OwnSubnetAddresses();

struct FoundPrinter {
    std::string address;
    // As the network page shows it ("00-0A-0B-0C-0D-0E"); all zeros when the printer is not on a
    // link of this machine (behind a router the neighbour table has the router's).
    std::string mac;
    uint8_t status = 0;  // its answer to DLE EOT 1
    std::string model;   // its answer to GS I 67 (the model name), empty when it gave none
    // From the start of the connect to the status answer.
    std::chrono::milliseconds responseTime{0};
};

struct ScanCounts {
    size_t total = 0;     // addresses to scan
    size_t finished = 0;  // of them, done with
    size_t found = 0;
    size_t refused = 0;   // nothing listens on port 9100
    size_t reset = 0;     // accepted, then reset or closed before answering
    size_t silent = 0;    // no answer to the connect within its time-out, or unreachable
    size_t noAnswer = 0;  // accepted, but no status byte to DLE EOT 1
    bool cancelled = false;
};

struct ScanOptions {
    std::vector<Ipv4> addresses;
    uint16_t port = 9100;
    // A /24 in one round of connect time-outs.
    size_t maxInFlight = 256;
    // A printer on the same LAN accepts within milliseconds; the rest are addresses nobody uses.
    std::chrono::milliseconds connectTimeout{500};
    std::chrono::milliseconds answerWait = kStatusAnswerWait;
    std::chrono::milliseconds quietGap = kStatusQuietGap;
    // Readable once the scan is to end (an EventFd or a CancelSignal); -1 for none.
    int cancelFd = -1;
};

struct ScanReports {
    std::function<void(const FoundPrinter&)> found;   // each printer as it answers
    std::function<void(const ScanCounts&)> progress;  // after each address is done with
};

// Runs on the calling thread until every address is done with or the cancel fd is readable (then
// within a few milliseconds). Sends nothing but the connects, DLE EOT 1, GS I 67 and the closes;
// a connection is closed with a FIN, never a reset. Throws std::system_error when poll fails.
ScanCounts ScanForPrinters(const ScanOptions& options, const ScanReports& reports);

}  // namespace kelvo
