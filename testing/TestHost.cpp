#include "testing/TestHost.h"

#include <cstdlib>
#include <stdexcept>

namespace kelvo::testing {

std::string OwnLoopbackHost() {
    const char* env = std::getenv("KELVO_TEST_HOST");
    return env != nullptr && *env != '\0' ? env : "127.77.250.1";
}

std::string OwnLoopbackHost(int lastOctet) {
    if (lastOctet < 1 || lastOctet > 254)
        throw std::invalid_argument("last octet out of range");
    std::string host = OwnLoopbackHost();
    return host.substr(0, host.rfind('.') + 1) + std::to_string(lastOctet);
}

}  // namespace kelvo::testing
