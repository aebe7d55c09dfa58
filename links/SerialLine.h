#pragma once

#include <cstddef>
#include <cstdint>

#include "links/Transfer.h"

namespace kelvo {

enum class SerialParity { None, Odd, Even, Mark, Space };
// OnePointFive sets CSTOPB like Two: a UART sends 1.5 stop bits with 5 data bits and 2 otherwise,
// which is also the only combination where 1.5 is valid on the serial ports this replaces.
enum class SerialStopBits { One, OnePointFive, Two };
// DTR and RTS line modes. DTR has no hardware handshake on Linux: Handshake raises DTR like Enable.
// RTS Handshake is CRTSCTS. Toggle (RTS only while sending) has no termios form: RTS is left as
// the device has it.
enum class SerialLineMode { Disable, Enable, Handshake, Toggle };

// The line settings of a serial port, independent of who asks for them (the serial component or
// the printer library). Data always passes raw in both directions.
struct SerialLineSettings {
    uint32_t baudRate = 9600;  // any rate but 0; non-standard ones through termios2/BOTHER
    int dataBits = 8;          // 5..8
    SerialParity parity = SerialParity::None;
    SerialStopBits stopBits = SerialStopBits::One;
    bool ctsOutputFlow = false;  // hardware output flow control: CRTSCTS
    bool dsrOutputFlow = false;  // no termios form (no DSR flow control on Linux): ignored
    bool xonXoffOutput = false;  // honour XON/XOFF from the device (IXON)
    bool xonXoffInput = false;   // send XON/XOFF to the device (IXOFF)
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    SerialLineMode dtr = SerialLineMode::Enable;
    SerialLineMode rts = SerialLineMode::Enable;
    // With parityCheck, received bytes with parity (or framing) errors read as 00 (INPCK) when
    // replaceParityErrors is set; termios can replace with 00 only, so replacementChar is kept for
    // the caller's record. Without replaceParityErrors they pass unchanged: marking them (PARMRK)
    // would insert bytes into the data.
    bool parityCheck = false;
    bool replaceParityErrors = false;
    uint8_t replacementChar = 0x00;
    bool stripNulls = false;  // not expressible on termios: a reader has to drop 00 bytes itself
};

// Applies the settings to an open tty. Returns 0 or the errno of the failing call (EINVAL for a
// rate of 0, which termios would take as "hang up"; nothing is changed then; also EINVAL when the
// device took none of the changes, e.g. parity alone on a pseudo-terminal, which keeps 8N).
// Devices without modem lines (pseudo-terminals) are tolerated for DTR/RTS.
int ApplySerialLine(int fd, const SerialLineSettings& settings);

// The output speed of a tty in bits per second, standard or not; 0 and the errno on failure.
int ReadSerialBaud(int fd, uint32_t& rate);

// Writes a few bytes that a printer takes whatever its state (real-time requests) as WriteAll
// does, past an XOFF it sent: output that XOFF stopped is restarted for them (a pty refuses bytes
// while stopped, a UART queues them). XON/XOFF stays on, so the printer's XON and XOFF are never
// read as data. The line runs on afterwards until the printer's next XOFF: a terminal cannot be
// put back into the state a received XOFF left.
WriteOutcome WriteRealTime(int fd, const char* data, size_t size);

}  // namespace kelvo
