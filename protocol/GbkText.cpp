#include "protocol/GbkText.h"

#include <cerrno>

#include "protocol/Iconv.h"

namespace kelvo {

size_t Utf8SequenceLength(const unsigned char* s, size_t left) {
    const unsigned char c = s[0];
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (left < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    }
    return len;
}

std::string ToGbk(const std::string& utf8) {
    // Each character GBK lacks, or stray byte, becomes one "?".
    return Iconv("GBK", "UTF-8")
        .ConvertAll(utf8, [](std::string& out, const char* at, size_t left) {
            out += '?';
            return Utf8SequenceLength(reinterpret_cast<const unsigned char*>(at), left);
        });
}

}  // namespace kelvo
