#include "protocol/IPAddressText.h"

namespace kelvo {

std::optional<int> ReadDecimalOctet(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        // Saturate: anything past 255 is out of every octet range, however long the text.
        value = value * 10 + (c - '0');
        if (value > 255)
            value = 256;
    }
    return value;
}

std::optional<IPOctets> ParseIPString(std::string_view text) {
    IPOctets octets{};
    for (std::size_t i = 0; i < octets.size(); ++i) {
        const std::size_t dot = text.find('.');
        const std::string_view token = text.substr(0, dot);
        const std::optional<int> value = ReadDecimalOctet(token);
        octets[i] = static_cast<std::uint8_t>(value && *value <= 255 ? *value : 255);
        if (i + 1 < octets.size()) {
            if (dot == std::string_view::npos)
                return std::nullopt;
            text.remove_prefix(dot + 1);
        }
    }
    return octets;
}

std::string FormatIPString(const IPOctets& octets) {
    std::string out;
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i > 0)
            out += '.';
        out += std::to_string(octets[i]);
    }
    return out;
}

}  // namespace kelvo
