#include "posdll/Ports.h"

#include <arpa/inet.h>

#include <cerrno>

#include "links/Posdll.h"
#include "links/SendRawToPrinter.h"
#include "links/TcpConnect.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"

namespace kelvo::posdll {

namespace {

class NetworkPort : public Port {
  public:
    explicit NetworkPort(UniqueFd fd) : fd_(std::move(fd)) {}
    ~NetworkPort() override { CloseGracefully(fd_); }
    int32_t Write(const char* data, size_t size) override {
        if (!fd_)
            return kPosFailed;
        const int32_t result = WriteAllBytes(fd_.get(), data, size, true);
        // Stalled or cancelled: the rest of this action must not reach the printer later, and the
        // close need not wait for it.
        if (result != kPosSuccess)
            CloseAbortively(fd_);
        return result;
    }
    int32_t Close() override {
        if (!fd_)
            return kPosFailed;  // a write broke the connection and said so
        switch (CloseGracefully(fd_).error) {
            case 0:
                return kPosSuccess;
            case ETIMEDOUT:
                return kPosTimeout;
            default:
                return kPosFailed;
        }
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

static_assert(kStallLimit == std::chrono::seconds(kPosStallSeconds));

int32_t WriteAllBytes(int fd, const char* data, size_t size, bool socket) {
    switch (WriteAll(fd, data, size, socket).error) {
        case 0:
            return kPosSuccess;
        case ETIMEDOUT:
            return kPosTimeout;
        default:  // a cancel included: the bytes were not taken
            return kPosFailed;
    }
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
