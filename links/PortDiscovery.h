#pragma once

#include <string>
#include <vector>

namespace kelvo {

// A port on this machine with hardware behind it.
struct FoundPort {
    std::string path;  // what to open, as typed into a port box
    std::string
        description;  // what sysfs says is there, e.g. "USB printer: EPSON TM-T20II (04b8:0e15)"

    bool operator==(const FoundPort&) const = default;
};

// The tree that holds dev/ and sys/: "/", unless the environment variable KELVOTOOL_DEVICE_ROOT
// names another one.
std::string DeviceRoot();

// The ports under root with hardware behind them, in this order, each kind by number:
// ttyS* whose UART answers, ttyUSB*, ttyACM* (each followed by its /dev/serial/by-id names),
// lp*, usb/lp*. On the machine itself ("/") a port is listed by the name the kernel gave it. In
// another tree it is listed by the real path its name resolves to (an alias keeps its own name,
// inside its directory's real path), and anything whose links lead out of the tree is left out:
// no listed path opens a file outside it. A missing or unreadable entry leaves a port out or its
// description short, never throws.
std::vector<FoundPort> FindPorts(const std::string& root = DeviceRoot());

}  // namespace kelvo
