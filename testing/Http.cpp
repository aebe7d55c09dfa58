#include "testing/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "links/UniqueFd.h"

namespace kelvo::testing {

HttpAnswer Http(const std::string& host, uint16_t port, const std::string& method,
                const std::string& path, const std::vector<std::string>& headers,
                const std::string& body) {
    kelvo::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    std::string request = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n";
    if (std::none_of(headers.begin(), headers.end(),
                     [](const std::string& h) { return h.starts_with("Host:"); }))
        request += "Host: " + host + ":" + std::to_string(port) + "\r\n";
    for (const std::string& header : headers)
        request += header + "\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        return {};
    std::string answer;
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd.get(), chunk, sizeof chunk)) > 0;)
        answer.append(chunk, size_t(n));
    const size_t end = answer.find("\r\n\r\n");
    if (!answer.starts_with("HTTP/1.1 ") || end == std::string::npos)
        return {};
    return {std::stoi(answer.substr(9, 3)), answer.substr(end + 4)};
}

}  // namespace kelvo::testing
