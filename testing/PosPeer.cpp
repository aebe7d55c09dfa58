#include "testing/PosPeer.h"

#include <cstdio>

#include "links/Transfer.h"

namespace kelvo::testing {

PosPeer::PosPeer(const std::string& address) {
    const size_t colon = address.rfind(':');
    link.SetHost(address.substr(0, colon));
    link.SetPort(std::stoi(address.substr(colon + 1)));
    link.Connect();
}

int PosPeer::Send(const std::string& bytes, std::chrono::milliseconds stall) {
    TransferMonitor monitor;
    monitor.stallLimitMs = static_cast<int32_t>(stall.count());
    TransferScope scope(&monitor);
    try {
        link.SendRaw(bytes);
        return 0;
    } catch (const ENetworkError& e) {
        return error = e.Code();
    }
}

std::string PosPeer::Read(size_t n, std::chrono::milliseconds within) {
    std::string got;
    try {
        while (got.size() < n) {
            const std::optional<uint8_t> byte = link.ReadByte(within);
            if (!byte) {
                error = ETIMEDOUT;
                break;
            }
            got += static_cast<char>(*byte);
        }
    } catch (const ENetworkError& e) {
        error = e.Code();
    }
    return got;
}

std::optional<uint8_t> PosPeer::Status(int n, std::chrono::milliseconds within) {
    if (Send(std::string{'\x10', '\x04', static_cast<char>(n)}) != 0)
        return std::nullopt;
    const std::string answer = Read(1, within);
    return answer.empty() ? std::nullopt : std::optional<uint8_t>(uint8_t(answer[0]));
}

StatusAnswers PosPeer::QueryStatus(std::chrono::milliseconds perRequest) {
    return kelvo::QueryStatus(link, perRequest);
}

std::string Receipt300mm() {
    std::string receipt;
    char line[64];
    for (int i = 1; i <= 70; ++i) {
        std::snprintf(line, sizeof line, "%02d  Item number %02d ..................  %2d.00\n", i,
                      i, i % 10);
        receipt += line;  // 30 dots each
    }
    return receipt + "\x1B\x4A\xF0\x1B\x4A\x3C" + "\x1D\x56\x42\x00";  // 300 dots, then a cut
}

}  // namespace kelvo::testing
