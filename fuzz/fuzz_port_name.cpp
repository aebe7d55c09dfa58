// Port names come straight from the user's typing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "links/PortName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const kelvo::ResolvedPort port = kelvo::ResolvePortName(name);
    const bool comOrLpt = size > 3 && port.path != name;
    // A COMn/LPTn name always becomes a device path; anything else passes through unchanged.
    if (comOrLpt && port.path.rfind("/dev/", 0) != 0)
        std::abort();
    if (port.path == name && port.isDevice != (name.rfind("/dev/", 0) == 0))
        std::abort();
    return 0;
}
