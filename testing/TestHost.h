#pragma once

#include <string>

namespace kelvo::testing {

// The loopback address this test binary owns (ctest gives every suite its own 127.77.N.1), so
// suites that listen on the fixed printer port 9100 can run side by side.
std::string OwnLoopbackHost();

// Another loopback address of this suite's own, for a second printer (last octet 1..254).
std::string OwnLoopbackHost(int lastOctet);

}  // namespace kelvo::testing
