#pragma once

#include <optional>
#include <string>

namespace kelvo {

// What a port name typed by the user (or given by a page) stands for on this machine.
struct ResolvedPort {
    std::string path;  // what to open
    bool isDevice;     // a device node: never created, and locked exclusively
};

// The one place where port names become paths:
//  - "COMn" (any case, n >= 1) is /dev/ttyS<n-1>, "LPTn" is /dev/lp<n-1>, unless the environment
//    variable KELVOTOOL_COMn / KELVOTOOL_LPTn (upper case, n without leading zeros) names another
//    device, e.g. a USB adapter such as /dev/ttyUSB0;
//  - any other name is a path exactly as typed; it counts as a device when it lies under /dev/.
ResolvedPort ResolvePortName(const std::string& name);

// The n of a name written "COMn" or "LPTn" (any case): 0 when no port has that number (COM0, or
// more digits than any port has), which ResolvePortName then takes as a path; nothing for any
// other name.
std::optional<unsigned long> PortNumber(const std::string& name);

}  // namespace kelvo
