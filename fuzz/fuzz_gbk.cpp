// Any text a user types or pastes is converted for the printer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/GbkText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string gbk = kelvo::ToGbk(text);
    // GBK bytes are never 00 except for a 00 of the text, and plain ASCII passes unchanged.
    if (std::count(gbk.begin(), gbk.end(), '\0') != std::count(text.begin(), text.end(), '\0')) {
        std::abort();
    }
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii && gbk != text)
        std::abort();
    // Never longer than two bytes per input byte ("?" per bad byte, 2 bytes per 3-byte character).
    if (gbk.size() > 2 * text.size())
        std::abort();
    return 0;
}
