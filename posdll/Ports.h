#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "links/Posdll.h"

namespace kelvo::posdll {

// One way to a printer. Write sends all bytes or returns why not (kPos* code).
class Port {
  public:
    virtual ~Port() = default;
    virtual int32_t Write(const char* data, size_t size) = 0;
    // Lets the printer take what is still on its way and closes: kPosSuccess when it took it all,
    // kPosTimeout when it stopped taking bytes for the stall limit, kPosFailed when the
    // connection died first or the action was cancelled. The port is closed either way.
    virtual int32_t Close() { return kPosSuccess; }
};

// Writes everything to a non-blocking descriptor (a socket when `socket`) under the thread's
// transfer monitor: kPosTimeout when it takes no byte for the stall limit (a printer holding XOFF
// or not reading), not on slow progress; kPosFailed when it fails or is cancelled.
int32_t WriteAllBytes(int fd, const char* data, size_t size, bool socket);

// Each returns nullptr when the port cannot be opened.

// A serial port by name ("COM1".. through the port-name rules), raw, with the given line:
// stop-bit code 0 one, 1 one and a half, 2 two; parity code 0 none, 1 odd, 2 even, 3 mark,
// 4 space; flow code 0 XON/XOFF, 1 hardware (RTS/CTS), 2 none. Only ttys, taken exclusively.
std::unique_ptr<Port> OpenSerialPort(const std::string& name, int32_t baudRate, int32_t dataBits,
                                     int32_t stopBits, int32_t parity, int32_t flow);

// TCP port 9100 of a printer given as dotted IPv4 text (no host names: nothing is looked up).
std::unique_ptr<Port> OpenNetworkPort(const std::string& address);

// An installed CUPS printer. Every Write is one raw job of its bytes.
std::unique_ptr<Port> OpenSpoolerPort(const std::string& printer);

}  // namespace kelvo::posdll
