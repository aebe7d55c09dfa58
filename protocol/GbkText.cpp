#include "protocol/GbkText.h"

#include <algorithm>
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

std::string PlainText(std::string_view bytes) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = Utf8SequenceLength(s + i, bytes.size() - i);
        // C1 controls are U+0080..U+009F: C2 80..C2 9F.
        const bool control = n == 0 || (n == 1 && (s[i] < 0x20 || s[i] == 0x7F)) ||
                             (n == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0);
        if (!control) {
            out.append(bytes, i, n);
            i += n;
            continue;
        }
        for (const size_t end = i + std::max<size_t>(n, 1); i < end; ++i)
            out.append({'\\', 'x', kHex[s[i] >> 4], kHex[s[i] & 0x0F]});
    }
    return out;
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
