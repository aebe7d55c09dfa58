#include "posdll/Ports.h"

namespace kelvo::posdll {

// The serial line code is not in this tree yet: no serial port can be opened.
std::unique_ptr<Port> OpenSerialPort(const std::string&, int32_t, int32_t, int32_t, int32_t,
                                     int32_t) {
    return nullptr;
}

}  // namespace kelvo::posdll
