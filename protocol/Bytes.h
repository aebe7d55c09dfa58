#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Reading a command's bytes, the same for the decoder, the printer model and its symbols.
namespace kelvo {

inline uint8_t At(std::string_view s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

// nL nH at i.
inline unsigned Word(std::string_view s, size_t i) {
    return At(s, i) + 256u * At(s, i + 1);
}

// Many arguments may be given as a number or as its ASCII digit (0 or 48).
inline unsigned Digit(uint8_t n) {
    return n >= '0' && n <= '9' ? n - '0' : n;
}

inline bool IsTextByte(uint8_t b) {
    return b >= 0x20 && b != 0x7F;
}

}  // namespace kelvo
