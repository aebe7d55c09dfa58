#pragma once

#include <cstdint>

namespace kelvo {

enum class SerialParity { None, Odd, Even, Mark, Space };
enum class SerialStopBits { One, OnePointFive, Two };
enum class SerialLineMode { Disable, Enable, Handshake };  // DTR and RTS line modes

// The line settings of a serial port, independent of who asks for them (the serial component or
// the printer library). Data always passes raw in both directions.
struct SerialLineSettings {
    uint32_t baudRate = 9600;  // any rate; non-standard ones through termios2/BOTHER
    int dataBits = 8;          // 5..8
    SerialParity parity = SerialParity::None;
    SerialStopBits stopBits = SerialStopBits::One;
    bool ctsOutputFlow = false;  // hardware output flow control (CTS, and DSR where possible)
    bool dsrOutputFlow = false;
    bool xonXoffOutput = false;  // honour XON/XOFF from the device
    bool xonXoffInput = false;   // send XON/XOFF to the device
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    SerialLineMode dtr = SerialLineMode::Enable;
    SerialLineMode rts = SerialLineMode::Enable;
    bool replaceParityErrors = false;  // mark bytes with parity errors (PARMRK) when set
    bool stripNulls = false;           // not expressible on termios: documented, ignored
};

// Applies the settings to an open tty. Returns 0 or the errno of the failing call. Devices without
// modem lines (pseudo-terminals) are tolerated for DTR/RTS.
int ApplySerialLine(int fd, const SerialLineSettings& settings);

}  // namespace kelvo
