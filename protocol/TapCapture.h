#pragma once

// The tap's capture file: pcapng (which Wireshark and tshark open) of raw IPv4 packets, each POS
// session a TCP stream between 10.0.0.1 (the POS, port 40000 + session) and 10.0.0.2:9100 (the
// printer), with its open, data, close and reset. The stand-in addresses keep a session one stream
// whatever the real addresses were. Bytes only: the caller writes and reads the file.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

class TapCaptureWriter {
  public:
    enum class Packet { Open, Data, Close, Reset };
    using Time = std::chrono::system_clock::time_point;

    // The file's section and interface blocks.
    static std::string Start();
    // The blocks of one event of `session`; `fromPos` says which side sent it.
    std::string Event(uint64_t session, Time at, Packet kind, bool fromPos,
                      std::string_view bytes = {});

  private:
    std::string Segment(uint64_t session, Time at, bool fromPos, uint8_t flags,
                        std::string_view payload);
    struct Stream {
        uint32_t seq[2] = {1000, 5000};  // next sequence number: from the POS, from the printer
    };
    std::map<uint64_t, Stream> streams_;
};

struct CapturedBytes {
    uint64_t session = 0;
    std::chrono::system_clock::time_point at;
    bool fromPos = false;
    std::string bytes;
};

// Whether `file` starts as a pcapng file of this machine's byte order does (a receipt may start
// with the first four bytes alone: LF CR CR LF).
bool IsPcapng(std::string_view file);
// Every data segment of a capture the tap wrote, in file order; nothing and why for a file that
// is not one (other captures: only raw IPv4 packets of TCP to or from port 9100 are read).
std::optional<std::vector<CapturedBytes>> ReadTapCapture(std::string_view file, std::string* why);

}  // namespace kelvo
