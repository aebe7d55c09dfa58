#pragma once

// Dotted IPv4 text as the address control reads and writes it. Plain C++ so it can be checked
// (and fuzzed) without a QApplication.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

using IPOctets = std::array<std::uint8_t, 4>;

// A field's text read as a decimal number: one or more digits "0" to "9" and nothing else
// (leading zeros allowed). Values above 255 come back as 256, which no octet range accepts.
std::optional<int> ReadDecimalOctet(std::string_view text);

// Address text written into the control:
//  - each of the four octets is the text up to the next "." (or the rest of the text); a token
//    that is not a number from 0 to 255, the empty token included, is 255;
//  - each of the first three tokens must be followed by "."; otherwise nothing is read (nullopt);
//  - whatever follows the fourth token is ignored.
std::optional<IPOctets> ParseIPString(std::string_view text);

// The four octets in decimal without leading zeros, joined by ".".
std::string FormatIPString(const IPOctets& octets);

}  // namespace kelvo
