#include "links/NetworkLink.h"

#include <arpa/inet.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "links/TcpConnect.h"
#include "links/Transfer.h"

namespace kelvo {

namespace {

// Send errors after which the connection is gone for good: the link closes its socket.
bool ConnectionIsDead(int error) {
    switch (error) {
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:
        case ESHUTDOWN:
        case ENOTCONN:
        case ETIMEDOUT:  // the kernel has already torn the connection down
            return true;
        default:
            return false;
    }
}

using Mac = std::array<uint8_t, 6>;

// The complete neighbour entry for `ip` (dotted, canonical) in the kernel's ARP table, if any.
std::optional<Mac> ReadNeighbour(const std::string& ip) {
    // /proc/net is the main thread's namespace; a scan may run on a thread that joined another.
    std::ifstream arp("/proc/thread-self/net/arp");
    if (!arp)
        arp.open("/proc/net/arp");
    std::string line;
    std::getline(arp, line);  // column titles
    while (std::getline(arp, line)) {
        std::istringstream fields(line);
        std::string address, type, flags, hw;
        if (!(fields >> address >> type >> flags >> hw) || address != ip)
            continue;
        if ((std::strtoul(flags.c_str(), nullptr, 16) & ATF_COM) == 0)
            continue;  // unresolved
        Mac mac{};
        char end = 0;
        if (std::sscanf(hw.c_str(), "%2hhx:%2hhx:%2hhx:%2hhx:%2hhx:%2hhx%c", &mac[0], &mac[1],
                        &mac[2], &mac[3], &mac[4], &mac[5], &end) == 6) {
            return mac;
        }
    }
    return std::nullopt;
}

// Makes the kernel resolve the address: one empty datagram to the discard port.
void ProvokeResolution(in_addr_t address) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = address;
    ::sendto(fd.get(), "", 0, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
}

// Addresses that never have a neighbour entry: no point in asking the network.
bool CannotHaveNeighbour(in_addr_t address) {
    const uint32_t host = ntohl(address);
    return host == 0 || host == 0xFFFFFFFFu || (host >> 24) == 127 || (host >> 28) == 0xE;
}

std::string FormatMac(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

}  // namespace

std::string NetworkLink::SocketErrorText(int error) {
    // English, whatever the locale.
    const char* description = error == kHostNotFound ? "Host not found" : ::strerrordesc_np(error);
    std::string text = "Socket Error # " + std::to_string(error) + "\r\n";
    if (description != nullptr) {
        text += description;
        text += '.';
    } else {
        text += "Unknown error " + std::to_string(error) + ".";
    }
    return text;
}

void NetworkLink::Connect() {
    if (state_ == State::Connected)
        throw ENetworkError("Already connected.", 0);
    fd_.reset();
    state_ = State::Closed;  // until the new connection stands
    int error = EINVAL;
    UniqueFd fd;
    if (port_ >= 0 && port_ <= 65535)
        error = ConnectTcp(host_, static_cast<uint16_t>(port_), fd, connectLimit_);
    if (error != 0)
        throw ENetworkError(SocketErrorText(error), error);
    fd_ = std::move(fd);
    state_ = State::Connected;
    used_ = false;
}

std::string NetworkLink::PeerAddress() const {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    char text[INET6_ADDRSTRLEN] = {};
    if (!fd_ || ::getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), size, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return text;
}

NetworkLink::~NetworkLink() {
    CloseGracefully(fd_);
}

void NetworkLink::Disconnect() {
    state_ = State::Idle;
    const CloseOutcome closed =
        CloseGracefully(fd_, [this](const char* data, size_t size) { Keep(data, size); });
    if (closed.error != 0)
        throw ENetworkError(NotTakenText(closed.error, closed.notTaken), closed.error);
}

std::string NetworkLink::NotTakenText(int error, size_t notTaken) {
    return SocketErrorText(error) + "\r\nThe printer did not take the last " +
           std::to_string(notTaken) + (notTaken == 1 ? " byte sent." : " bytes sent.");
}

void NetworkLink::SendLine(const std::string& payload) {
    std::string line;
    line.reserve(payload.size() + 2);
    line.append(payload).append("\r\n");
    Send(line.data(), line.size());
}

void NetworkLink::SendRaw(const std::string& payload) {
    if (payload.empty())
        return;
    Send(payload.data(), payload.size());
}

void NetworkLink::RequireConnected() const {
    if (state_ == State::Idle)
        throw ENetworkError("Not Connected", 0);
    if (state_ == State::Closed)
        throw ENetworkError("Connection Closed Gracefully.", 0);
}

void NetworkLink::Send(const char* data, size_t size) {
    RequireConnected();
    KeepWaitingBytes();
    used_ = true;
    const int error = WriteAll(fd_.get(), data, size, true).error;
    if (error == 0)
        return;
    if (error == ETIMEDOUT || error == ECANCELED) {
        // Stalled or cancelled: the rest of this action must not reach the printer later.
        CloseAbortively(fd_);
        state_ = State::Closed;
    } else if (ConnectionIsDead(error)) {
        FailDead(error);
    }
    throw ENetworkError(SocketErrorText(error), error);
}

std::optional<uint8_t> NetworkLink::ReadByte(std::chrono::milliseconds timeout) {
    RequireConnected();
    char byte = 0;
    const ReadOutcome in = ReadWithin(fd_.get(), &byte, 1, timeout, true);
    if (in.count == 1) {
        used_ = true;
        return static_cast<uint8_t>(byte);
    }
    if (in.error == ETIMEDOUT)
        return std::nullopt;
    if (in.error == 0) {
        fd_.reset();
        state_ = State::Closed;
        throw ENetworkError("Connection Closed Gracefully.", 0);
    }
    if (ConnectionIsDead(in.error))
        FailDead(in.error);
    throw ENetworkError(SocketErrorText(in.error), in.error);
}

void NetworkLink::FailDead(int error) {
    fd_.reset();
    state_ = State::Closed;
    throw ENetworkError(SocketErrorText(error), error);
}

std::string NetworkLink::TakeUnsolicited() {
    return std::exchange(unsolicited_, {});
}

bool NetworkLink::CheckClosed() {
    if (state_ != State::Connected || !KeepWaitingBytes())
        return false;
    fd_.reset();
    state_ = State::Closed;
    return true;
}

bool NetworkLink::KeepWaitingBytes() {
    // A printer that never stops talking must not hold the send back: take what is there now,
    // about one receive buffer's worth at most.
    constexpr size_t kMostPerDrain = 4 * kUnsolicitedKept;
    char chunk[4096];
    for (size_t taken = 0; taken < kMostPerDrain;) {
        const ReadOutcome in =
            ReadWithin(fd_.get(), chunk, sizeof chunk, std::chrono::milliseconds(0), true);
        if (in.count == 0)
            return in.error != ETIMEDOUT && in.error != ECANCELED;
        taken += in.count;
        Keep(chunk, in.count);
    }
    return false;
}

void NetworkLink::Keep(const char* data, size_t size) {
    used_ = true;
    unsolicited_.append(data, size);
    if (unsolicited_.size() > kUnsolicitedKept) {
        const size_t excess = unsolicited_.size() - kUnsolicitedKept;
        unsolicited_.erase(0, excess);
        unsolicitedDropped_ += excess;
    }
}

std::string NetworkLink::LookupPrinterMac(const std::string& dottedIp, int stopFd) {
    try {
        const in_addr_t address = ::inet_addr(dottedIp.c_str());
        Mac none{};
        if (CannotHaveNeighbour(address))
            return FormatMac(none);
        char canonical[INET_ADDRSTRLEN];
        in_addr a{address};
        ::inet_ntop(AF_INET, &a, canonical, sizeof canonical);

        if (auto mac = ReadNeighbour(canonical))
            return FormatMac(*mac);
        ProvokeResolution(address);
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(1000);
        while (Clock::now() < deadline) {
            pollfd stop{stopFd, POLLIN, 0};
            if (::poll(&stop, 1, 20) > 0)
                break;
            if (auto mac = ReadNeighbour(canonical))
                return FormatMac(*mac);
        }
        return FormatMac(none);
    } catch (...) {  // the lookup reports failure as the all-zero address, never as an error
        return kNoMac;
    }
}

}  // namespace kelvo
