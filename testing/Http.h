#pragma once

// One HTTP/1.1 request to a loopback server, written as given (paths are not normalized or
// encoded, so a test can send what an attacker would), and its whole answer.

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::testing {

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string body;
};

// `headers` are whole lines ("Origin: http://shop.example"); a Host header naming the address is
// added unless one is given.
HttpAnswer Http(const std::string& host, uint16_t port, const std::string& method,
                const std::string& path, const std::vector<std::string>& headers = {},
                const std::string& body = {});

}  // namespace kelvo::testing
