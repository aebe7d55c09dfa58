#pragma once

// What a printer of this family says of itself when asked (GS I): this family's values by
// default, another model's where a lab names one.

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo::printer {

inline constexpr uint8_t kModelId = 0x20;
// Bit 0: two-byte (GBK) characters; bit 1: an autocutter. Bits 4 and 7 are always 0.
inline constexpr uint8_t kTypeId = 0x03;
inline constexpr uint8_t kVersionId = 0x07;
inline constexpr std::string_view kFirmwareVersion = "1.07";
inline constexpr std::string_view kMakerName = "KELVO";
inline constexpr std::string_view kModelName = "QM417";
inline constexpr std::string_view kSerialNumber = "QM41700000001";
inline constexpr std::string_view kFontNames = "Simplified Chinese GBK";

struct Identity {
    std::string firmware{kFirmwareVersion};
    std::string maker{kMakerName};
    std::string model{kModelName};
    std::string serial{kSerialNumber};
    bool operator==(const Identity&) const = default;
};

// The answer to GS I n: one byte for n 1..3 (or 49..51), "_" text NUL for n 65..69; empty for
// an n this printer does not answer.
inline std::string IdentityAnswer(uint8_t n, const Identity& identity = {}) {
    switch (n) {
        case 1:
        case 49:
            return std::string(1, static_cast<char>(kModelId));
        case 2:
        case 50:
            return std::string(1, static_cast<char>(kTypeId));
        case 3:
        case 51:
            return std::string(1, static_cast<char>(kVersionId));
        default:
            break;
    }
    const std::string_view texts[] = {identity.firmware, identity.maker, identity.model,
                                      identity.serial, kFontNames};
    if (n < 65 || n > 69)
        return {};
    return "_" + std::string(texts[n - 65]) + '\0';
}

}  // namespace kelvo::printer
