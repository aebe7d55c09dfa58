#include "posdll/Ports.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "links/PosdllFuncs.h"
#include "links/SendRawToPrinter.h"
#include "links/TcpConnect.h"
#include "links/UniqueFd.h"

namespace kelvo::posdll {

namespace {

class NetworkPort : public Port {
  public:
    explicit NetworkPort(UniqueFd fd) : fd_(std::move(fd)) {}
    ~NetworkPort() override {
        // Unread bytes from the printer (status replies) would turn close() into a reset that
        // can discard what was sent last; read them away first.
        char buf[4096];
        for (int i = 0; i < 64 && ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    int32_t Write(const char* data, size_t size) override {
        return WriteAllBytes(fd_.get(), data, size, true);
    }

  private:
    UniqueFd fd_;
};

class SpoolerPort : public Port {
  public:
    explicit SpoolerPort(std::string printer) : printer_(std::move(printer)) {}
    int32_t Write(const char* data, size_t size) override {
        if (size == 0)
            return kPosSuccess;  // CUPS cannot complete an empty job
        return SubmitRawJob(printer_, "POSDLL", data, size) > 0 ? kPosSuccess : kPosFailed;
    }

  private:
    std::string printer_;
};

}  // namespace

int32_t WriteAllBytes(int fd, const char* data, size_t size, bool socket) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = socket ? ::send(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                                 : ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return kPosFailed;
        pollfd p{fd, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&p, 1, kPosStallSeconds * 1000);
        } while (r < 0 && errno == EINTR);
        if (r == 0)
            return kPosTimeout;
        if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return kPosFailed;
    }
    return kPosSuccess;
}

std::unique_ptr<Port> OpenNetworkPort(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return nullptr;
    UniqueFd fd;
    if (ConnectTcp(address, 9100, fd) != 0)
        return nullptr;
    return std::make_unique<NetworkPort>(std::move(fd));
}

std::unique_ptr<Port> OpenSpoolerPort(const std::string& printer) {
    int code = 0;
    if (!LookUpPrinter(printer, code))
        return nullptr;
    return std::make_unique<SpoolerPort>(printer);
}

}  // namespace kelvo::posdll
