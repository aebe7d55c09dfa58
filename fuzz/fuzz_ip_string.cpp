// Address text written into the address control, checked against a plain token reading.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/IPAddressText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = kelvo::ParseIPString(text);

    // Reference: the first three tokens must each end at a "."; a token is an octet only when it
    // is all digits with a value up to 255, anything else reads 255.
    size_t pos = 0;
    kelvo::IPOctets want{};
    for (int i = 0; i < 4; ++i) {
        size_t dot = text.find('.', pos);
        if (i < 3 && dot == std::string_view::npos) {
            if (parsed)
                std::abort();
            return 0;
        }
        std::string_view token =
            text.substr(pos, (dot == std::string_view::npos ? size : dot) - pos);
        unsigned long v = 256;
        if (!token.empty() && token.find_first_not_of("0123456789") == std::string_view::npos) {
            const size_t nz = token.find_first_not_of('0');
            const std::string_view digits = nz == std::string_view::npos ? "0" : token.substr(nz);
            v = digits.size() > 3 ? 256 : std::strtoul(std::string(digits).c_str(), nullptr, 10);
        }
        want[static_cast<size_t>(i)] = static_cast<uint8_t>(v > 255 ? 255 : v);
        pos = dot == std::string_view::npos ? size : dot + 1;
    }
    if (!parsed || *parsed != want)
        std::abort();
    // What the control shows reads back as the same address.
    const auto again = kelvo::ParseIPString(kelvo::FormatIPString(*parsed));
    if (!again || *again != *parsed)
        std::abort();
    return 0;
}
