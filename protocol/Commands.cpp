#include "protocol/Commands.h"

namespace kelvo {

using namespace std::string_view_literals;

namespace {
std::string Config(char command, uint8_t value) {
    std::string s = detail::Bytes("\x1F\x1B\x1F");
    s += command;
    s += static_cast<char>(value);
    return s;
}

// GS ( k pL pH 49 fn args: a QR code function.
std::string QrFunction(char fn, std::string_view args) {
    const size_t p = 2 + args.size();
    std::string s = {'\x1D', '(', 'k', static_cast<char>(p & 0xFF), static_cast<char>(p >> 8),
                     '1',    fn};
    return s.append(args);
}
}  // namespace

std::string RasterImage(uint16_t widthBytes, uint16_t height, std::string_view rows) {
    std::string s = {'\x1D',
                     'v',
                     '0',
                     '\0',
                     static_cast<char>(widthBytes & 0xFF),
                     static_cast<char>(widthBytes >> 8),
                     static_cast<char>(height & 0xFF),
                     static_cast<char>(height >> 8)};
    return s.append(rows);
}

std::string Barcode(uint8_t m, std::string_view data) {
    std::string s = {'\x1D', 'k', static_cast<char>(m), static_cast<char>(data.size())};
    return s.append(data);
}

std::string QrCode(std::string_view data, uint8_t moduleDots) {
    return QrFunction('A', "2\0"sv) +
           QrFunction('C', std::string(1, static_cast<char>(moduleDots))) + QrFunction('E', "1") +
           QrFunction('P', "0" + std::string(data)) + QrFunction('Q', "0");
}

std::optional<char> BaudCode(long baud) {
    switch (baud) {
        case 115200:
            return kBaudCode115200;
        case 38400:
            return kBaudCode38400;
        case 19200:
            return kBaudCode19200;
        case 9600:
            return kBaudCode9600;
        default:
            return std::nullopt;
    }
}

long BaudRate(char code) {
    for (long baud : {115200, 38400, 19200, 9600}) {
        if (BaudCode(baud) == code)
            return baud;
    }
    return 0;
}

std::string SetSerialBaud(char code) {
    return Config('\x53', static_cast<uint8_t>(code));
}
std::string SetDefaultIntlCharset(uint8_t n) {
    return Config('\xFD', n);
}
std::string SetDefaultCodePage(uint8_t n) {
    return Config('\xFF', n);
}
std::string SetDefaultChineseMode(uint8_t x) {
    return Config('\xFE', x);
}

uint8_t FunctionSwitchByte(bool crHonoured, bool externalBuzzer, bool builtinBuzzer) {
    return static_cast<uint8_t>(0x40 | (crHonoured ? 0x08 : 0) | (externalBuzzer ? 0x04 : 0) |
                                (builtinBuzzer ? 0x02 : 0));
}

std::string SetFunctionSwitches(bool crHonoured, bool externalBuzzer, bool builtinBuzzer) {
    return Config('\x50', FunctionSwitchByte(crHonoured, externalBuzzer, builtinBuzzer));
}

std::string SetNetworkIp(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    std::string s = detail::Bytes("\x1F\x02\x57\x49");
    for (uint8_t octet : {a, b, c, d})
        s += static_cast<char>(octet);
    return s;
}

std::string SetNetworkMac(uint8_t m1, uint8_t m2, uint8_t m3, uint8_t m4, uint8_t m5, uint8_t m6) {
    std::string s = detail::Bytes("\x1F\x02\x57\x43");
    for (uint8_t m : {m1, m2, m3, m4, m5, m6})
        s += static_cast<char>(m);
    return s;
}

}  // namespace kelvo
